// Finding files in an image as FindFirstFileW finds them on a volume. wimlib
// reads an image's metadata once, when it is first selected, and keeps the
// tree while the file stays as read: every later folder is a lookup in
// memory. A find handle holds its folder's matching entries, copied out when
// the handle is made, so it never reaches into the tree again.
#include "imaging/wimlib/layer.h"

#include <cstring>

namespace layer {

struct FoundEntry {
    WIM_FIND_DATA data = {};  // pointers left null; set to the vectors below as it is handed out
    std::vector<BYTE> security;
    std::vector<WString> streamNames;
};

struct FoundEntries {
    std::mutex lock;
    std::vector<FoundEntry> entries;
    size_t next = 0;
    std::vector<PWSTR> streamPointers;  // of the entry handed out last
};

namespace {

FILETIME FileTimeOf(const struct wimlib_timespec& time)
{
    // 100-nanosecond intervals since 1601.
    const int64_t seconds = static_cast<int64_t>(time.tv_sec) + 11644473600LL;
    const uint64_t ticks = seconds < 0 ? 0
                                       : static_cast<uint64_t>(seconds) * 10000000ULL +
                                             static_cast<uint64_t>(time.tv_nsec) / 100;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

// Matches a name against a FindFirstFileW pattern: '*' any run, '?' one
// character, letters compared without regard to case.
bool MatchesPattern(WStringView name, WStringView pattern)
{
    size_t n = 0;
    size_t p = 0;
    size_t starP = WStringView::npos;
    size_t starN = 0;
    auto same = [](WCHAR a, WCHAR b) { return EqualsIgnoringCase(WStringView(&a, 1), WStringView(&b, 1)); };
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != WStringView::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

struct Search {
    WString pattern;  // empty: the entry itself
    std::vector<FoundEntry>* entries;
};

FoundEntry EntryFrom(const struct wimlib_dir_entry& entry)
{
    FoundEntry found;
    WIM_FIND_DATA& data = found.data;
    data.dwFileAttributes = entry.attributes;
    data.ftCreationTime = FileTimeOf(entry.creation_time);
    data.ftLastAccessTime = FileTimeOf(entry.last_access_time);
    data.ftLastWriteTime = FileTimeOf(entry.last_write_time);
    const struct wimlib_resource_entry& unnamed = entry.streams[0].resource;
    const bool directory = (entry.attributes & WIMLIB_FILE_ATTRIBUTE_DIRECTORY) != 0;
    const uint64_t size = directory ? 0 : unnamed.uncompressed_size;
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    if (entry.attributes & WIMLIB_FILE_ATTRIBUTE_REPARSE_POINT)
        data.dwReserved0 = entry.reparse_tag;
    CopyToBuffer(data.cFileName, MAX_PATH, WideFromUtf8(entry.filename != nullptr ? entry.filename : ""));
    if (entry.dos_name != nullptr)
        CopyToBuffer(data.cAlternateFileName, 14, WideFromUtf8(entry.dos_name));
    std::memcpy(data.bHash, unnamed.sha1_hash, sizeof data.bHash);
    data.uliResourceSize.QuadPart = unnamed.packed ? unnamed.uncompressed_size : unnamed.compressed_size;
    if (entry.security_descriptor != nullptr && entry.security_descriptor_size > 0)
        found.security.assign(entry.security_descriptor,
                              entry.security_descriptor + entry.security_descriptor_size);
    for (uint32_t i = 1; i <= entry.num_named_streams; ++i) {
        if (entry.streams[i].stream_name != nullptr)
            found.streamNames.push_back(WideFromUtf8(entry.streams[i].stream_name));
    }
    return found;
}

int CollectMatch(const struct wimlib_dir_entry* entry, void* context)
{
    auto& search = *static_cast<Search*>(context);
    if (!search.pattern.empty() &&
        !MatchesPattern(WideFromUtf8(entry->filename != nullptr ? entry->filename : ""), search.pattern))
        return 0;
    search.entries->push_back(EntryFrom(*entry));
    return 0;
}

bool HasWildcard(WStringView text)
{
    return text.find_first_of(WSTR("*?")) != WStringView::npos;
}

// The caller's entry with its pointers aimed at what the handle keeps.
void HandOut(FoundEntries& found, FoundEntry& entry, PWIM_FIND_DATA data)
{
    std::memcpy(data, &entry.data, sizeof *data);
    data->pSecurityDescriptor = entry.security.empty() ? nullptr : entry.security.data();
    found.streamPointers.clear();
    for (WString& name : entry.streamNames)
        found.streamPointers.push_back(name.data());
    if (!found.streamPointers.empty())
        found.streamPointers.push_back(nullptr);
    data->ppszAlternateStreamNames = found.streamPointers.empty() ? nullptr : found.streamPointers.data();
    data->pbReparseData = nullptr;
    data->cbReparseData = 0;
}

}  // namespace

HANDLE WINAPI LayerFindFirstImageFile(HANDLE image, PCWSTR filePath, PWIM_FIND_DATA findData)
{
    const EntryOpening opening(image, HandleKind::Image);
    if (!opening)
        return nullptr;
    if (filePath == nullptr || findData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    WString path = filePath;
    for (WCHAR& c : path) {
        if (c == '\\')
            c = '/';
    }
    if (path.empty() || path.front() != '/')
        path.insert(path.begin(), WCHAR('/'));
    // The last component is the pattern (or the name sought); the rest, the folder.
    const size_t slash = path.rfind('/');
    WString folder = path.substr(0, slash == 0 ? 1 : slash);
    WString last = path.substr(slash + 1);

    auto found = std::make_shared<FoundEntries>();
    Search search{.pattern = {}, .entries = &found->entries};
    std::string lookup;
    int iterateFlags = 0;
    if (HasWildcard(last)) {
        search.pattern = last;
        lookup = Utf8FromWide(folder);
        iterateFlags = WIMLIB_ITERATE_DIR_TREE_FLAG_CHILDREN;
    } else {
        lookup = Utf8FromWide(path);
    }
    WimFile& file = opening.file();
    const int index = static_cast<int>(opening.entry().index);
    if (!WimlibSucceeds([&] {
            return wimlib_iterate_dir_tree(file.wim, index, lookup.c_str(), iterateFlags, CollectMatch,
                                           &search);
        })) {
        if (GetLastError() == ERROR_PATH_NOT_FOUND && iterateFlags == 0)
            SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (found->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    HandOut(*found, found->entries[0], findData);
    found->next = 1;
    auto entry = std::make_shared<HandleEntry>();
    entry->kind = HandleKind::Find;
    entry->file = opening.entry().file;
    entry->found = found;
    HANDLE handle = AddHandle(entry);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI LayerFindNextImageFile(HANDLE find, PWIM_FIND_DATA findData)
{
    const std::shared_ptr<HandleEntry> entry = Lookup(find, HandleKind::Find);
    if (entry == nullptr)
        return FALSE;
    if (findData == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    FoundEntries& found = *entry->found;
    std::lock_guard<std::mutex> guard(found.lock);
    if (found.next >= found.entries.size())
        return Fail(ERROR_NO_MORE_FILES);
    HandOut(found, found.entries[found.next++], findData);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
