#include "operations/user_path.h"

bool CopyUserPath(WCHAR* path, WStringView typed, PathForm form)
{
    path[0] = 0;
    typed = typed.substr(0, typed.find(WCHAR{0}));
    if (typed.size() >= static_cast<size_t>(kTextBufferSize)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    WCHAR typedCopy[kTextBufferSize];
    CopyToBuffer(typedCopy, kTextBufferSize, typed);

    // The full form can be longer than the typed text (a relative name, a
    // drive-relative one) or shorter (".." segments); only its length counts.
    WCHAR full[kTextBufferSize];
    DWORD length = GetFullPathNameW(typedCopy, kTextBufferSize, full, nullptr);
    if (length >= static_cast<DWORD>(kTextBufferSize)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (form == PathForm::Full && length != 0)
        CopyToBuffer(path, kTextBufferSize, full);
    else
        CopyToBuffer(path, kTextBufferSize, typedCopy);
    SetLastError(ERROR_SUCCESS);
    return true;
}
