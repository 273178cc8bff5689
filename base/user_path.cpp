#include "base/user_path.h"

bool TakeUserPath(UserPath& path, WStringView typed, PathForm form)
{
    typed = typed.substr(0, typed.find(WCHAR{0}));
    CopyToBuffer(path.text, kTextBufferSize, typed);
    path.refusal = ERROR_SUCCESS;
    // The full form can be longer than the typed text (a relative name, a
    // drive-relative one) or shorter (".." segments); both must fit.
    WCHAR full[kTextBufferSize];
    const DWORD length = typed.size() >= static_cast<size_t>(kTextBufferSize)
                             ? 0
                             : GetFullPathNameW(path.text, kTextBufferSize, full, nullptr);
    if (typed.size() >= static_cast<size_t>(kTextBufferSize) ||
        length >= static_cast<DWORD>(kTextBufferSize)) {
        path.refusal = ERROR_FILENAME_EXCED_RANGE;
        // For the log only: its start and its file name, never a cut that reads as another path.
        CopyToBuffer(path.text, kTextBufferSize, ShortenedInMiddle(typed, kTextBufferSize - 1));
        SetLastError(path.refusal);
        return false;
    }
    if (form == PathForm::Full && length != 0)
        CopyToBuffer(path.text, kTextBufferSize, full);
    SetLastError(ERROR_SUCCESS);
    return true;
}
