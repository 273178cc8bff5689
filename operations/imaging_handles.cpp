#include "operations/imaging_handles.h"

namespace {

// Keeps the thread's last error as found, or takes a failed step's when it
// was 0, so that a release does not hide why an operation failed.
class LastErrorKept {
public:
    LastErrorKept() : kept_(GetLastError()) {}
    BOOL Note(BOOL done)
    {
        if (!done && kept_ == 0)
            kept_ = GetLastError();
        SetLastError(kept_);
        return done;
    }

private:
    DWORD kept_;
};

}  // namespace

WimHandle& WimHandle::operator=(HANDLE handle)
{
    Release();
    handle_ = handle;
    return *this;
}

BOOL WimHandle::Close()
{
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle == nullptr || WIMCloseHandle(handle);
}

BOOL WimHandle::Release()
{
    LastErrorKept error;
    return error.Note(Close());
}

CallbackRegistration::CallbackRegistration(WIMMessageCallback callback)
{
    if (WIMRegisterMessageCallback(nullptr, callback, nullptr) != INVALID_CALLBACK_VALUE)
        callback_ = callback;
}

BOOL CallbackRegistration::Release()
{
    LastErrorKept error;
    WIMMessageCallback callback = callback_;
    callback_ = nullptr;
    return error.Note(callback == nullptr || WIMUnregisterMessageCallback(nullptr, callback));
}
