// The hive seam on the hive files themselves, read-only. Wine cannot load
// binary hives, so the registry's file format is followed here from the root
// cell to the keys and values asked for: a probe reads a few kilobytes of a
// hive however large it is. (A general hive library checks every page of the
// file when it opens it, some hundred milliseconds for a real SOFTWARE hive.)
// Nothing is mapped: each cell is read with pread and checked against the
// hive's bounds, so a damaged or shrinking file gives missing values, never
// a fault.
#include "metadata/offline_hive.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

// Cell offsets count from the first bin, which follows the 4 KiB base block.
constexpr uint64_t kBinsStart = 0x1000;
// No cell the probe reads comes near this; a damaged hive may claim any size.
constexpr uint32_t kMaxCellBytes = 1u << 20;
// Subkeys looked at below one key: far more than any key the probe reads
// has, and a bound on the work a damaged list can cause.
constexpr size_t kMaxSubkeys = 1u << 16;
// nk: a key's record; vk: a value's record.
constexpr uint16_t kKeyNameIsLatin1 = 0x0020;
constexpr uint16_t kValueNameIsLatin1 = 0x0001;
constexpr uint32_t kDataIsInline = 0x80000000u;

// A cell's content (after its size field), with little-endian reads that
// give 0 past its end; callers check Has before they rely on a field.
struct Cell {
    std::string bytes;

    bool Has(size_t at, size_t count) const { return at <= bytes.size() && count <= bytes.size() - at; }
    uint16_t U16(size_t at) const
    {
        if (!Has(at, 2))
            return 0;
        return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                     static_cast<unsigned char>(bytes[at + 1]) << 8);
    }
    uint32_t U32(size_t at) const
    {
        return Has(at, 4) ? static_cast<uint32_t>(U16(at)) | static_cast<uint32_t>(U16(at + 2)) << 16 : 0;
    }
    bool Is(const char* signature) const
    {
        return Has(0, 2) && bytes[0] == signature[0] && bytes[1] == signature[1];
    }
};

struct Hive {
    int file = -1;
    uint64_t binsBytes = 0;
    uint32_t root = 0;
    // Keys found so far by their upper-cased path below the root: the probe
    // reads several values of a key and several keys below one parent.
    std::map<WString, Cell> keys;
};

struct LoadedHives {
    std::mutex lock;
    std::map<WString, Hive> byName;  // names upper-cased
};

LoadedHives& Loaded()
{
    static LoadedHives hives;
    return hives;
}

WString Upper(WStringView text)
{
    WString upper(text);
    for (WCHAR& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<WCHAR>(c - 'a' + 'A');
    }
    return upper;
}

// Registry names compare without regard to the case of ASCII letters.
bool SameName(WStringView a, WStringView b)
{
    return a.size() == b.size() && Upper(a) == Upper(b);
}

bool ReadExactly(int file, void* buffer, size_t count, uint64_t at)
{
    char* into = static_cast<char*>(buffer);
    while (count > 0) {
        ssize_t got = pread(file, into, count, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        into += got;
        count -= static_cast<size_t>(got);
        at += static_cast<uint64_t>(got);
    }
    return true;
}

// The allocated cell at `offset`, or false when it lies outside the bins,
// is free, or is larger than any cell the probe needs. Most cells are small:
// one read takes the size field with the first bytes.
bool ReadCell(const Hive& hive, uint32_t offset, Cell& cell)
{
    constexpr uint64_t kFirstRead = 256;
    if (offset % 8 != 0 || offset + uint64_t{8} > hive.binsBytes)
        return false;
    unsigned char first[kFirstRead];
    const uint64_t firstBytes = std::min(kFirstRead, hive.binsBytes - offset);
    if (!ReadExactly(hive.file, first, static_cast<size_t>(firstBytes), kBinsStart + offset))
        return false;
    const int32_t size = static_cast<int32_t>(static_cast<uint32_t>(first[0]) | first[1] << 8 |
                                              first[2] << 16 | static_cast<uint32_t>(first[3]) << 24);
    if (size >= 0)
        return false;
    const uint64_t length = static_cast<uint64_t>(-static_cast<int64_t>(size));
    if (length < 8 || length > kMaxCellBytes || offset + length > hive.binsBytes)
        return false;
    if (length <= firstBytes) {
        cell.bytes.assign(reinterpret_cast<const char*>(first) + 4, static_cast<size_t>(length - 4));
        return true;
    }
    cell.bytes.resize(static_cast<size_t>(length - 4));
    memcpy(cell.bytes.data(), first + 4, static_cast<size_t>(firstBytes - 4));
    return ReadExactly(hive.file, cell.bytes.data() + (firstBytes - 4),
                       static_cast<size_t>(length - firstBytes), kBinsStart + offset + firstBytes);
}

// A key or value name stored as Latin-1 bytes or as UTF-16LE.
bool NameOf(const Cell& cell, size_t at, size_t length, bool latin1, WString& name)
{
    if (!cell.Has(at, length))
        return false;
    name.clear();
    if (latin1) {
        for (size_t i = 0; i < length; ++i)
            name += static_cast<WCHAR>(static_cast<unsigned char>(cell.bytes[at + i]));
    } else {
        for (size_t i = 0; i + 1 < length; i += 2)
            name += static_cast<WCHAR>(cell.U16(at + i));
    }
    return true;
}

bool KeyNameOf(const Cell& key, WString& name)
{
    return key.Is("nk") && NameOf(key, 0x4C, key.U16(0x48), (key.U16(0x02) & kKeyNameIsLatin1) != 0, name);
}

// The offsets of a key's subkeys in the hive's order, from its list: "lf"
// and "lh" hold an offset and a hash per subkey, "li" offsets only, and "ri"
// holds lists of those (never of another "ri", so a list cannot loop).
void AppendSubkeyOffsets(const Hive& hive, const Cell& list, bool nested, std::vector<uint32_t>& offsets)
{
    const size_t count = list.U16(0x02);
    const size_t stride = list.Is("lf") || list.Is("lh") ? 8 : 4;
    if (!list.Is("lf") && !list.Is("lh") && !list.Is("li") && !(list.Is("ri") && !nested))
        return;
    for (size_t i = 0; i < count && list.Has(4 + i * stride, 4) && offsets.size() < kMaxSubkeys; ++i) {
        const uint32_t entry = list.U32(4 + i * stride);
        if (!list.Is("ri")) {
            offsets.push_back(entry);
            continue;
        }
        Cell inner;
        if (ReadCell(hive, entry, inner))
            AppendSubkeyOffsets(hive, inner, true, offsets);
    }
}

std::vector<uint32_t> SubkeyOffsets(const Hive& hive, const Cell& key)
{
    std::vector<uint32_t> offsets;
    Cell list;
    if (key.U32(0x14) != 0 && ReadCell(hive, key.U32(0x1C), list))
        AppendSubkeyOffsets(hive, list, false, offsets);
    return offsets;
}

// A key path's hive and key record, or false when any step is missing.
bool FindKey(const WCHAR* keyPath, Hive*& hive, Cell& key)
{
    WStringView path(keyPath);
    size_t end = path.find('\\');
    auto found = Loaded().byName.find(Upper(path.substr(0, end)));
    if (found == Loaded().byName.end())
        return false;
    hive = &found->second;
    if (!ReadCell(*hive, hive->root, key) || !key.Is("nk"))
        return false;
    WString below;
    while (end != WStringView::npos) {
        const size_t start = end + 1;
        end = path.find('\\', start);
        const WStringView step = path.substr(start, end == WStringView::npos ? end : end - start);
        below += Upper(step);
        auto known = hive->keys.find(below);
        if (known != hive->keys.end()) {
            key = known->second;
        } else {
            bool stepped = false;
            Cell child;
            WString name;
            for (uint32_t offset : SubkeyOffsets(*hive, key)) {
                if (ReadCell(*hive, offset, child) && KeyNameOf(child, name) && SameName(name, step)) {
                    stepped = true;
                    break;
                }
            }
            if (!stepped)
                return false;
            key = std::move(child);
            hive->keys.emplace(below, key);
        }
        below += '\\';
    }
    return true;
}

// The value's raw data, or false when it is missing, damaged or larger than
// the seam accepts. Data over 16,344 bytes, which the registry keeps in
// segments, counts as larger: nothing the probe reads comes near it.
bool ReadValue(const WCHAR* keyPath, const WCHAR* valueName, std::string& data)
{
    Hive* hive = nullptr;
    Cell key;
    if (!FindKey(keyPath, hive, key))
        return false;
    const size_t count = key.U32(0x24);
    Cell list;
    if (count == 0 || !ReadCell(*hive, key.U32(0x28), list))
        return false;
    const WStringView wanted(valueName);
    Cell value;
    WString name;
    for (size_t i = 0; i < count && list.Has(i * 4, 4); ++i) {
        if (!ReadCell(*hive, list.U32(i * 4), value) || !value.Is("vk") ||
            !NameOf(value, 0x14, value.U16(0x02), (value.U16(0x10) & kValueNameIsLatin1) != 0, name) ||
            !SameName(name, wanted))
            continue;
        const uint32_t size = value.U32(0x04);
        const uint32_t length = size & ~kDataIsInline;
        if ((size & kDataIsInline) != 0) {
            if (length > 4 || !value.Has(0x08, 4))
                return false;
            data.assign(value.bytes, 0x08, length);
            return true;
        }
        Cell content;
        if (length > kMaxHiveValueBytes || !ReadCell(*hive, value.U32(0x08), content) ||
            content.bytes.size() < length)
            return false;
        data.assign(content.bytes, 0, length);
        return true;
    }
    return false;
}

// The base block names the hive ("regf", format 1), its size and its root;
// its checksum is the exclusive or of its first 127 words. A file shorter
// than the bins it claims is cut off and not read.
bool OpenHive(const char* path, Hive& hive)
{
    hive.file = open(path, O_RDONLY | O_CLOEXEC);
    if (hive.file < 0)
        return false;
    struct stat status;
    Cell base;
    base.bytes.resize(0x200);
    bool valid = fstat(hive.file, &status) == 0 && S_ISREG(status.st_mode) &&
                 ReadExactly(hive.file, base.bytes.data(), base.bytes.size(), 0) &&
                 base.bytes.compare(0, 4, "regf") == 0 && base.U32(0x14) == 1;
    if (valid) {
        uint32_t sum = 0;
        for (size_t at = 0; at < 0x1FC; at += 4)
            sum ^= base.U32(at);
        // The registry writes 1 for a sum of 0 and ~1 for a sum of ~0.
        const uint32_t stored = base.U32(0x1FC);
        valid = stored == sum || (sum == 0 && stored == 1) || (sum == 0xFFFFFFFFu && stored == 0xFFFFFFFEu);
    }
    hive.binsBytes = base.U32(0x28);
    hive.root = base.U32(0x24);
    char bin[4];
    valid = valid && hive.binsBytes >= 0x1000 && hive.binsBytes % 0x1000 == 0 &&
            kBinsStart + hive.binsBytes <= static_cast<uint64_t>(status.st_size) &&
            ReadExactly(hive.file, bin, 4, kBinsStart) && std::string(bin, 4) == "hbin";
    Cell root;
    if (valid && ReadCell(hive, hive.root, root) && root.Is("nk"))
        return true;
    close(hive.file);
    hive.file = -1;
    return false;
}

}  // namespace

bool HiveLoadNeedsCopy()
{
    return false;
}

bool LoadHive(const WCHAR* name, const WCHAR* path)
{
    char* unixPath = wine_get_unix_file_name(path);
    if (unixPath == nullptr)
        return false;
    Hive hive;
    const bool opened = OpenHive(unixPath, hive);
    HeapFree(GetProcessHeap(), 0, unixPath);
    if (!opened)
        return false;
    std::lock_guard<std::mutex> guard(Loaded().lock);
    auto [entry, added] = Loaded().byName.emplace(Upper(name), hive);
    if (!added) {
        // The name is taken, as a second load under a loaded name is
        // refused by the registry.
        close(hive.file);
        return false;
    }
    return true;
}

void UnloadHive(const WCHAR* name)
{
    std::lock_guard<std::mutex> guard(Loaded().lock);
    auto found = Loaded().byName.find(Upper(name));
    if (found == Loaded().byName.end())
        return;
    close(found->second.file);
    Loaded().byName.erase(found);
}

WString ReadHiveString(const WCHAR* keyPath, const WCHAR* valueName)
{
    std::lock_guard<std::mutex> guard(Loaded().lock);
    std::string data;
    if (!ReadValue(keyPath, valueName, data))
        return WString();
    WString text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        WCHAR c = static_cast<WCHAR>(static_cast<unsigned char>(data[i]) |
                                     static_cast<unsigned char>(data[i + 1]) << 8);
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

DWORD ReadHiveNumber(const WCHAR* keyPath, const WCHAR* valueName)
{
    std::lock_guard<std::mutex> guard(Loaded().lock);
    std::string data;
    if (!ReadValue(keyPath, valueName, data) || data.size() > 4)
        return 0;
    DWORD number = 0;
    for (size_t i = 0; i < data.size(); ++i)
        number |= static_cast<DWORD>(static_cast<unsigned char>(data[i])) << (8 * i);
    return number;
}

bool ReadHiveSubkeyNames(const WCHAR* keyPath, size_t limit, std::vector<WString>& names)
{
    std::lock_guard<std::mutex> guard(Loaded().lock);
    Hive* hive = nullptr;
    Cell key;
    if (!FindKey(keyPath, hive, key))
        return false;
    Cell child;
    WString name;
    for (uint32_t offset : SubkeyOffsets(*hive, key)) {
        if (names.size() >= limit)
            break;
        // A damaged entry ends the list, as the registry's enumeration ends
        // at a name its buffer cannot hold.
        if (!ReadCell(*hive, offset, child) || !KeyNameOf(child, name) ||
            name.size() >= static_cast<size_t>(kTextBufferSize))
            break;
        names.push_back(name);
    }
    return true;
}

uint32_t HiveCopyOwner()
{
    // The system's process number: Wine's own numbers repeat between Wine
    // prefixes, and two prefixes may share a temporary directory.
    return static_cast<uint32_t>(getpid());
}

bool HiveCopyOwnerRuns(uint32_t owner)
{
    if (owner == 0 || owner > static_cast<uint32_t>(INT32_MAX))
        return false;
    return kill(static_cast<pid_t>(owner), 0) == 0 || errno == EPERM;
}
