#include "operations/imaging_handles.h"

#include "base/last_error.h"

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

BOOL CloseWrittenHandles(WimHandle& image, WimHandle& wim)
{
    const BOOL imageClosed = image.Close();
    const DWORD imageError = GetLastError();
    const BOOL wimClosed = wim.Close();
    if (!imageClosed)
        SetLastError(imageError);
    return imageClosed && wimClosed;
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
