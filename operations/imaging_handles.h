// The one way an operation holds what it takes from the imaging library:
// owners that give it back on every path, in reverse order of acquisition
// (declare the callback first, then the WIM, then the image).
#pragma once

#include "imaging/wimgapi.h"

// An image or WIM handle, closed when its owner goes. Closing at the end of
// scope keeps the thread's last error as it was, or sets the close's own
// when it was 0, so a failure can still be reported after the release.
class WimHandle {
public:
    WimHandle() = default;
    explicit WimHandle(HANDLE handle) : handle_(handle) {}
    ~WimHandle() { Release(); }
    WimHandle(const WimHandle&) = delete;
    WimHandle& operator=(const WimHandle&) = delete;

    // Takes `handle` over, releasing one held before.
    WimHandle& operator=(HANDLE handle);

    HANDLE get() const { return handle_; }

    // Gives the handle up to a caller that owns it from now on.
    HANDLE Take()
    {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    explicit operator bool() const { return handle_ != nullptr; }

    // Closes now, for a caller that must know: a destination the library
    // writes at its close has not been written when the close fails. FALSE
    // then, with the library's reason as the last error; TRUE when closed or
    // when nothing was held.
    BOOL Close();

    // Closes now; FALSE when the library failed to. The last error as the
    // destructor leaves it.
    BOOL Release();

private:
    HANDLE handle_ = nullptr;
};

// Closes an image handle and then the WIM handle it came from, where the
// library writes what the two changed: FALSE when either close failed, with
// the first failure's reason as the last error.
BOOL CloseWrittenHandles(WimHandle& image, WimHandle& wim);

// A process-wide message callback registered for one operation and
// unregistered when its owner goes, keeping the last error as WimHandle does.
class CallbackRegistration {
public:
    explicit CallbackRegistration(WIMMessageCallback callback);
    ~CallbackRegistration() { Release(); }
    CallbackRegistration(const CallbackRegistration&) = delete;
    CallbackRegistration& operator=(const CallbackRegistration&) = delete;

    // False when the library refused to register it.
    explicit operator bool() const { return callback_ != nullptr; }

    BOOL Release();

private:
    WIMMessageCallback callback_ = nullptr;
};
