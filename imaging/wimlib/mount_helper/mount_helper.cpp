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
//   corvane-mount-helper WIM INDEX DIR READWRITE CHECK STAGING JOURNAL
//
// READWRITE and CHECK are 0 or 1; STAGING is the folder for a read/write
// mount's changes, JOURNAL the layer's journal beside the WIM ("-" for none).
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
// keeps a journal of it. The daemon keeps the writer's lock until that
// journal is gone: while the lock is held no one else takes the journal for
// a leftover of a killed writer and rolls a finished commit back.
#pragma push_macro("_WIN32")
#undef _WIN32
#include <wimlib.h>
#pragma pop_macro("_WIN32")

#include "../../stack_size.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kStatusDescriptor = 3;
constexpr int kLastPassedDescriptor = 5;
// How long the daemon waits for the layer to settle a commit's journal.
constexpr int kJournalWaitMilliseconds = 30000;

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
    if (argc != 8 || !ParseNumber(argv[2], index) || !ParseNumber(argv[4], readWrite) ||
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
    for (int waited = 0;
         journal != nullptr && access(journal, F_OK) == 0 && waited < kJournalWaitMilliseconds; waited += 5)
        usleep(5000);
    return 0;
}
