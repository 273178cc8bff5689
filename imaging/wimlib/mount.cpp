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
#include "imaging/wimlib/layer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>

#include <thread>

extern char** environ;

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
};

namespace {

constexpr char kHelperName[] = "corvane-mount-helper";
constexpr char kRecordMagic[] = "corvane-mount 1";
constexpr char kRecordSuffix[] = ".mount";
constexpr char kStagingPrefix[] = "corvane-mount-";
// How long an unmount waits for the daemon to end after it let go of the
// mount (it removes the staging folder and ends at once).
constexpr DWORD kDaemonEndMilliseconds = 20000;

// ---------------------------------------------------------------------------
// Records

struct MountRecord {
    WString wimPath;    // full DOS path
    WString mountPath;  // DOS path as the caller gave it, made full
    DWORD index = 0;
    bool readWrite = false;
    std::string unixWim;
    std::string unixDir;  // with its folders resolved, as the kernel's table has it
    std::string staging;  // our folder for a read/write mount's changes, or empty
    uint64_t mountedAt = 0;
};

std::string Getenv(const char* name)
{
    const char* value = getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// The folder of records: one per machine for root, else one per user.
std::string RecordFolder()
{
    std::string chosen = Getenv("CORVANE_MOUNT_RECORDS");
    if (!chosen.empty())
        return chosen;
    if (geteuid() == 0)
        return "/run/corvane/mounts";
    const std::string runtime = Getenv("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        return runtime + "/corvane-mounts";
    return "/tmp/corvane-mounts-" + std::to_string(geteuid());
}

// Makes the folder (and its parent) when missing; it must be a folder of
// ours, not a link another user placed there.
bool EnsureRecordFolder(std::string& folder)
{
    folder = RecordFolder();
    const size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0)
        mkdir(folder.substr(0, slash).c_str(), 0755);
    mkdir(folder.c_str(), 0700);
    struct stat status;
    if (lstat(folder.c_str(), &status) != 0)
        return Fail(Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
    if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid())
        return Fail(ERROR_ACCESS_DENIED);
    return true;
}

// One record per mount folder: its name is a hash of the folder's path.
std::string RecordPathFor(const std::string& folder, const std::string& unixDir)
{
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : unixDir) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    return folder + "/" + name + kRecordSuffix;
}

// Fields end with a NUL each, so any path can be held.
std::string RecordBytes(const MountRecord& record)
{
    const std::string fields[] = {kRecordMagic,
                                  Utf8FromWide(record.wimPath),
                                  Utf8FromWide(record.mountPath),
                                  std::to_string(record.index),
                                  record.readWrite ? "1" : "0",
                                  record.unixWim,
                                  record.unixDir,
                                  record.staging,
                                  std::to_string(record.mountedAt)};
    std::string bytes;
    for (const std::string& field : fields) {
        bytes += field;
        bytes.push_back('\0');
    }
    return bytes;
}

bool ParseRecord(const std::string& bytes, MountRecord& record)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find('\0', start);
        if (end == std::string::npos)
            return false;
        fields.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    if (fields.size() != 9 || fields[0] != kRecordMagic)
        return false;
    record.wimPath = WideFromUtf8(fields[1]);
    record.mountPath = WideFromUtf8(fields[2]);
    record.index = static_cast<DWORD>(std::strtoul(fields[3].c_str(), nullptr, 10));
    record.readWrite = fields[4] == "1";
    record.unixWim = fields[5];
    record.unixDir = fields[6];
    record.staging = fields[7];
    record.mountedAt = std::strtoull(fields[8].c_str(), nullptr, 10);
    return record.index != 0 && !record.unixDir.empty() && record.mountPath.size() < MAX_PATH &&
           record.wimPath.size() < MAX_PATH;
}

bool ReadRecord(int descriptor, MountRecord& record)
{
    std::string bytes;
    char chunk[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = pread(descriptor, chunk, sizeof chunk, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0 && ParseRecord(bytes, record);
        bytes.append(chunk, static_cast<size_t>(got));
        offset += got;
        if (bytes.size() > 65536)
            return false;
    }
}

// The record's lock: held by the daemon while the mount is served.
bool TryRecordLock(int descriptor)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(descriptor, F_OFD_SETLK, &lock) == 0;
}

// ---------------------------------------------------------------------------
// The kernel's mount table

// The table writes a space, tab, line feed or backslash in a path as a
// backslash and three octal digits.
std::string UnescapeMountField(const std::string& field)
{
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        const bool escaped =
            field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + static_cast<long>(i) + 1, field.begin() + static_cast<long>(i) + 4,
                        [](char c) { return c >= '0' && c <= '7'; });
        if (escaped) {
            text.push_back(static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8)));
            i += 3;
        } else {
            text.push_back(field[i]);
        }
    }
    return text;
}

// The folders on which a wimlib file system is mounted. Read from the table
// alone, never from the folders: a mount whose daemon was killed answers
// every look at it with an error, and one whose daemon is stopped never.
std::vector<std::string> WimfsMountPoints()
{
    std::vector<std::string> points;
    FILE* table = std::fopen("/proc/self/mountinfo", "re");
    if (table == nullptr)
        return points;
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, table) > 0) {
        // id parent major:minor root mount-point options [optional...] - type source ...
        std::vector<std::string> fields;
        char* rest = nullptr;
        for (char* token = strtok_r(line, " \n", &rest); token != nullptr;
             token = strtok_r(nullptr, " \n", &rest))
            fields.emplace_back(token);
        auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || dash + 1 == fields.end())
            continue;
        if (*(dash + 1) == "fuse.wimfs")
            points.push_back(UnescapeMountField(fields[4]));
    }
    std::free(line);
    std::fclose(table);
    return points;
}

bool IsWimfsMountPoint(const std::string& unixDir)
{
    const std::vector<std::string> points = WimfsMountPoints();
    return std::find(points.begin(), points.end(), unixDir) != points.end();
}

// ---------------------------------------------------------------------------
// Clean-up of what a mount leaves

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    if (type == FTW_DP)
        rmdir(path);
    else
        unlink(path);
    return 0;
}

// Our staging folder of a mount that is gone, with what wimlib left in it.
void RemoveStaging(const std::string& staging)
{
    const size_t slash = staging.rfind('/');
    if (staging.empty() || slash == std::string::npos ||
        staging.compare(slash + 1, sizeof kStagingPrefix - 1, kStagingPrefix) != 0)
        return;
    nftw(staging.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

// Detaches a mount whose daemon is gone: the folder then shows what it held
// before. Lazy, so that even a process still in the folder does not stop it.
bool DetachStaleMount(const std::string& unixDir)
{
    if (!IsWimfsMountPoint(unixDir))
        return true;
    if (umount2(unixDir.c_str(), MNT_DETACH) == 0)
        return true;
    return Fail(Win32FromErrno(errno, ERROR_BUSY));
}

// A record whose lock we now hold: its daemon is gone.
void CleanUpRecord(const std::string& recordPath, int descriptor, const MountRecord& record, bool parsed)
{
    if (parsed) {
        DetachStaleMount(record.unixDir);
        RemoveStaging(record.staging);
    }
    unlink(recordPath.c_str());
    close(descriptor);
}

enum class RecordState { Served, Starting, Gone, Unreadable };

// Looks at one record: Served while its daemon lives and the folder is
// mounted; Starting while the daemon lives but the mount is not (yet, or no
// longer) there; Gone (and cleaned up) when the daemon has ended.
RecordState InspectRecord(const std::string& recordPath, MountRecord& record)
{
    const int descriptor = open(recordPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return RecordState::Unreadable;
    const bool parsed = ReadRecord(descriptor, record);
    if (TryRecordLock(descriptor)) {
        CleanUpRecord(recordPath, descriptor, record, parsed);
        return RecordState::Gone;
    }
    close(descriptor);
    if (!parsed)
        return RecordState::Unreadable;
    return IsWimfsMountPoint(record.unixDir) ? RecordState::Served : RecordState::Starting;
}

// Every mount that is served now, oldest first.
bool ServedMounts(std::vector<MountRecord>& mounts)
{
    std::string folder;
    if (!EnsureRecordFolder(folder))
        return false;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return Fail(Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
    std::vector<std::string> names;
    while (const dirent* item = readdir(listing)) {
        const std::string name = item->d_name;
        if (name.size() > sizeof kRecordSuffix - 1 &&
            name.compare(name.size() - (sizeof kRecordSuffix - 1), std::string::npos, kRecordSuffix) == 0)
            names.push_back(name);
    }
    closedir(listing);
    for (const std::string& name : names) {
        MountRecord record;
        if (InspectRecord(folder + "/" + name, record) == RecordState::Served)
            mounts.push_back(std::move(record));
    }
    std::sort(mounts.begin(), mounts.end(), [](const MountRecord& a, const MountRecord& b) {
        return a.mountedAt != b.mountedAt ? a.mountedAt < b.mountedAt : a.unixDir < b.unixDir;
    });
    return true;
}

// ---------------------------------------------------------------------------
// Paths

// A DOS path made full (a trailing backslash stays), or empty with the last
// error set.
WString FullDosPath(PCWSTR path)
{
    if (path == nullptr || path[0] == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return WString();
    }
    WCHAR full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (length == 0)
        return WString();
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return WString();
    }
    return WString(full, length);
}

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
    const std::string name = unixPath.substr(unixPath.rfind('/') + 1);
    char* resolved = realpath(parent.c_str(), nullptr);
    if (resolved == nullptr)
        return Fail(Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
    unixDir = resolved;
    std::free(resolved);
    if (name.empty() || name == "." || name == "..")
        return Fail(ERROR_INVALID_NAME);
    if (unixDir != "/")
        unixDir += "/";
    unixDir += name;
    return true;
}

// ---------------------------------------------------------------------------
// The helper

// Beside the module that holds this code: the program, the tests or a tool.
std::string HelperPath()
{
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&LayerMountImageHandle), &info) == 0 || info.dli_fname == nullptr)
        return kHelperName;
    char* resolved = realpath(info.dli_fname, nullptr);
    std::string module = resolved != nullptr ? resolved : info.dli_fname;
    std::free(resolved);
    return FolderOf(module) + "/" + kHelperName;
}

// FUSE needs its device, and the right to open it.
bool FuseAvailable()
{
    std::string device = Getenv("CORVANE_FUSE_DEVICE");
    if (device.empty())
        device = "/dev/fuse";
    const int descriptor = open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor >= 0) {
        close(descriptor);
        return true;
    }
    if (errno == ENOENT || errno == ENODEV || errno == ENXIO)
        return Fail(ERROR_DEV_NOT_EXIST);
    return Fail(Win32FromErrno(errno, ERROR_ACCESS_DENIED));
}

// A descriptor moved out of the way of the helper's fixed numbers.
int HighDescriptor(int descriptor)
{
    return fcntl(descriptor, F_DUPFD_CLOEXEC, 10);
}

struct HelperResult {
    bool mounted = false;
    int wimlibCode = 0;
    int savedErrno = 0;
};

// Starts the helper and waits for its first process, which ends once the
// mount is in place or has failed. The pipe's far end is closed in the
// daemon, so the read below ends with that first process.
bool RunHelper(const std::vector<std::string>& arguments, int record, int writerLock, HelperResult& result)
{
    const std::string helper = HelperPath();
    if (access(helper.c_str(), X_OK) != 0)
        return Fail(ERROR_MOD_NOT_FOUND);
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
        return Fail(Win32FromErrno(errno, ERROR_GEN_FAILURE));
    const int statusOut = HighDescriptor(status[1]);
    const int recordOut = HighDescriptor(record);
    int lockOut = -1;
    if (writerLock >= 0) {
        lockOut = HighDescriptor(writerLock);
    } else {
        const int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
        lockOut = none >= 0 ? HighDescriptor(none) : -1;
        if (none >= 0)
            close(none);
    }
    close(status[1]);
    if (statusOut < 0 || recordOut < 0 || lockOut < 0) {
        const DWORD error = Win32FromErrno(errno, ERROR_TOO_MANY_OPEN_FILES);
        for (int descriptor : {status[0], statusOut, recordOut, lockOut}) {
            if (descriptor >= 0)
                close(descriptor);
        }
        return Fail(error);
    }

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(helper.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, statusOut, 3);
    posix_spawn_file_actions_adddup2(&actions, recordOut, 4);
    posix_spawn_file_actions_adddup2(&actions, lockOut, 5);
    // Wine's signal mask and handlers are not the daemon's business.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t child = 0;
    const int spawned = posix_spawn(&child, helper.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(statusOut);
    close(recordOut);
    close(lockOut);
    if (spawned != 0) {
        close(status[0]);
        return Fail(Win32FromErrno(spawned, ERROR_MOD_NOT_FOUND));
    }

    std::string report;
    char chunk[256];
    for (;;) {
        const ssize_t got = read(status[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        report.append(chunk, static_cast<size_t>(got));
    }
    close(status[0]);
    int exitStatus = 0;
    while (waitpid(child, &exitStatus, 0) < 0 && errno == EINTR) {
    }
    if (std::sscanf(report.c_str(), "%d %d", &result.wimlibCode, &result.savedErrno) == 2)
        return true;
    result.mounted = WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0;
    if (!result.mounted)
        result.wimlibCode = WIMLIB_ERR_FUSE;
    return true;
}

// Waits until the daemon of a mount that was let go has ended, then drops
// its record. A daemon that does not end in time keeps its record, which
// the list skips while the folder is not mounted and removes once it ends.
void AwaitDaemonEnd(const std::string& recordPath)
{
    const int descriptor = open(recordPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return;
    const DWORD start = GetTickCount();
    while (!TryRecordLock(descriptor)) {
        if (GetTickCount() - start > kDaemonEndMilliseconds) {
            close(descriptor);
            return;
        }
        Sleep(1);
    }
    MountRecord record;
    const bool parsed = ReadRecord(descriptor, record);
    CleanUpRecord(recordPath, descriptor, record, parsed);
}

uint64_t NowNanoseconds()
{
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

// The record's file, created and locked for a new mount of `unixDir`.
int CreateRecord(const std::string& folder, const MountRecord& record, std::string& recordPath)
{
    recordPath = RecordPathFor(folder, record.unixDir);
    const int descriptor = open(recordPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        Fail(Win32FromErrno(errno, ERROR_CANNOT_MAKE));
        return -1;
    }
    if (!TryRecordLock(descriptor)) {
        // Another mount of this folder is served or on its way.
        close(descriptor);
        Fail(ERROR_BUSY);
        return -1;
    }
    const std::string bytes = RecordBytes(record);
    if (ftruncate(descriptor, 0) != 0 ||
        pwrite(descriptor, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        Fail(Win32FromErrno(errno, ERROR_WRITE_FAULT));
        unlink(recordPath.c_str());
        close(descriptor);
        return -1;
    }
    return descriptor;
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
        return Fail(Win32FromErrno(errno, ERROR_ACCESS_DENIED));
    bool empty = true;
    while (const dirent* item = readdir(listing)) {
        if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
            empty = false;
    }
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
    auto trimmed = [](WString path) {
        if (!path.empty() && path.back() == '\\')
            path.pop_back();
        return path;
    };
    const WString wanted = trimmed(mountPath);
    for (const MountRecord& record : mounts) {
        const WString listed = trimmed(record.mountPath);
        if (CompareStringOrdinal(listed.c_str(), static_cast<int>(listed.size()), wanted.c_str(),
                                 static_cast<int>(wanted.size()), TRUE) == CSTR_EQUAL) {
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

std::shared_ptr<HandleEntry> LookupMounted(HANDLE image)
{
    std::shared_ptr<HandleEntry> entry = Lookup(image, HandleKind::Image);
    if (entry != nullptr && entry->mount == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return entry;
}

thread_local uint64_t treeBytes = 0;

int AddFileBytes(const char*, const struct stat* status, int type, struct FTW*)
{
    if (type == FTW_F)
        treeBytes += static_cast<uint64_t>(status->st_size);
    return 0;
}

// wimlib's daemon reports a failed write without its cause. The usual one
// is a full disk: said so when the WIM's file system has less room left
// than the changes waiting to be written take.
bool OutOfRoomFor(const std::string& unixWim, const std::string& staging)
{
    struct statvfs room = {};
    if (staging.empty() || statvfs(FolderOf(unixWim).c_str(), &room) != 0)
        return false;
    treeBytes = 0;
    nftw(staging.c_str(), AddFileBytes, 16, FTW_PHYS);
    return static_cast<uint64_t>(room.f_bavail) * room.f_frsize < treeBytes;
}

// wimlib reports a commit's progress from a thread of its own, which is no
// Wine thread and must not call into Windows: it only notes the figures and
// wakes the caller's thread, which tells the callbacks.
struct CommitProgress {
    std::mutex lock;
    uint64_t done = 0;
    uint64_t total = 0;
    bool noted = false;
    bool finished = false;
    int wake = -1;  // the pipe's writing end
};

enum wimlib_progress_status NoteCommitProgress(enum wimlib_progress_msg message,
                                               union wimlib_progress_info* info, void* context)
{
    auto* progress = static_cast<CommitProgress*>(context);
    if (message == WIMLIB_PROGRESS_MSG_WRITE_STREAMS) {
        std::lock_guard<std::mutex> guard(progress->lock);
        progress->done = info->write_streams.completed_bytes;
        progress->total = info->write_streams.total_bytes;
        progress->noted = true;
        const char wake = 1;
        if (write(progress->wake, &wake, 1) < 0)
            errno = 0;  // a full pipe already wakes the caller
    }
    return WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// wimlib_unmount_image_with_progress for a commit, its progress told to the
// callbacks of `file` from this thread.
int UnmountTellingProgress(const std::string& unixDir, int flags, WimFile& file)
{
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return wimlib_unmount_image_with_progress(unixDir.c_str(), flags, nullptr, nullptr);
    CommitProgress progress;
    progress.wake = wake[1];
    int code = 0;
    std::thread unmounting([&] {
        code = wimlib_unmount_image_with_progress(unixDir.c_str(), flags, NoteCommitProgress, &progress);
        std::lock_guard<std::mutex> guard(progress.lock);
        progress.finished = true;
        const char wakeUp = 0;
        if (write(progress.wake, &wakeUp, 1) < 0)
            errno = 0;
    });
    for (bool finished = false; !finished;) {
        struct pollfd readable = {wake[0], POLLIN, 0};
        poll(&readable, 1, 1000);
        char drained[64];
        while (read(wake[0], drained, sizeof drained) > 0) {
        }
        uint64_t done = 0;
        uint64_t total = 0;
        bool noted = false;
        {
            std::lock_guard<std::mutex> guard(progress.lock);
            finished = progress.finished;
            noted = progress.noted;
            progress.noted = false;
            done = progress.done;
            total = progress.total;
        }
        if (noted) {
            const WPARAM percent = total == 0 ? 100 : static_cast<WPARAM>(done * 100 / total);
            const uint64_t elapsed = GetTickCount() - file.progress.startTick;
            const LPARAM remaining = done == 0 ? 0 : static_cast<LPARAM>(elapsed * (total - done) / done);
            Deliver(file.progress.wim, WIM_MSG_PROGRESS, percent, remaining);
        }
    }
    unmounting.join();
    close(wake[0]);
    close(wake[1]);
    return code;
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
            return Fail(Win32FromErrno(errno, ERROR_OPEN_FAILED));
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
        close(descriptor);
        if (!done)
            SetLastError(error);
        done = done && settled;
    }
    // Once wimlib let go, the daemon ends; it waits for the journal to be
    // settled first, so that no one takes it for a killed writer's.
    if (letGo) {
        const DWORD error = GetLastError();
        mount.unmounted = true;
        AwaitDaemonEnd(mount.recordPath);
        SetLastError(error);
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
    if (!Current(file))
        return FALSE;
    if (entry->index == 0 || entry->index > ImageCountOf(file))
        return Fail(ERROR_INVALID_PARAMETER);

    MountRecord record;
    record.mountPath = FullDosPath(mountPath);
    record.wimPath = FullDosPath(file.callerPath.c_str());
    if (record.mountPath.empty() || record.wimPath.empty())
        return FALSE;
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
            return Fail(Win32FromErrno(errno, ERROR_CANNOT_MAKE));
        record.staging = staging;
    }
    std::string recordPath;
    const int descriptor = CreateRecord(folder, record, recordPath);
    if (descriptor < 0) {
        const DWORD error = GetLastError();
        RemoveStaging(record.staging);
        SetLastError(error);
        return FALSE;
    }

    HelperResult result;
    const std::vector<std::string> arguments = {
        record.unixWim,
        std::to_string(record.index),
        record.unixDir,
        readWrite ? "1" : "0",
        (flags & WIM_FLAG_VERIFY) || (file.flags & WIM_FLAG_VERIFY) ? "1" : "0",
        record.staging.empty() ? "-" : record.staging,
        readWrite ? JournalPathOf(file.unixPath) : "-"};
    bool mounted = RunHelper(arguments, descriptor, readWrite ? file.writerLock : -1, result);
    if (mounted && !result.mounted) {
        mounted = false;
        SetLastError(Win32FromWimlib(result.wimlibCode, result.savedErrno));
    } else if (mounted && !IsWimfsMountPoint(record.unixDir)) {
        mounted = Fail(ERROR_GEN_FAILURE);
    }
    if (!mounted) {
        const DWORD error = GetLastError();
        unlink(recordPath.c_str());
        close(descriptor);
        RemoveStaging(record.staging);
        SetLastError(error);
        return FALSE;
    }
    // The daemon holds the record's lock from here on (and the WIM's).
    close(descriptor);
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
    if (mount.unmounted)
        return Fail(ERROR_NOT_FOUND);
    if (!mount.readWrite)
        return Fail(ERROR_ACCESS_DENIED);
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
    if (!mount.unmounted && !Unmount(file, mount, false, false)) {
        // A mount that went away meanwhile: its record is cleaned up now.
        const DWORD error = GetLastError();
        MountRecord record;
        InspectRecord(mount.recordPath, record);
        SetLastError(error);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
