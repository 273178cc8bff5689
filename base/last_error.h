// The thread's last error kept across clean-up steps that may change it.
#pragma once

#include <windows.h>

// Takes the last error when made and puts it back when it goes, so that a
// release or a clean-up does not hide why a step failed. Note() lets a
// failed step give the reason when none was kept.
class LastErrorKept {
public:
    LastErrorKept() : kept_(GetLastError()) {}
    ~LastErrorKept() { SetLastError(kept_); }
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

    BOOL Note(BOOL done)
    {
        if (!done && kept_ == ERROR_SUCCESS)
            kept_ = GetLastError();
        return done;
    }

private:
    DWORD kept_;
};
