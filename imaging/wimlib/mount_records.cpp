// Mount records: one small file per served mount, locked by its daemon for
// as long as the daemon lives, so that a record whose lock can be taken
// belongs to a mount that is gone and is cleaned up as it is found.
#include "imaging/wimlib/mount_records.h"
#include "imaging/wimlib/file_io.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace layer {

namespace {

constexpr char kRecordMagic[] = "corvane-mount 1";
constexpr char kRecordSuffix[] = ".mount";
// Beside a record, what its helper did with a commit whose committing
// process was gone (written by the helper, see mount_helper.cpp).
constexpr char kOutcomeSuffix[] = ".outcome";
constexpr char kOutcomeMagic[] = "corvane-outcome 1";
// How long an unmount waits for the daemon to end after it let go of the
// mount (it removes the staging folder and ends at once).
constexpr DWORD kDaemonEndMilliseconds = 20000;

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

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    if (type == FTW_DP)
        rmdir(path);
    else
        unlink(path);
    return 0;
}

// A record whose lock we now hold: its daemon is gone.
void CleanUpRecord(const std::string& recordPath, int descriptor, const MountRecord& record, bool parsed)
{
    if (parsed) {
        DetachStaleMount(record.unixDir);
        RemoveStaging(record.staging);
    }
    RemoveIfSame(descriptor, recordPath);
    close(descriptor);
}

}  // namespace

std::string Getenv(const char* name)
{
    const char* value = getenv(name);
    return value == nullptr ? std::string() : std::string(value);
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
        return FailErrno(ERROR_PATH_NOT_FOUND);
    if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid())
        return Fail(ERROR_ACCESS_DENIED);
    return true;
}

// One record per mount folder: its name is a hash of the folder's path.
std::string RecordPathFor(const std::string& folder, const std::string& unixDir)
{
    char name[32];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(Fnv1a(unixDir)));
    return folder + "/" + name + kRecordSuffix;
}

// ---------------------------------------------------------------------------
// The kernel's mount table

bool IsWimfsMountPoint(const std::string& unixDir)
{
    const std::vector<std::string> points = WimfsMountPoints();
    return std::find(points.begin(), points.end(), unixDir) != points.end();
}

// ---------------------------------------------------------------------------
// Clean-up of what a mount leaves

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
    return FailErrno(ERROR_BUSY);
}

// Looks at one record: Served while its daemon lives and the folder is
// mounted; Starting while the daemon lives but the mount is not (yet, or no
// longer) there; Gone (and cleaned up) when the daemon has ended.
RecordState InspectRecord(const std::string& recordPath, MountRecord& record)
{
    const int descriptor = open(recordPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return RecordState::Unreadable;
    const bool parsed = ReadRecord(descriptor, record);
    if (TryLock(descriptor) == LockResult::Taken) {
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
        return FailErrno(ERROR_PATH_NOT_FOUND);
    std::vector<std::string> names;
    std::vector<std::string> outcomes;
    auto endsWith = [](const std::string& name, const char* suffix, size_t length) {
        return name.size() > length && name.compare(name.size() - length, std::string::npos, suffix) == 0;
    };
    while (const dirent* item = readdir(listing)) {
        const std::string name = item->d_name;
        if (endsWith(name, kRecordSuffix, sizeof kRecordSuffix - 1))
            names.push_back(name);
        else if (endsWith(name, kOutcomeSuffix, sizeof kOutcomeSuffix - 1))
            outcomes.push_back(name);
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
    // Settled commits: listed once their helper has ended, so that the
    // unmount or discard that follows says what became of them.
    for (const std::string& name : outcomes) {
        const std::string recordPath =
            folder + "/" + name.substr(0, name.size() - (sizeof kOutcomeSuffix - 1));
        MountRecord record;
        std::string bytes;
        if (access(recordPath.c_str(), F_OK) == 0 || !ReadWholeFile(folder + "/" + name, bytes))
            continue;
        const size_t magicEnd = bytes.find('\0');
        const size_t outcomeEnd = magicEnd == std::string::npos ? magicEnd : bytes.find('\0', magicEnd + 1);
        if (outcomeEnd == std::string::npos || bytes.compare(0, magicEnd, kOutcomeMagic) != 0 ||
            !ParseRecord(bytes.substr(outcomeEnd + 1), record)) {
            unlink((folder + "/" + name).c_str());
            continue;
        }
        record.settled = bytes.substr(magicEnd + 1, outcomeEnd - magicEnd - 1);
        mounts.push_back(std::move(record));
    }
    return true;
}

void DropOutcome(const std::string& recordPath)
{
    unlink((recordPath + kOutcomeSuffix).c_str());
}

// The record's file, created and locked for a new mount of `unixDir`.
int CreateRecord(const std::string& folder, const MountRecord& record, std::string& recordPath)
{
    recordPath = RecordPathFor(folder, record.unixDir);
    const int descriptor = open(recordPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        FailErrno(ERROR_CANNOT_MAKE);
        return -1;
    }
    if (TryLock(descriptor) != LockResult::Taken) {
        // Another mount of this folder is served or on its way.
        close(descriptor);
        Fail(ERROR_BUSY);
        return -1;
    }
    const std::string bytes = RecordBytes(record);
    if (ftruncate(descriptor, 0) != 0 ||
        pwrite(descriptor, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        FailErrno(ERROR_WRITE_FAULT);
        RemoveIfSame(descriptor, recordPath);
        close(descriptor);
        return -1;
    }
    return descriptor;
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
    while (TryLock(descriptor) != LockResult::Taken) {
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

}  // namespace layer
