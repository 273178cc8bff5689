// Splitting a WIM file into spanned parts, named as WIMGAPI names them: the
// first part has the given name, the others the name's stem with 2, 3, ...
// and ".swm". The parts are written under temporary names and put in place
// together, so a failed or aborted split leaves no part set behind.
#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/write_behind.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <unistd.h>

namespace layer {

namespace {

// Every part repeats the header, the file's XML and its part of the lookup
// table; wimlib counts only the resources against the part size.
constexpr uint64_t kHeaderBytes = 208;
constexpr uint64_t kLookupEntryBytes = 50;
constexpr uint64_t kXmlSlack = 4096;  // wimlib writes the XML afresh, a little longer at times

struct Resources {
    uint64_t largest = 0;   // the largest file resource, as stored
    uint64_t metadata = 0;  // all metadata resources, which go to the first part
    uint64_t count = 0;
};

int CountResource(const struct wimlib_resource_entry* resource, void* context)
{
    auto& resources = *static_cast<Resources*>(context);
    ++resources.count;
    if (resource->is_metadata)
        resources.metadata += resource->compressed_size;
    else
        resources.largest = std::max(resources.largest, resource->compressed_size);
    return 0;
}

// The part names, and the temporary names the parts are written under.
struct SplitRun {
    uintptr_t wim = 0;
    WString firstPart;  // as the caller gave it
    LARGE_INTEGER partSize = {};
    std::vector<std::string> finalNames;
    std::deque<std::string> temporaryNames;  // wimlib keeps a pointer to the current one
    std::deque<TemporaryRecord> records;     // one per temporary part, made before it
    std::string stamp;                       // makes the temporary names this run's own
    bool aborted = false;
    DWORD failure = ERROR_SUCCESS;  // a failure of the layer's own while wimlib ran
    WriteBehind behind;
    int partDescriptor = -1;  // the part being written, for the write-behind

    ~SplitRun() { FollowPart(-1); }
    void FollowPart(int descriptor)
    {
        behind.Follow(descriptor);
        if (partDescriptor >= 0)
            close(partDescriptor);
        partDescriptor = descriptor;
    }
};

// "X:\dir\name.swm", part 3: "X:\dir\name3.swm".
WString PartName(const WString& first, unsigned part)
{
    if (part == 1)
        return first;
    const size_t slash = first.find_last_of(WSTR("\\/"));
    const size_t dot = first.find_last_of(WCHAR('.'));
    const bool hasExtension = dot != WString::npos && (slash == WString::npos || dot > slash);
    const WString stem = hasExtension ? first.substr(0, dot) : first;
    return stem + DecimalText(part) + WSTR(".swm");
}

enum wimlib_progress_status SplitProgress(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                          void* context)
{
    auto& run = *static_cast<SplitRun*>(context);
    switch (message) {
    case WIMLIB_PROGRESS_MSG_SPLIT_BEGIN_PART: {
        WString name = PartName(run.firstPart, info->split.cur_part_number);
        const WCHAR* shown = name.c_str();
        if (Deliver(run.wim, WIM_MSG_SPLIT, reinterpret_cast<WPARAM>(&shown),
                    reinterpret_cast<LPARAM>(&run.partSize))) {
            run.aborted = true;
            break;
        }
        std::string unixName;
        if (!UnixPathFromDos(shown, unixName)) {
            run.failure = GetLastError();
            run.aborted = true;
            break;
        }
        run.FollowPart(-1);
        run.finalNames.push_back(unixName);
        run.temporaryNames.push_back(unixName + run.stamp);
        // Made here, under its record, so that wimlib only opens it: a
        // clean-up then knows the part by its identity, never by its name.
        run.records.emplace_back();
        const int part = CreateRecordedFile(run.records.back(), run.temporaryNames.back(), O_WRONLY, 0666);
        if (part < 0) {
            run.failure = GetLastError();
            run.aborted = true;
            break;
        }
        run.FollowPart(part);
        info->split.part_name = run.temporaryNames.back().data();
        break;
    }
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS:
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_BEGIN:
    case WIMLIB_PROGRESS_MSG_SPLIT_END_PART:
        if (Deliver(run.wim, WIM_MSG_QUERY_ABORT, 0, 0))
            run.aborted = true;
        break;
    default:
        break;
    }
    return run.aborted ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// Puts every written part under its name, the first part last: a set cut
// short by a kill has no new first part, so it is never taken for whole. A
// file already there is kept aside until all parts are in place, and put
// back if one cannot be.
bool PlaceParts(SplitRun& run)
{
    const size_t count = run.finalNames.size();
    std::vector<std::string> backups(count);
    std::vector<struct stat> backedUp(count);
    size_t placed = 0;  // the last `placed` parts are in place
    bool ok = true;
    for (; placed < count; ++placed) {
        const size_t part = count - 1 - placed;
        const std::string& name = run.finalNames[part];
        if (access(name.c_str(), F_OK) == 0) {
            backups[part] = name + run.stamp + ".old";
            if (link(name.c_str(), backups[part].c_str()) != 0 ||
                lstat(backups[part].c_str(), &backedUp[part]) != 0) {
                backups[part].clear();
                ok = FailErrno(ERROR_CANNOT_MAKE);
                break;
            }
        }
        if (rename(run.temporaryNames[part].c_str(), name.c_str()) != 0) {
            ok = FailErrno(ERROR_CANNOT_MAKE);
            break;
        }
    }
    const DWORD kept = GetLastError();
    for (size_t i = 0; i < count; ++i) {
        if (!ok && i >= count - placed)
            run.records[i].RemoveRecordedAt(run.finalNames[i]);
        if (!backups[i].empty()) {
            if (!ok)
                rename(backups[i].c_str(), run.finalNames[i].c_str());
            else
                RemoveIfIdentity(backups[i], backedUp[i].st_dev, backedUp[i].st_ino);
        }
    }
    if (count > 0)
        SyncFolderOf(run.finalNames.front());
    SetLastError(kept);
    return ok;
}

// A part's number, its set's part count and GUID, from the header of the
// file open on `descriptor`; false for a file that is no WIM part.
bool ReadPartHeader(int descriptor, unsigned& number, unsigned& total, std::string& guid)
{
    char header[kHeaderBytes];
    if (!ReadAt(descriptor, header, sizeof header, 0) || std::memcmp(header, "MSWIM\0\0\0", 8) != 0)
        return false;
    const auto* raw = reinterpret_cast<const unsigned char*>(header);
    guid.assign(header + 24, 16);
    number = raw[40] | (raw[41] << 8);
    total = raw[42] | (raw[43] << 8);
    return true;
}

int OpenPart(const std::string& path)
{
    return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

// Once the new set stands, the parts that follow it under the same names
// and belong to another set (another GUID or part count) go: left beside
// the new set they would be taken for part of it. Each goes only while its
// name still holds the file whose header was read.
void RemovePartsOfOtherSets(const SplitRun& run)
{
    const unsigned count = static_cast<unsigned>(run.finalNames.size());
    // The new set's GUID, as its first part has it (wimlib gives each set its own).
    unsigned ignored = 0;
    std::string guid;
    const int first = count == 0 ? -1 : OpenPart(run.finalNames.front());
    const bool known = first >= 0 && ReadPartHeader(first, ignored, ignored, guid);
    if (first >= 0)
        close(first);
    if (!known)
        return;
    bool removed = false;
    for (unsigned part = count + 1, last = count + 1; part <= last && part < 0xFFFF; ++part) {
        std::string name;
        if (!UnixPathFromDos(PartName(run.firstPart, part).c_str(), name))
            break;
        const int descriptor = OpenPart(name);
        if (descriptor < 0)
            continue;
        unsigned number = 0;
        unsigned total = 0;
        std::string partGuid;
        if (ReadPartHeader(descriptor, number, total, partGuid)) {
            // The older set's own count says how far its parts go.
            last = std::max(last, std::min(total, 0xFFFEu));
            if ((partGuid != guid || total != count) && number == part && RemoveIfSame(descriptor, name))
                removed = true;
        }
        close(descriptor);
    }
    if (removed && !run.finalNames.empty())
        SyncFolderOf(run.finalNames.front());
}

}  // namespace

BOOL WINAPI LayerSplitFile(HANDLE wim, PCWSTR partPath, PLARGE_INTEGER partSize, DWORD flags)
{
    std::shared_ptr<HandleEntry> entry = Lookup(wim, HandleKind::Wim);
    if (entry == nullptr)
        return FALSE;
    if (partPath == nullptr || partPath[0] == 0 || partSize == nullptr || partSize->QuadPart <= 0 ||
        flags != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string firstUnix;
    if (!UnixPathFromDos(partPath, firstUnix))
        return FALSE;
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    // Works from the file as written: what its handles changed goes there first.
    if (!Current(file) || !WriteKeptChanges(file))
        return FALSE;
    struct wimlib_wim_info header;
    if (!WimlibSucceeds([&] { return wimlib_get_wim_info(file.wim, &header); }))
        return FALSE;
    if (header.total_parts != 1)
        return Fail(ERROR_INVALID_PARAMETER);

    // The smallest size that holds the first part's metadata, or the largest
    // resource, with what every part repeats.
    Resources resources;
    void* xml = nullptr;
    size_t xmlBytes = 0;
    if (!WimlibSucceeds(
            [&] { return wimlib_iterate_lookup_table(file.wim, 0, CountResource, &resources); }) ||
        !WimlibSucceeds([&] { return wimlib_get_xml_data(file.wim, &xml, &xmlBytes); }))
        return FALSE;
    std::free(xml);
    const uint64_t overhead = kHeaderBytes + xmlBytes + kXmlSlack + kLookupEntryBytes * resources.count;
    const uint64_t minimum = overhead + std::max(resources.largest, resources.metadata) + 1;
    const uint64_t asked = static_cast<uint64_t>(partSize->QuadPart);
    if (asked < minimum) {
        partSize->QuadPart = static_cast<LONGLONG>(minimum);
        return Fail(ERROR_MORE_DATA);
    }

    SplitRun run;
    run.wim = reinterpret_cast<uintptr_t>(wim);
    run.firstPart = partPath;
    run.partSize = *partSize;
    RemoveLeftoversIn(FolderOf(firstUnix));
    run.stamp = kSplitStampInfix + std::to_string(getpid()) + "-" + std::to_string(GetTickCount());
    wimlib_register_progress_function(file.wim, SplitProgress, &run);
    const bool written = WimlibSucceeds(
        [&] { return wimlib_split(file.wim, firstUnix.c_str(), asked - overhead, WIMLIB_WRITE_FLAG_FSYNC); });
    wimlib_register_progress_function(file.wim, ProgressBridge, &file.progress);
    const bool placed = written && PlaceParts(run);
    if (!placed) {
        const DWORD kept = run.failure != ERROR_SUCCESS ? run.failure : GetLastError();
        run.FollowPart(-1);
        for (size_t i = 0; i < run.records.size(); ++i)
            run.records[i].RemoveRecordedAt(run.temporaryNames[i]);
        return Fail(kept);
    }
    run.records.clear();
    RemovePartsOfOtherSets(run);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
