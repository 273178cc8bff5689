// Starts the disk writing a new file's data while the library is still
// writing it, so that the sync which makes the file whole before its name
// appears finds little left to write.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace layer {

// Called every few hundred milliseconds on the followed descriptor; tests
// replace it to see the calls. By default, sync_file_range's asynchronous
// write-out of the file's dirty pages (it waits for nothing).
extern int (*StartWriteOut)(int descriptor);

class WriteBehind {
public:
    // Follows `descriptor` (any descriptor of the file; -1 follows nothing)
    // until destroyed or told to follow another one. Each descriptor gets
    // its first write-out at once, in the caller's thread.
    explicit WriteBehind(int descriptor = -1);
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // The descriptor to follow from now on; the caller keeps it open until
    // the next Follow or the destructor.
    void Follow(int descriptor);

private:
    void Run();

    std::mutex lock_;
    std::condition_variable wake_;
    int descriptor_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace layer
