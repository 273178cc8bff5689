// Extracting one path of an image (a file or a folder, with what apply
// keeps) to the full path it is to take: WIMExtractImagePath. Names Windows
// cannot hold and data the file lacks are refused before anything is
// written; wimlib writes into a staging folder of the layer's own beside the
// destination, which then takes the destination's name.
#include "imaging/wimlib/apply_run.h"
#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/temporary_records.h"

#include "base/file_names.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace layer {

void (*StagingFolderMade)(const char* path) = [](const char*) {};

namespace {

// One item of a path being extracted, and what keeps it from being written.
struct ExtractItems {
    size_t prefix = 0;  // the requested path's length: item paths start after it
    std::vector<ApplyItem>* items = nullptr;
    std::vector<std::string> badNames;     // relative paths whose last name Windows cannot hold
    std::vector<std::string> missingData;  // relative paths whose data the file lacks
};

int CollectExtractItem(const struct wimlib_dir_entry* entry, void* context)
{
    auto& collect = *static_cast<ExtractItems*>(context);
    const std::string full = entry->full_path;
    std::string path = full.size() > collect.prefix ? full.substr(collect.prefix) : std::string();
    if (!path.empty() && path.front() != '/')
        path.insert(path.begin(), '/');
    ApplyItem item = ItemOf(entry, std::move(path));
    // The requested item's own name is not used: the caller names its destination.
    if (entry->depth > 0 && WindowsNameFault(WideFromUtf8(entry->filename)) != NameFault::None)
        collect.badNames.push_back(item.path);
    for (uint32_t i = 0; i <= entry->num_named_streams; ++i) {
        if (entry->streams[i].resource.is_missing) {
            collect.missingData.push_back(item.path);
            break;
        }
    }
    collect.items->push_back(std::move(item));
    return 0;
}

// Empties the folder `folder` (a descriptor) of everything in it, through
// descriptors alone: what goes is what lies inside the folder the layer made
// and holds, whatever names around it are changed meanwhile. Each entry goes
// only while its name still stands for the device and inode listed, so
// nothing renamed into the folder meanwhile is taken; links are removed,
// never followed.
void EmptyHeldFolder(int folder)
{
    struct stat held;
    const int listing = fstat(folder, &held) == 0 ? dup(folder) : -1;
    DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        if (listing >= 0)
            close(listing);
        return;
    }
    // A duplicate shares the held descriptor's place in the listing: start
    // from the first entry whatever was read through it before.
    rewinddir(entries);
    while (const struct dirent* entry = readdir(entries)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat status;
        const bool isFolder =
            entry->d_type == DT_DIR ||
            (entry->d_type == DT_UNKNOWN && fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
             S_ISDIR(status.st_mode));
        if (!isFolder) {
            UnlinkAtIfIdentity(folder, name, held.st_dev, entry->d_ino, 0);
            continue;
        }
        const int child = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened;
        if (child < 0)
            continue;
        if (fstat(child, &opened) == 0 && opened.st_dev == held.st_dev && opened.st_ino == entry->d_ino) {
            EmptyHeldFolder(child);
            UnlinkAtIfIdentity(folder, name, opened.st_dev, opened.st_ino, S_IFDIR);
        }
        close(child);
    }
    closedir(entries);
}

// Whether the folder held is one mkdtemp could have made just now: the
// user's own, closed to everyone else, and empty.
bool IsFreshOwnFolder(int folder, const struct stat& status)
{
    if (status.st_uid != geteuid() || (status.st_mode & 077) != 0)
        return false;
    DIR* entries = fdopendir(dup(folder));
    if (entries == nullptr)
        return false;
    const bool empty = ListsNothing(entries);
    closedir(entries);
    return empty;
}

// The staging folder: made under a fresh name (mkdtemp) and held open from
// then on, so that its identity is known and removal goes through it.
struct StagingFolder {
    std::string path;
    int held = -1;
    struct stat identity = {};

    ~StagingFolder() { Remove(); }

    bool Make(const std::string& destination)
    {
        std::string name = FolderOf(destination) + "/.corvane-extract-XXXXXX";
        if (mkdtemp(name.data()) == nullptr)
            return FailErrno(ERROR_PATH_NOT_FOUND);
        path = name;
        StagingFolderMade(path.c_str());
        held = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (held < 0 || fstat(held, &identity) != 0) {
            // Nothing then proves the name still stands for the folder
            // made: it stays, empty as far as the layer knows.
            const int error = errno;
            if (held >= 0)
                close(held);
            held = -1;
            return Fail(Win32FromErrno(error, ERROR_PATH_NOT_FOUND));
        }
        if (!IsFreshOwnFolder(held, identity)) {
            // In a folder others may rename entries in, another folder can
            // take the name before the open: that one is never held, so
            // nothing of it is written to, emptied or moved.
            close(held);
            held = -1;
            return Fail(ERROR_ACCESS_DENIED);
        }
        return true;
    }

    // Removes what the staging holds, then its name, but only while the
    // name still stands for the folder made.
    void Remove()
    {
        if (held < 0)
            return;
        EmptyHeldFolder(held);
        const int parent = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const std::string base = path.substr(path.rfind('/') + 1);
        if (parent >= 0) {
            UnlinkAtIfIdentity(parent, base.c_str(), identity.st_dev, identity.st_ino, S_IFDIR);
            close(parent);
        }
        close(held);
        held = -1;
    }

    // The staging folder itself takes `destination`'s name (the image's
    // root extracted), while its name still stands for the folder made; it
    // is the caller's from then on and nothing of it is removed.
    bool TakeName(const std::string& destination)
    {
        struct stat now;
        if (lstat(path.c_str(), &now) != 0 || now.st_dev != identity.st_dev || now.st_ino != identity.st_ino)
            return Fail(ERROR_FILE_NOT_FOUND);
        if (rename(path.c_str(), destination.c_str()) != 0)
            return FailErrno(ERROR_WRITE_FAULT);
        close(held);
        held = -1;
        return true;
    }

    // Removes an item wimlib wrote into the staging (`relative` to it): its
    // folders are walked from the held staging one by one, never through a
    // link, and the item goes as EmptyHeldFolder takes an entry.
    void RemoveItem(const std::string& relative) const
    {
        int at = dup(held);
        size_t start = 0;
        for (size_t slash; at >= 0 && (slash = relative.find('/', start)) != std::string::npos;
             start = slash + 1) {
            const int next = openat(at, relative.substr(start, slash - start).c_str(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(at);
            at = next;
        }
        if (at < 0)
            return;
        const std::string name = relative.substr(start);
        struct stat item;
        if (fstatat(at, name.c_str(), &item, AT_SYMLINK_NOFOLLOW) == 0) {
            const int opened = S_ISDIR(item.st_mode)
                                   ? openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                   : -1;
            struct stat now;
            if (opened >= 0 && fstat(opened, &now) == 0 && now.st_dev == item.st_dev &&
                now.st_ino == item.st_ino)
                EmptyHeldFolder(opened);
            if (opened >= 0)
                close(opened);
            UnlinkAtIfIdentity(at, name.c_str(), item.st_dev, item.st_ino,
                               S_ISDIR(item.st_mode) ? S_IFDIR : 0);
        }
        close(at);
    }
};

// Names each refused item to the listeners; false unless every one was
// skipped. Skipped items are removed from the staging folder afterwards.
bool NameRefusedItems(ApplyRun& run, const std::vector<std::string>& paths, DWORD code,
                      std::vector<std::string>& skipped)
{
    bool going = true;
    for (const std::string& path : paths) {
        const WString callerPath = CallerItemPath(run, path);
        const ErrorAnswer answer = DeliverError(run.wim, callerPath.c_str(), code);
        if (answer == ErrorAnswer::Skip) {
            skipped.push_back(path);
            continue;
        }
        going = false;
        if (answer == ErrorAnswer::Abort) {
            SetLastError(ERROR_REQUEST_ABORTED);
            return false;
        }
    }
    if (!going)
        SetLastError(code);
    return going;
}

// The image path wimlib looks up: '/'-separated from the root, no empty
// parts; false for a "." or ".." part, which the image's tree does not know.
bool ImagePathOf(PCWSTR callerPath, std::string& path)
{
    path = "/";
    std::string part;
    for (char c : Utf8FromWide(callerPath) + "\\") {
        if (c != '\\' && c != '/') {
            part.push_back(c);
            continue;
        }
        if (part == "." || part == "..")
            return false;
        if (!part.empty())
            path += (path.size() > 1 ? "/" : "") + part;
        part.clear();
    }
    return true;
}

}  // namespace

BOOL WINAPI LayerExtractImagePath(HANDLE image, PCWSTR imagePath, PCWSTR destinationPath, DWORD flags)
{
    std::shared_ptr<HandleEntry> entry = Lookup(image, HandleKind::Image);
    if (entry == nullptr)
        return FALSE;
    if (imagePath == nullptr || destinationPath == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string source;
    if (!ImagePathOf(imagePath, source))
        return Fail(ERROR_BAD_PATHNAME);
    std::string destination;
    if (!UnixPathFromDos(destinationPath, destination))
        return FALSE;
    while (destination.size() > 1 && destination.back() == '/')
        destination.pop_back();
    struct stat existing;
    if (lstat(destination.c_str(), &existing) == 0)
        return Fail(ERROR_FILE_EXISTS);
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!Current(file))
        return FALSE;
    const int index = static_cast<int>(entry->index);

    ApplyRun run;
    StartRun(run, file, destinationPath);
    ExtractItems collect;
    collect.prefix = source.size() == 1 ? 0 : source.size();
    collect.items = &run.items;
    if (!WimlibSucceeds([&] {
            return wimlib_iterate_dir_tree(file.wim, index, source.c_str(),
                                           WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, CollectExtractItem,
                                           &collect);
        })) {
        if (GetLastError() == ERROR_PATH_NOT_FOUND)
            SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::vector<std::string> skipped;
    if (!NameRefusedItems(run, collect.badNames, ERROR_INVALID_NAME, skipped))
        return FALSE;
    std::vector<std::string> noData;
    if (!NameRefusedItems(run, collect.missingData, ERROR_NOT_FOUND, noData))
        return FALSE;
    skipped.insert(skipped.end(), noData.begin(), noData.end());
    PlanItems(run);
    run.startTick = GetTickCount();

    StagingFolder staging;
    if (!staging.Make(destination))
        return FALSE;
    // wimlib writes the item under its own name inside the staging folder
    // (the image's root: into the folder itself).
    const std::string within = source.size() == 1 ? std::string() : source.substr(source.rfind('/'));
    const std::string landed = staging.path + within;
    const char* paths[] = {source.c_str()};
    DWORD failure = ExtractTelling(file, run, landed, [&] {
        return wimlib_extract_paths(file.wim, index, staging.path.c_str(), paths, 1,
                                    WIMLIB_EXTRACT_FLAG_UNIX_DATA |
                                        WIMLIB_EXTRACT_FLAG_NO_PRESERVE_DIR_STRUCTURE);
    });
    if (failure == ERROR_SUCCESS) {
        for (const std::string& path : skipped)
            staging.RemoveItem((within.empty() ? "" : within.substr(1) + "/") + path.substr(1));
        if (within.empty()) {
            if (!staging.TakeName(destination))
                failure = GetLastError();
        } else if (renameat(staging.held, within.substr(1).c_str(), AT_FDCWD, destination.c_str()) != 0) {
            failure = Win32FromErrno(errno, ERROR_WRITE_FAULT);
        }
    }
    staging.Remove();
    if (failure == ERROR_SUCCESS && (flags & WIM_FLAG_VERIFY))
        failure = CheckAppliedData(run, destination, skipped);
    return EndRun(run, failure);
}

}  // namespace layer
