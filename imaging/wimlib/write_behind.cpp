#include "imaging/wimlib/write_behind.h"

#include <chrono>
#include <fcntl.h>

namespace layer {

namespace {

// Often enough that little is dirty at the end, seldom enough to cost nothing.
constexpr std::chrono::milliseconds kInterval{200};

int WriteOutDirtyPages(int descriptor)
{
    return sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE);
}

}  // namespace

int (*StartWriteOut)(int descriptor) = WriteOutDirtyPages;

WriteBehind::WriteBehind(int descriptor) : descriptor_(descriptor)
{
    if (descriptor_ >= 0)
        StartWriteOut(descriptor_);
    thread_ = std::thread([this] { Run(); });
}

WriteBehind::~WriteBehind()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void WriteBehind::Follow(int descriptor)
{
    std::lock_guard<std::mutex> hold(lock_);
    descriptor_ = descriptor;
    if (descriptor_ >= 0)
        StartWriteOut(descriptor_);
}

void WriteBehind::Run()
{
    std::unique_lock<std::mutex> hold(lock_);
    while (!wake_.wait_for(hold, kInterval, [this] { return stopping_; })) {
        // Under the lock, so that the descriptor is not closed meanwhile;
        // the call only queues the write-out.
        if (descriptor_ >= 0)
            StartWriteOut(descriptor_);
    }
}

}  // namespace layer
