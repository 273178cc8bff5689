// Mounting images, the mounted-image list, commit and unmount, with wimlib's
// FUSE file system.
//
// FUSE turns the process that mounts into the file system's daemon, so each
// mount runs in corvane-mount-helper, a small Unix program of our own found
// beside the program (mount_helper/). The daemon it leaves serves the mount
// for as long as it is mounted, beyond this process's end.
//
// The kernel's table shows only "fuse.wimfs" for such a mount, so every
// mount has a record of its own: a small file in the record folder that
// names the WIM and the mount folder as the caller gave them, the index and
// the mode. The daemon keeps the record's lock for its whole life, so a
// record whose lock can be taken belongs to a mount that is gone (unmounted
// by hand, a killed daemon, a restart); it is cleaned up as it is found.
// Every process sees the same records, so one process lists and unmounts
// what another mounted. A read/write mount's daemon also keeps the WIM's
// writer's lock, so no other write reaches the file until it is unmounted.
//
// wimlib commits only while it unmounts: WIMCommitImageHandle unmounts with
// the changes, and the WIMUnmountImageHandle that follows it finds nothing
// left to do. The commit is an in-place write that wimlib makes in the
// daemon; it is journalled here like every other in-place write, and a
// commit that fails leaves the image mounted with its changes.
#include "base/last_error.h"
#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/mount_commit.h"
#include "imaging/wimlib/mount_records.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

namespace layer {

// What an image handle of a mounted image (from WIMGetMountedImageHandle)
// knows about its mount.
struct MountedImage {
    std::string unixDir;
    std::string recordPath;
    std::string staging;  // where a read/write mount's changes wait
    bool readWrite = false;
    bool verify = false;
    bool unmounted = false;  // a commit unmounted it already
    // What its helper did with a commit whose committing process was gone
    // (see MountRecord::settled); said once, by the next commit or unmount.
    std::string settled;
    WString mountPath;
};

namespace {

// The mount folder's Unix path with its parent's links and dots resolved,
// the way the kernel's table names it; the folder itself is not looked at,
// since a stale mount there answers with an error.
bool MountFolderPath(PCWSTR dosPath, std::string& unixDir)
{
    std::string unixPath;
    if (!UnixPathFromDos(dosPath, unixPath))
        return false;
    while (unixPath.size() > 1 && unixPath.back() == '/')
        unixPath.pop_back();
    const std::string parent = FolderOf(unixPath);
    const std::string name = BaseName(unixPath);
    char* resolved = realpath(parent.c_str(), nullptr);
    if (resolved == nullptr)
        return FailErrno(ERROR_PATH_NOT_FOUND);
    unixDir = resolved;
    std::free(resolved);
    if (name.empty() || name == "." || name == "..")
        return Fail(ERROR_INVALID_NAME);
    if (unixDir != "/")
        unixDir += "/";
    unixDir += name;
    return true;
}

uint64_t NowNanoseconds()
{
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

// The folder must exist, be a folder and be empty, and hold no mount of
// ours; a wimlib mount left there by a daemon that is gone is detached.
bool CheckMountFolder(const std::string& unixDir, const std::string& recordFolder)
{
    if (IsWimfsMountPoint(unixDir)) {
        MountRecord record;
        const RecordState state = InspectRecord(RecordPathFor(recordFolder, unixDir), record);
        if (state == RecordState::Served || state == RecordState::Starting)
            return Fail(ERROR_BUSY);
        if (!DetachStaleMount(unixDir))
            return false;
    }
    struct stat status;
    if (stat(unixDir.c_str(), &status) != 0)
        return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
    if (!S_ISDIR(status.st_mode))
        return Fail(ERROR_DIRECTORY);
    DIR* listing = opendir(unixDir.c_str());
    if (listing == nullptr)
        return FailErrno(ERROR_ACCESS_DENIED);
    const bool empty = ListsNothing(listing);
    closedir(listing);
    return empty || Fail(ERROR_DIR_NOT_EMPTY);
}

// The served mount of a DOS mount path: by the path as recorded, without
// regard to case or one trailing backslash, else by the folder it names.
bool FindServedMount(PCWSTR mountPath, MountRecord& found)
{
    std::vector<MountRecord> mounts;
    if (!ServedMounts(mounts))
        return false;
    const WString wanted = WithoutTrailingBackslash(mountPath);
    for (const MountRecord& record : mounts) {
        if (EqualsIgnoringCase(WithoutTrailingBackslash(record.mountPath), wanted)) {
            found = record;
            return true;
        }
    }
    std::string unixDir;
    if (MountFolderPath(mountPath, unixDir)) {
        for (const MountRecord& record : mounts) {
            if (record.unixDir == unixDir) {
                found = record;
                return true;
            }
        }
    }
    return Fail(ERROR_NOT_FOUND);
}

// Says once what became of a mount whose committing process was killed;
// true when its helper kept the changes.
bool TellSettledCommit(const WimFile& file, MountedImage& mount, const WString& mountPath)
{
    const bool kept = mount.settled == "committed";
    const WString text =
        mountPath + WSTR(": the program ended while the changes of this mount were being saved into ") +
        file.callerPath +
        (kept ? WSTR("; the mount's helper finished saving them, and the image is no longer mounted")
              : WSTR("; the mount's helper put the file back as it was before, so the changes are lost, and "
                     "the image is no longer mounted"));
    Deliver(file.progress.wim, WIM_MSG_WARNING, reinterpret_cast<WPARAM>(text.c_str()),
            ERROR_PROCESS_ABORTED);
    DropOutcome(mount.recordPath);
    mount.settled.clear();
    return kept;
}

std::shared_ptr<HandleEntry> LookupMounted(HANDLE image)
{
    std::shared_ptr<HandleEntry> entry = Lookup(image, HandleKind::Image);
    if (entry != nullptr && entry->mount == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return entry;
}

// Lets go of the mount through wimlib, with or without the changes. A
// commit is journalled: on failure the WIM is put back as it was and the
// image stays mounted.
bool Unmount(WimFile& file, MountedImage& mount, bool commit, bool verify)
{
    int flags = 0;
    if (commit)
        flags |= WIMLIB_UNMOUNT_FLAG_COMMIT | (verify ? WIMLIB_UNMOUNT_FLAG_CHECK_INTEGRITY : 0);
    int descriptor = -1;
    InPlaceWrite journal;
    if (commit) {
        descriptor = open(file.unixPath.c_str(), O_RDWR | O_CLOEXEC);
        if (descriptor < 0)
            return FailErrno(ERROR_OPEN_FAILED);
        if (!journal.Begin(file.unixPath, descriptor)) {
            close(descriptor);
            return false;
        }
    }
    file.progress.Begin();
    // The daemon's errno does not come back with its code: this process's
    // own says nothing about the failure.
    const int code = commit
                         ? UnmountTellingProgress(mount.unixDir, flags, file)
                         : wimlib_unmount_image_with_progress(mount.unixDir.c_str(), flags, nullptr, nullptr);
    const bool letGo = code == 0;
    if (!letGo)
        SetLastError(Win32FromWimlib(code, 0));
    bool done = letGo;
    if (commit) {
        journal.NoteWrittenHeader();
        // The written file must open, or the commit did not happen.
        if (done) {
            WIMStruct* written = nullptr;
            done = WimlibSucceeds([&] { return wimlib_open_wim(file.unixPath.c_str(), 0, &written); });
            if (written != nullptr)
                wimlib_free(written);
        }
        if (!done && GetLastError() == ERROR_WRITE_FAULT && OutOfRoomFor(file.unixPath, mount.staging))
            SetLastError(ERROR_DISK_FULL);
        const DWORD error = GetLastError();
        const bool settled = done ? journal.Keep() : journal.Undo();
        // The daemon waits for the journal's lock; one not settled here is
        // settled by the daemon or the next open.
        journal.Release();
        close(descriptor);
        if (!done)
            SetLastError(error);
        done = done && settled;
    }
    // Once wimlib let go, the daemon ends; it waits for the journal to be
    // settled first, so that no one takes it for a killed writer's.
    if (letGo) {
        LastErrorKept error;
        mount.unmounted = true;
        AwaitDaemonEnd(mount.recordPath);
    }
    return done;
}

}  // namespace

BOOL WINAPI LayerMountImageHandle(HANDLE image, PCWSTR mountPath, DWORD flags)
{
    std::shared_ptr<HandleEntry> entry = Lookup(image, HandleKind::Image);
    if (entry == nullptr)
        return FALSE;
    if (entry->mount != nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    const bool readWrite = (flags & WIM_FLAG_MOUNT_READONLY) == 0;
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (readWrite && (!file.Writable() || file.writerLock < 0))
        return Fail(ERROR_ACCESS_DENIED);
    // Works from the file as written: what its handles changed goes there first.
    if (!Current(file) || !WriteKeptChanges(file))
        return FALSE;
    if (entry->index == 0 || entry->index > ImageCountOf(file))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!SetIsWhole(file))
        return FALSE;
    // Its commit would append to the solid file in place; refused before a
    // staging folder or a record exists.
    if (readWrite && IsSolid(file))
        return RefuseSolid(file, "be mounted for writing");

    MountRecord record;
    if (!FullDosPath(mountPath, record.mountPath) || !FullDosPath(file.callerPath.c_str(), record.wimPath))
        return FALSE;
    // The list hands both back in MAX_PATH fields.
    if (record.mountPath.size() >= MAX_PATH || record.wimPath.size() >= MAX_PATH)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    record.index = entry->index;
    record.readWrite = readWrite;
    record.unixWim = file.unixPath;
    record.mountedAt = NowNanoseconds();
    std::string folder;
    if (!MountFolderPath(record.mountPath.c_str(), record.unixDir) || !FuseAvailable() ||
        !EnsureRecordFolder(folder) || !CheckMountFolder(record.unixDir, folder))
        return FALSE;

    if (readWrite) {
        // The changes wait in the caller's temporary folder, else beside the WIM.
        std::string staging = (file.temporaryPath.empty() ? FolderOf(file.unixPath) : file.temporaryPath) +
                              "/" + kStagingPrefix + "XXXXXX";
        if (mkdtemp(staging.data()) == nullptr)
            return FailErrno(ERROR_CANNOT_MAKE);
        record.staging = staging;
    }
    std::string recordPath;
    const int descriptor = CreateRecord(folder, record, recordPath);
    if (descriptor < 0) {
        LastErrorKept error;
        RemoveStaging(record.staging);
        return FALSE;
    }

    HelperResult result;
    std::vector<std::string> arguments = {
        record.unixWim,
        std::to_string(record.index),
        record.unixDir,
        readWrite ? "1" : "0",
        (flags & WIM_FLAG_VERIFY) || (file.flags & WIM_FLAG_VERIFY) ? "1" : "0",
        record.staging.empty() ? "-" : record.staging,
        readWrite ? JournalPathOf(file.unixPath) : "-",
    };
    // The other parts of a split set, which the daemon references as this process does.
    for (const ReferencedFile& reference : file.references)
        arguments.push_back(reference.unixPath);
    bool mounted = RunHelper(arguments, descriptor, readWrite ? file.writerLock : -1, result);
    if (mounted && !result.mounted) {
        mounted = false;
        SetLastError(Win32FromWimlib(result.wimlibCode, result.savedErrno));
    } else if (mounted && !IsWimfsMountPoint(record.unixDir)) {
        mounted = Fail(ERROR_GEN_FAILURE);
    }
    if (!mounted) {
        LastErrorKept error;
        RemoveIfSame(descriptor, recordPath);
        close(descriptor);
        RemoveStaging(record.staging);
        return FALSE;
    }
    // The daemon holds the record's lock from here on (and the WIM's). What
    // an earlier mount of this folder left to say is out of date now.
    close(descriptor);
    DropOutcome(recordPath);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerGetMountedImages(WIM_MOUNT_LIST* list, PDWORD size)
{
    if (size == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::vector<MountRecord> mounts;
    if (!ServedMounts(mounts))
        return FALSE;
    const DWORD needed = static_cast<DWORD>(mounts.size() * sizeof(WIM_MOUNT_LIST));
    const DWORD room = *size;
    *size = needed;
    if (needed > room || (list == nullptr && needed > 0))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < mounts.size(); ++i) {
        WIM_MOUNT_LIST entry = {};
        CopyToBuffer(entry.WimPath, MAX_PATH, mounts[i].wimPath);
        CopyToBuffer(entry.MountPath, MAX_PATH, mounts[i].mountPath);
        entry.ImageIndex = mounts[i].index;
        entry.MountedForRW = mounts[i].readWrite;
        std::memcpy(&list[i], &entry, sizeof entry);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerGetMountedImageHandle(PCWSTR mountPath, DWORD flags, PHANDLE wim, PHANDLE image)
{
    if (mountPath == nullptr || wim == nullptr || image == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    MountRecord record;
    if (!FindServedMount(mountPath, record))
        return FALSE;
    std::string folder;
    if (!EnsureRecordFolder(folder))
        return FALSE;

    // The file as the mount sees it, read only when a call needs it; the
    // daemon holds its writer's lock.
    EnsureWimlib();
    auto file = std::make_shared<WimFile>();
    file->unixPath = record.unixWim;
    file->callerPath = record.wimPath;
    file->access = WIM_GENERIC_READ | WIM_GENERIC_MOUNT;
    file->flags = flags;
    auto mount = std::make_shared<MountedImage>();
    mount->unixDir = record.unixDir;
    mount->recordPath = RecordPathFor(folder, record.unixDir);
    mount->staging = record.staging;
    mount->readWrite = record.readWrite;
    mount->verify = (flags & WIM_FLAG_VERIFY) != 0;
    mount->settled = record.settled;
    mount->unmounted = !record.settled.empty();
    mount->mountPath = record.mountPath;

    auto wimEntry = std::make_shared<HandleEntry>();
    wimEntry->kind = HandleKind::Wim;
    wimEntry->file = file;
    auto imageEntry = std::make_shared<HandleEntry>();
    imageEntry->kind = HandleKind::Image;
    imageEntry->file = file;
    imageEntry->index = record.index;
    imageEntry->mount = mount;
    *wim = AddHandle(wimEntry);
    file->progress.wim = reinterpret_cast<uintptr_t>(*wim);
    *image = AddHandle(imageEntry);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerCommitImageHandle(HANDLE image, DWORD flags, PHANDLE newImage)
{
    std::shared_ptr<HandleEntry> entry = LookupMounted(image);
    if (entry == nullptr)
        return FALSE;
    if (newImage != nullptr)
        *newImage = nullptr;
    // Appending the changes as a new image is not offered.
    if (flags & ~static_cast<DWORD>(WIM_FLAG_VERIFY))
        return Fail(ERROR_INVALID_PARAMETER);
    MountedImage& mount = *entry->mount;
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!mount.settled.empty())
        return TellSettledCommit(file, mount, mount.mountPath) || Fail(ERROR_PROCESS_ABORTED);
    if (mount.unmounted)
        return Fail(ERROR_NOT_FOUND);
    if (!mount.readWrite)
        return Fail(ERROR_ACCESS_DENIED);
    // The file may have been made solid under the mount by another program.
    if (!Current(file) || (IsSolid(file) && !RefuseSolid(file, "take a mounted image's changes")))
        return FALSE;
    if (!Unmount(file, mount, true, mount.verify || (flags & WIM_FLAG_VERIFY) != 0))
        return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerUnmountImageHandle(HANDLE image, DWORD flags)
{
    std::shared_ptr<HandleEntry> entry = LookupMounted(image);
    if (entry == nullptr)
        return FALSE;
    if (flags != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    MountedImage& mount = *entry->mount;
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    // Nothing is left to unmount; what became of the changes is said.
    if (!mount.settled.empty())
        TellSettledCommit(file, mount, mount.mountPath);
    if (!mount.unmounted && !Unmount(file, mount, false, false)) {
        // A mount that went away meanwhile: its record is cleaned up now.
        LastErrorKept error;
        MountRecord record;
        InspectRecord(mount.recordPath, record);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
