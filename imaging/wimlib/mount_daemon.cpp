// The helper process that mounts: FUSE turns the process that mounts into
// the file system's daemon, so a mount runs in corvane-mount-helper, which
// reports through a pipe and leaves the daemon behind.
#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/mount_records.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace layer {

namespace {

constexpr char kHelperName[] = "corvane-mount-helper";

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

// A descriptor moved out of the way of the helper's fixed numbers.
int HighDescriptor(int descriptor)
{
    return fcntl(descriptor, F_DUPFD_CLOEXEC, 10);
}

}  // namespace

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
    return FailErrno(ERROR_ACCESS_DENIED);
}

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
        return FailErrno(ERROR_GEN_FAILURE);
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

}  // namespace layer
