// corvane-mount-helper: mounts one WIM image with wimlib's FUSE file system
// for the wimlib layer of the linux build.
//
// FUSE makes the process that mounts into the file system's daemon: it
// forks, and the parent ends once the mount is in place. That must not
// happen to the program's own (Wine) process, so the layer starts this small
// Unix program for each mount instead. Its first process ends when the mount
// is ready or has failed; the daemon it leaves behind serves the mount until
// it is unmounted, whether or not the program is still running.
//
//   corvane-mount-helper WIM INDEX DIR READWRITE CHECK STAGING JOURNAL [PART...]
//
// READWRITE and CHECK are 0 or 1; STAGING is the folder for a read/write
// mount's changes, JOURNAL the layer's journal beside the WIM ("-" for none);
// the PARTs are the files the WIM references, the other parts of its split set.
// The layer passes three descriptors:
//   3  a pipe: on failure the helper writes "wimlib-code errno" before it
//      ends; the daemon closes its copy, so the reader sees the end of the
//      pipe as soon as the first process has ended.
//   4  the mount's record, which the layer has locked: the daemon keeps the
//      descriptor, so the lock shows that the mount is served for exactly as
//      long as the daemon lives, and goes away by itself when it is killed.
//   5  the WIM's writer's lock for a read/write mount (else /dev/null), held
//      by the daemon for the same reason: no other write reaches the WIM
//      while it is mounted for writing.
//
// A commit is wimlib's in-place write, made by the daemon while the layer
// keeps a journal of it, locked for as long as the committing process
// settles it. After the unmount the daemon waits for that lock, keeping
// the writer's lock meanwhile so that no one else takes the journal for a
// leftover. Once the committing process has let go, a journal still there
// means it is gone (killed) before it could settle the commit: the daemon
// settles it at once. A written file that wimlib opens is kept (the commit
// stands), anything else is put back from the journal; what was done is
// written beside the mount's record ("<record>.outcome"), so that the next
// list and unmount of the layer can say it.
#pragma push_macro("_WIN32")
#undef _WIN32
#include <wimlib.h>
#pragma pop_macro("_WIN32")

#include "imaging/stack_size.h"
#include "imaging/wimlib/journal_format.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kStatusDescriptor = 3;
constexpr int kRecordDescriptor = 4;
constexpr int kLastPassedDescriptor = 5;

// The daemon and any other child forked inside wimlib: only the first
// process reports, so the layer's read ends when that process does.
void CloseStatusInChild()
{
    close(kStatusDescriptor);
}

int Report(int code, int savedErrno)
{
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%d %d\n", code, savedErrno);
    if (write(kStatusDescriptor, line, static_cast<size_t>(length)) != length)
        return 2;
    return 1;
}

// The daemon reads and serves the image on this process's main thread, whose
// stack the soft limit sizes when the program starts. Below what wimlib's
// tree depth assumes, the limit is raised and the helper starts itself again
// (the passed descriptors stay open); a hard limit below it is taken as is.
void RaiseStackLimit(char** argv)
{
    struct rlimit stack = {};
    if (getrlimit(RLIMIT_STACK, &stack) != 0 || stack.rlim_cur == RLIM_INFINITY ||
        stack.rlim_cur >= kImagingStackBytes)
        return;
    const rlim_t wanted = stack.rlim_max == RLIM_INFINITY || stack.rlim_max > kImagingStackBytes
                              ? static_cast<rlim_t>(kImagingStackBytes)
                              : stack.rlim_max;
    if (wanted <= stack.rlim_cur)
        return;
    stack.rlim_cur = wanted;
    if (setrlimit(RLIMIT_STACK, &stack) == 0)
        execv("/proc/self/exe", argv);
}

bool ParseNumber(const char* text, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || parsed < 0 || parsed > 0x7fffffff)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

bool ReadAll(int descriptor, std::string& bytes)
{
    char chunk[65536];
    ssize_t got;
    while ((got = read(descriptor, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, static_cast<size_t>(got));
    return got == 0;
}

// Removes the name only while it still holds the file open on `descriptor`:
// what another program put there since stays.
void UnlinkIfSame(int descriptor, const char* path)
{
    struct stat held;
    struct stat named;
    if (fstat(descriptor, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
        unlink(path);
}

void SyncFolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const int folder = open(slash == std::string::npos ? "." : path.substr(0, slash).c_str(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
}

// What became of a commit whose committing process is gone, beside the
// record: the outcome, then the record's own bytes.
void WriteOutcome(const char* outcome)
{
    char recordPath[4096] = {};
    if (readlink("/proc/self/fd/4", recordPath, sizeof recordPath - 1) <= 0)
        return;
    std::string bytes = std::string("corvane-outcome 1") + '\0' + outcome + '\0';
    char chunk[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = pread(kRecordDescriptor, chunk, sizeof chunk, offset);
        if (got <= 0)
            break;
        bytes.append(chunk, static_cast<size_t>(got));
        offset += got;
    }
    const std::string path = std::string(recordPath) + ".outcome";
    const std::string temporary = path + ".new";
    const int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0)
        return;
    const bool written = journal::WriteFully(out, bytes.data(), bytes.size(), 0) && fsync(out) == 0;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0)
        UnlinkIfSame(out, temporary.c_str());
    close(out);
}

// The committing process left the journal unsettled: keep a commit that
// wimlib completed, else put the file back. The daemon holds the WIM's
// writer's lock, so nothing else has touched the file since.
void SettleCommit(const char* wimPath, const char* journalPath)
{
    std::string bytes;
    journal::Record record;
    const int held = open(journalPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (held < 0)
        return;
    if (!ReadAll(held, bytes)) {
        close(held);
        return;
    }
    const journal::Parse parsed = journal::Decode(bytes, record);
    const int wim = open(wimPath, O_RDWR | O_CLOEXEC);
    if (parsed != journal::Parse::Valid || wim < 0 || !journal::Matches(wim, record)) {
        // Never complete, or not about this file: nothing to put back.
        if (parsed != journal::Parse::Foreign)
            UnlinkIfSame(held, journalPath);
        if (wim >= 0)
            close(wim);
        close(held);
        return;
    }
    const std::string header = journal::CurrentHeader(wim);
    bool keep = !header.empty() && !journal::IsSavedHeader(header, record);
    if (keep) {
        WIMStruct* written = nullptr;
        keep = wimlib_open_wim(wimPath, 0, &written) == 0;
        if (written != nullptr)
            wimlib_free(written);
    }
    const bool settled = keep ? fsync(wim) == 0 : journal::PutBack(wim, record, fsync);
    close(wim);
    if (settled)
        UnlinkIfSame(held, journalPath);
    close(held);
    if (!settled)
        return;  // the journal stays for the next open
    SyncFolderOf(journalPath);
    WriteOutcome(keep ? "committed" : "rolled-back");
}

// Waits until the process that committed has settled the journal or is
// gone, and settles it in the latter case.
void AwaitCommitSettled(const char* wimPath, const char* journalPath)
{
    const int descriptor = open(journalPath, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return;  // an unmount without commit, or settled already
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (fcntl(descriptor, F_OFD_SETLKW, &lock) != 0 && errno == EINTR) {
    }
    struct stat status;
    if (fstat(descriptor, &status) == 0 && status.st_nlink > 0)
        SettleCommit(wimPath, journalPath);
    close(descriptor);
}

}  // namespace

int main(int argc, char** argv)
{
    RaiseStackLimit(argv);
    // Nothing of the starting program's own stays open in the daemon (Wine's
    // server connection would otherwise outlive the program).
    close_range(kLastPassedDescriptor + 1, ~0U, 0);

    int index = 0;
    int readWrite = 0;
    int check = 0;
    if (argc < 8 || !ParseNumber(argv[2], index) || !ParseNumber(argv[4], readWrite) ||
        !ParseNumber(argv[5], check))
        return Report(WIMLIB_ERR_INVALID_PARAM, 0);
    const char* wimPath = argv[1];
    const char* mountDir = argv[3];
    const char* staging = std::strcmp(argv[6], "-") == 0 ? nullptr : argv[6];
    const char* journal = std::strcmp(argv[7], "-") == 0 ? nullptr : argv[7];

    if (pthread_atfork(nullptr, nullptr, CloseStatusInChild) != 0)
        return Report(WIMLIB_ERR_NOMEM, errno);
    int code = wimlib_global_init(0);
    if (code != 0)
        return Report(code, errno);

    int openFlags = check ? WIMLIB_OPEN_FLAG_CHECK_INTEGRITY : 0;
    if (readWrite)
        openFlags |= WIMLIB_OPEN_FLAG_WRITE_ACCESS;
    WIMStruct* wim = nullptr;
    errno = 0;
    code = wimlib_open_wim(wimPath, openFlags, &wim);
    if (code != 0)
        return Report(code, errno);
    if (argc > 8) {
        errno = 0;
        code = wimlib_reference_resource_files(wim, argv + 8, static_cast<unsigned>(argc - 8), 0,
                                               openFlags & WIMLIB_OPEN_FLAG_CHECK_INTEGRITY);
        if (code != 0) {
            const int savedErrno = errno;
            wimlib_free(wim);
            return Report(code, savedErrno);
        }
    }

    // wimlib mounts an image whose files' data is missing, and a root it
    // cannot describe then makes the mount impossible to find and unmount:
    // such an image is refused here, as an apply refuses it.
    errno = 0;
    code = wimlib_iterate_dir_tree(
        wim, index, WIMLIB_WIM_ROOT_PATH,
        WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE | WIMLIB_ITERATE_DIR_TREE_FLAG_RESOURCES_NEEDED,
        [](const wimlib_dir_entry*, void*) { return 0; }, nullptr);
    if (code != 0) {
        const int savedErrno = errno;
        wimlib_free(wim);
        return Report(code, savedErrno);
    }

    // Returns in this process only when the mount failed; once it is in
    // place this process ends inside FUSE, and the daemon returns here after
    // the unmount.
    errno = 0;
    code = wimlib_mount_image(wim, index, mountDir, readWrite ? WIMLIB_MOUNT_FLAG_READWRITE : 0, staging);
    const int savedErrno = errno;
    wimlib_free(wim);
    if (code != 0)
        return Report(code, savedErrno);
    // wimlib removed its own staging folder inside ours.
    if (staging != nullptr)
        rmdir(staging);
    if (journal != nullptr)
        AwaitCommitSettled(wimPath, journal);
    return 0;
}
