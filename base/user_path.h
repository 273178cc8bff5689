// The one intake for paths typed on the pages. A path reaches the library
// whole or not at all: one cut to fit a 260-character buffer can name
// another, existing file (".../install.wim.copy" cut to ".../install.wim")
// and be opened for writing.
#pragma once

#include "base/text.h"

enum class PathForm {
    AsTyped,  // the library gets the text as the user typed it
    Full,     // the library gets the full path (GetFullPathNameW)
};

// A typed path as an operation takes it in.
struct UserPath {
    // What the library gets, in the asked form. When refused: the typed text
    // shortened in its middle, for the log only.
    WCHAR text[kTextBufferSize] = {};
    // Why the path cannot be used; ERROR_SUCCESS when it can.
    DWORD refusal = ERROR_SUCCESS;

    bool Usable() const { return refusal == ERROR_SUCCESS; }
};

// Takes `typed` (up to its first NUL) in the given form. When the typed text
// or its full form needs 260 characters or more, the path is refused with
// ERROR_FILENAME_EXCED_RANGE, which is also left as the thread's last error,
// and the result is false: the caller logs its failure line and the reason,
// and opens nothing. A text the system cannot make full (an empty one, say)
// is taken as typed; the open that follows reports why it fails.
bool TakeUserPath(UserPath& path, WStringView typed, PathForm form = PathForm::AsTyped);
