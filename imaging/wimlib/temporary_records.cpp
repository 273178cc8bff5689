// Records of the layer's temporary files, and the clean-up that trusts
// nothing else. A record is a small file in a folder of Corvane's own:
// the path of the temporary file, then its device and inode, each field
// ending with a NUL. It is made under a pending name, locked, written and
// synced, and only then given its record name, so every record the
// clean-up sees is whole and was locked before it could be seen.
#include "imaging/wimlib/temporary_records.h"

#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/mount_records.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace layer {

namespace {

constexpr char kRecordMagic[] = "corvane-temporary 1";
constexpr char kRecordPrefix[] = "temporary-";
constexpr char kPendingPrefix[] = "pending-";
// A pending record names no file yet; one whose writer is gone is dropped
// once it is this old, so that one being made now is never taken.
constexpr time_t kPendingAbandonedAfter = 60;
constexpr size_t kLargestRecord = 65536;

// Kept across reboots, since a record must outlive a power cut as the file
// it names does: one folder per machine for root, else one per user.
std::string RecordFolder()
{
    std::string chosen = Getenv("CORVANE_TEMPORARY_RECORDS");
    if (!chosen.empty())
        return chosen;
    if (geteuid() == 0)
        return "/var/lib/corvane/temporaries";
    const std::string state = Getenv("XDG_STATE_HOME");
    if (!state.empty())
        return state + "/corvane/temporaries";
    const std::string home = Getenv("HOME");
    if (!home.empty())
        return home + "/.local/state/corvane/temporaries";
    return "/tmp/corvane-temporaries-" + std::to_string(geteuid());
}

// Made with its missing parents; it must be a folder of ours, not a link
// another user placed there.
bool EnsureFolder(std::string& folder)
{
    folder = RecordFolder();
    for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1))
        mkdir(folder.substr(0, slash).c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    struct stat status;
    if (lstat(folder.c_str(), &status) != 0)
        return FailErrno(ERROR_PATH_NOT_FOUND);
    if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid())
        return Fail(ERROR_ACCESS_DENIED);
    return true;
}

// Plain syncs, not through the write's sync hook: that one follows the
// files a write makes for the user.
bool SyncPlain(int descriptor)
{
    return fsync(descriptor) == 0 || FailErrno(ERROR_WRITE_FAULT);
}

bool SyncFolderPlain(const std::string& folder)
{
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return FailErrno(ERROR_PATH_NOT_FOUND);
    const bool synced = SyncPlain(descriptor);
    close(descriptor);
    return synced;
}

// Waits for the lock: only a clean-up looking at a pending record can hold
// it, and only for a moment.
bool LockWaiting(int descriptor)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (fcntl(descriptor, F_OFD_SETLKW, &lock) != 0) {
        if (errno != EINTR)
            return FailErrno(ERROR_LOCK_VIOLATION);
    }
    return true;
}

std::string RandomName()
{
    unsigned char bytes[8] = {};
    if (getrandom(bytes, sizeof bytes, 0) != sizeof bytes)
        return {};
    char text[2 * sizeof bytes + 1];
    for (size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

std::string Field(const std::string& text)
{
    return text + std::string(1, '\0');
}

bool ReadRecordBytes(int descriptor, std::string& bytes)
{
    char chunk[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = pread(descriptor, chunk, sizeof chunk, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        bytes.append(chunk, static_cast<size_t>(got));
        offset += got;
        if (bytes.size() > kLargestRecord)
            return false;
    }
}

struct RecordedFile {
    std::string path;
    bool identified = false;  // the writer lived until the file was made
    dev_t device = 0;
    ino_t inode = 0;
    std::string birth;  // nobody holds the file now: its number may pass to a new one
};

bool ParseRecord(const std::string& bytes, RecordedFile& recorded)
{
    std::vector<std::string> fields;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = bytes.find('\0', start);
        if (end == std::string::npos)
            return false;
        fields.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    if ((fields.size() != 2 && fields.size() != 5) || fields[0] != kRecordMagic || fields[1].empty() ||
        fields[1][0] != '/')
        return false;
    recorded.path = fields[1];
    if (fields.size() == 5) {
        recorded.birth = fields[4];
        char* end = nullptr;
        recorded.device = static_cast<dev_t>(std::strtoull(fields[2].c_str(), &end, 10));
        const bool deviceRead = end != fields[2].c_str() && *end == 0;
        recorded.inode = static_cast<ino_t>(std::strtoull(fields[3].c_str(), &end, 10));
        recorded.identified = deviceRead && end != fields[3].c_str() && *end == 0 && !recorded.birth.empty();
    }
    return true;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool IsOld(int descriptor, time_t age)
{
    struct stat status;
    return fstat(descriptor, &status) == 0 && status.st_mtime + age < time(nullptr);
}

// One record whose writer is gone: the file it names goes when it is in
// `folder` and still the file recorded; the record goes with it. A record
// of another folder waits for a write into that one.
void SettleRecord(const std::string& recordPath, int descriptor, const std::string& folder,
                  std::vector<std::string>& removed)
{
    std::string bytes;
    RecordedFile recorded;
    const bool parsed = ReadRecordBytes(descriptor, bytes) && ParseRecord(bytes, recorded);
    if (parsed && FolderOf(recorded.path) != folder)
        return;
    if (parsed && recorded.identified &&
        RemoveIfIdentity(recorded.path, recorded.device, recorded.inode, recorded.birth))
        removed.push_back(recorded.path);
    RemoveIfSame(descriptor, recordPath);
}

}  // namespace

bool TemporaryRecord::Begin(const std::string& path)
{
    Drop();
    std::string folder;
    if (!EnsureFolder(folder))
        return false;
    const std::string random = RandomName();
    if (random.empty())
        return FailErrno(ERROR_GEN_FAILURE);
    const std::string named = folder + "/" + kRecordPrefix + random;
    std::string pending = folder + "/" + kPendingPrefix + "XXXXXX";
    const int descriptor = mkostemp(pending.data(), O_CLOEXEC);
    if (descriptor < 0)
        return FailErrno(ERROR_CANNOT_MAKE);
    const std::string bytes = Field(kRecordMagic) + Field(path);
    const bool made = LockWaiting(descriptor) && WriteAt(descriptor, bytes.data(), bytes.size(), 0) &&
                      SyncPlain(descriptor) &&
                      (renameat2(AT_FDCWD, pending.c_str(), AT_FDCWD, named.c_str(), RENAME_NOREPLACE) == 0 ||
                       FailErrno(ERROR_CANNOT_MAKE)) &&
                      SyncFolderPlain(folder);
    if (!made) {
        const DWORD error = GetLastError();
        RemoveIfSame(descriptor, pending);
        RemoveIfSame(descriptor, named);
        close(descriptor);
        SetLastError(error);
        return false;
    }
    descriptor_ = descriptor;
    recordPath_ = named;
    path_ = path;
    return true;
}

bool TemporaryRecord::NoteFile(int descriptor)
{
    struct stat status;
    if (descriptor_ < 0)
        return Fail(ERROR_INVALID_HANDLE);
    if (fstat(descriptor, &status) != 0)
        return FailErrno(ERROR_READ_FAULT);
    struct stat record;
    if (fstat(descriptor_, &record) != 0)
        return FailErrno(ERROR_READ_FAULT);
    const std::string bytes = Field(std::to_string(status.st_dev)) + Field(std::to_string(status.st_ino)) +
                              Field(BirthOf(descriptor, ""));
    if (!WriteAt(descriptor_, bytes.data(), bytes.size(), static_cast<uint64_t>(record.st_size)) ||
        !SyncPlain(descriptor_))
        return false;
    identified_ = true;
    device_ = status.st_dev;
    inode_ = status.st_ino;
    return true;
}

bool TemporaryRecord::RemoveRecordedAt(const std::string& name) const
{
    return identified_ && RemoveIfIdentity(name, device_, inode_);
}

void TemporaryRecord::Drop()
{
    if (descriptor_ < 0)
        return;
    // Not synced: a record that comes back after a crash names a file that
    // is gone or is another, and so removes nothing.
    RemoveIfSame(descriptor_, recordPath_);
    close(descriptor_);
    descriptor_ = -1;
    identified_ = false;
    recordPath_.clear();
    path_.clear();
}

void TemporaryRecord::RemoveFile(int descriptor)
{
    const DWORD kept = GetLastError();
    RemoveIfSame(descriptor, path_);
    close(descriptor);
    Drop();
    SetLastError(kept);
}

int CreateRecordedFile(TemporaryRecord& record, const std::string& path, int flags, mode_t mode)
{
    if (!record.Begin(path))
        return -1;
    const int descriptor = open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (descriptor < 0) {
        const int error = errno;
        FailErrno(ERROR_CANNOT_MAKE);
        record.Drop();
        errno = error;
        return -1;
    }
    if (!record.NoteFile(descriptor)) {
        const DWORD error = GetLastError();
        RemoveIfSame(descriptor, path);
        close(descriptor);
        record.Drop();
        SetLastError(error);
        return -1;
    }
    return descriptor;
}

bool RemoveIfSame(int descriptor, const std::string& path)
{
    struct stat status;
    return fstat(descriptor, &status) == 0 && RemoveIfIdentity(path, status.st_dev, status.st_ino);
}

std::string BirthOf(int folderOrFile, const char* name)
{
    // The birth time where the file system keeps one, else the change time
    // at making (a rename or write changes it; then nothing is removed).
    struct statx status;
    if (statx(folderOrFile, name, AT_SYMLINK_NOFOLLOW | (name[0] == 0 ? AT_EMPTY_PATH : 0),
              STATX_BTIME | STATX_CTIME, &status) != 0)
        return "?";
    const struct statx_timestamp& time =
        (status.stx_mask & STATX_BTIME) ? status.stx_btime : status.stx_ctime;
    return std::to_string(time.tv_sec) + "." + std::to_string(time.tv_nsec);
}

bool RemoveIfIdentity(const std::string& path, dev_t device, ino_t inode, const std::string& birth)
{
    const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    const std::string name = BaseName(path);
    const bool removed = (birth.empty() || BirthOf(folder, name.c_str()) == birth) &&
                         UnlinkAtIfIdentity(folder, name.c_str(), device, inode, S_IFREG);
    close(folder);
    return removed;
}

bool UnlinkAtIfIdentity(int folder, const char* name, dev_t device, ino_t inode, mode_t type)
{
    struct stat status;
    if (fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || status.st_dev != device ||
        status.st_ino != inode)
        return false;
    const mode_t found = status.st_mode & S_IFMT;
    if (type == 0 ? found == S_IFDIR : found != type)
        return false;
    return unlinkat(folder, name, found == S_IFDIR ? AT_REMOVEDIR : 0) == 0;
}

void RemoveLeftoversIn(const std::string& folder)
{
    std::string records;
    const DWORD kept = GetLastError();
    if (!EnsureFolder(records)) {
        SetLastError(kept);
        return;
    }
    std::vector<std::string> names;
    if (DIR* listing = opendir(records.c_str())) {
        while (const dirent* item = readdir(listing)) {
            const std::string name = item->d_name;
            if (StartsWith(name, kRecordPrefix) || StartsWith(name, kPendingPrefix))
                names.push_back(name);
        }
        closedir(listing);
    }
    std::vector<std::string> removed;
    for (const std::string& name : names) {
        const std::string recordPath = records + "/" + name;
        const int descriptor = open(recordPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor < 0)
            continue;
        // A record whose lock can be taken has no writer any more.
        if (TryLock(descriptor) == LockResult::Taken) {
            if (StartsWith(name, kRecordPrefix))
                SettleRecord(recordPath, descriptor, folder, removed);
            else if (IsOld(descriptor, kPendingAbandonedAfter))
                RemoveIfSame(descriptor, recordPath);
        }
        close(descriptor);
    }
    if (!removed.empty())
        SyncFolderOf(removed.front());
    for (const std::string& path : removed) {
        const WString shown = DosPathFromUnix(path);
        Deliver(0, WIM_MSG_LEFTOVER_REMOVED, reinterpret_cast<WPARAM>(shown.c_str()), 0);
    }
    SetLastError(kept);
}

}  // namespace layer
