#include "imaging/wimlib/mount_commit.h"

#include "imaging/imaging_thread.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <mutex>

namespace layer {

namespace {

thread_local uint64_t treeBytes = 0;

int AddFileBytes(const char*, const struct stat* status, int type, struct FTW*)
{
    if (type == FTW_F)
        treeBytes += static_cast<uint64_t>(status->st_size);
    return 0;
}

}  // namespace

bool OutOfRoomFor(const std::string& unixWim, const std::string& staging)
{
    struct statvfs room = {};
    if (staging.empty() || statvfs(FolderOf(unixWim).c_str(), &room) != 0)
        return false;
    treeBytes = 0;
    nftw(staging.c_str(), AddFileBytes, 16, FTW_PHYS);
    return static_cast<uint64_t>(room.f_bavail) * room.f_frsize < treeBytes;
}

namespace {

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

}  // namespace

int UnmountTellingProgress(const std::string& unixDir, int flags, WimFile& file)
{
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return wimlib_unmount_image_with_progress(unixDir.c_str(), flags, nullptr, nullptr);
    CommitProgress progress;
    progress.wake = wake[1];
    int code = 0;
    HANDLE unmounting = StartImagingThread([&] {
        code = wimlib_unmount_image_with_progress(unixDir.c_str(), flags, NoteCommitProgress, &progress);
        std::lock_guard<std::mutex> guard(progress.lock);
        progress.finished = true;
        const char wakeUp = 0;
        if (write(progress.wake, &wakeUp, 1) < 0)
            errno = 0;
    });
    if (unmounting == nullptr) {
        close(wake[0]);
        close(wake[1]);
        return wimlib_unmount_image_with_progress(unixDir.c_str(), flags, nullptr, nullptr);
    }
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
            const ProgressFigures figures = EstimateProgress(done, total, file.progress.startTick);
            Deliver(file.progress.wim, WIM_MSG_PROGRESS, figures.percent, figures.remaining);
        }
    }
    WaitForSingleObject(unmounting, INFINITE);
    CloseHandle(unmounting);
    close(wake[0]);
    close(wake[1]);
    return code;
}

}  // namespace layer
