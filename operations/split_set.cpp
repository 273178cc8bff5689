#include "operations/split_set.h"

#include "base/log.h"
#include "base/resource.h"

#include <cstring>

namespace {

constexpr DWORD kHeaderBytes = 208;
constexpr size_t kGuidAt = 24;
constexpr size_t kPartNumberAt = 40;
constexpr size_t kTotalPartsAt = 42;

WORD Word(const unsigned char* bytes)
{
    return static_cast<WORD>(bytes[0] | (bytes[1] << 8));
}

// The folder (with its backslash), the name without extension and the
// extension (with its dot) of a full path.
struct PathPieces {
    WString folder;
    WString stem;
    WString extension;
};

PathPieces Pieces(const WString& path)
{
    PathPieces pieces;
    const size_t slash = path.find_last_of(WSTR("\\/"));
    const size_t nameAt = slash == WString::npos ? 0 : slash + 1;
    pieces.folder = path.substr(0, nameAt);
    WString name = path.substr(nameAt);
    const size_t dot = name.rfind(WCHAR('.'));
    if (dot != WString::npos && dot != 0) {
        pieces.extension = name.substr(dot);
        name.resize(dot);
    }
    pieces.stem = std::move(name);
    return pieces;
}

// Part `number`'s name as Split writes it: name.swm, name2.swm, ...
WString PartPath(const PathPieces& pieces, size_t number)
{
    return pieces.folder + pieces.stem +
           (number == 1 ? WString() : DecimalText(static_cast<long long>(number))) + pieces.extension;
}

// The file that answers to `path` without regard to case, under its own
// name; false when there is none.
bool FindBeside(const WString& path, WString& found)
{
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(path.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return false;
    found = Pieces(path).folder + data.cFileName;
    return true;
}

WString Expanded(UINT id, std::initializer_list<DWORD_PTR> inserts)
{
    WCHAR buffer[kTextBufferSize];
    return LoadMessageArgs(buffer, id, inserts);
}

// Checks the file found for part `number` of `given`'s set; false with the
// line that says why it is not used.
bool BelongsToSet(const WString& path, size_t number, const PartHeader& given, WString& refusal)
{
    PartHeader header;
    if (!ReadPartHeader(path.c_str(), header) ||
        std::memcmp(&header.guid, &given.guid, sizeof given.guid) != 0) {
        refusal = Expanded(IDS_SET_PART_FOREIGN, {MessageInsert(path.c_str())});
        return false;
    }
    if (header.partNumber != number || header.totalParts != given.totalParts) {
        refusal = Expanded(IDS_SET_PART_MISPLACED,
                           {MessageInsert(path.c_str()), MessageInsert(static_cast<int>(header.partNumber)),
                            MessageInsert(static_cast<int>(header.totalParts)),
                            MessageInsert(static_cast<int>(number)),
                            MessageInsert(static_cast<int>(given.totalParts))});
        return false;
    }
    return true;
}

}  // namespace

bool ReadPartHeader(const WCHAR* path, PartHeader& header)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    unsigned char bytes[kHeaderBytes];
    DWORD read = 0;
    const bool complete = ReadFile(file, bytes, kHeaderBytes, &read, nullptr) && read == kHeaderBytes;
    CloseHandle(file);
    // A pipable file (WLPWM) keeps the same header.
    if (!complete || (std::memcmp(bytes, "MSWIM\0\0\0", 8) != 0 && std::memcmp(bytes, "WLPWM\0\0\0", 8) != 0))
        return false;
    std::memcpy(&header.guid, bytes + kGuidAt, sizeof header.guid);
    header.partNumber = Word(bytes + kPartNumberAt);
    header.totalParts = Word(bytes + kTotalPartsAt);
    return true;
}

bool FindSplitSet(const WCHAR* path, SplitSet& set)
{
    set = {};
    set.firstPart = path;
    PartHeader given;
    if (!ReadPartHeader(path, given) || given.totalParts <= 1 || given.partNumber < 1 ||
        given.partNumber > given.totalParts)
        return true;
    PathPieces pieces = Pieces(path);
    // Part 3 is name3.swm: without its number it names the set.
    const WString number = DecimalText(given.partNumber);
    if (given.partNumber > 1 && pieces.stem.size() > number.size() && pieces.stem.ends_with(number))
        pieces.stem.resize(pieces.stem.size() - number.size());

    for (size_t part = 1; part <= given.totalParts; ++part) {
        WString found = path;
        if (part != given.partNumber) {
            const WString wanted = PartPath(pieces, part);
            WString refusal;
            if (!FindBeside(wanted, found)) {
                set.refusal.push_back(
                    Expanded(IDS_SET_PART_MISSING, {MessageInsert(static_cast<int>(part)),
                                                    MessageInsert(static_cast<int>(given.totalParts)),
                                                    MessageInsert(wanted.c_str())}));
                continue;
            }
            if (!BelongsToSet(found, part, given, refusal)) {
                set.refusal.push_back(std::move(refusal));
                set.refusal.push_back(
                    Expanded(IDS_SET_PART_MISSING, {MessageInsert(static_cast<int>(part)),
                                                    MessageInsert(static_cast<int>(given.totalParts)),
                                                    MessageInsert(wanted.c_str())}));
                continue;
            }
        }
        set.parts.push_back(std::move(found));
    }
    if (!set.refusal.empty()) {
        set.parts.clear();
        return false;
    }
    set.firstPart = set.parts.front();
    return true;
}

WString SetPartLine(const SplitSet& set, size_t number)
{
    return Expanded(IDS_SET_PART_LINE, {MessageInsert(static_cast<int>(number)),
                                        MessageInsert(static_cast<int>(set.parts.size())),
                                        MessageInsert(set.parts[number - 1].c_str())});
}

bool TakeSplitSet(TaskState& task, const WCHAR* path, SplitSet& set)
{
    if (!FindSplitSet(path, set)) {
        LogMessage(task, IDS_SET_UNUSABLE);
        for (const WString& line : set.refusal)
            AppendLog(task, line);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    for (size_t part = 1; part <= set.parts.size(); ++part)
        AppendLog(task, SetPartLine(set, part));
    return true;
}

bool ReferenceFurtherParts(HANDLE wim, const SplitSet& set, DWORD flags, size_t& failedPart)
{
    // Every part may be solid; the library takes one only when told so.
    const DWORD referenceFlags = WIM_REFERENCE_APPEND | WIM_FLAG_SOLID | (flags & WIM_FLAG_VERIFY);
    for (size_t part = 2; part <= set.parts.size(); ++part) {
        if (!WIMSetReferenceFile(wim, set.parts[part - 1].c_str(), referenceFlags)) {
            failedPart = part;
            return false;
        }
    }
    return true;
}

bool ReferenceFurtherParts(TaskState& task, HANDLE wim, const SplitSet& set, DWORD flags)
{
    size_t failedPart = 0;
    if (ReferenceFurtherParts(wim, set, flags, failedPart))
        return true;
    LogFailure(task, IDS_SET_REFERENCE_FAILED, static_cast<int>(failedPart));
    return false;
}

bool RefuseSetPart(TaskState& task, const WCHAR* path, UINT lineId)
{
    PartHeader header;
    if (!ReadPartHeader(path, header) || header.totalParts <= 1)
        return false;
    WCHAR reason[kTextBufferSize];
    LogMessage(task, lineId);
    LoadMessage(reason, IDS_SET_CANNOT_CHANGE, static_cast<int>(header.partNumber),
                static_cast<int>(header.totalParts));
    LogMessage(task, IDS_ERROR_REASON, static_cast<const WCHAR*>(reason));
    SetLastError(ERROR_NOT_SUPPORTED);
    return true;
}
