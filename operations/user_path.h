// Paths typed on the pages reach the imaging library whole or not at all: a
// path cut to fit a 260-character buffer can name another, existing file
// (".../install.wim.copy" cut to ".../install.wim") and be opened for writing.
#pragma once

#include "app/text.h"

enum class PathForm {
    AsTyped,  // the library gets the text as the user typed it
    Full,     // the library gets the full path (GetFullPathNameW)
};

// Copies `typed` (up to its first NUL) into `path`, a kTextBufferSize
// buffer, in the given form. When the typed text or its full form needs 260
// characters or more, `path` is left empty, the thread's last error is
// ERROR_FILENAME_EXCED_RANGE and the result is false: the caller logs its
// open-failure line and the reason, and opens nothing. A text the system
// cannot make full (an empty one, say) is copied as typed; the open that
// follows reports why it fails.
bool CopyUserPath(WCHAR* path, WStringView typed, PathForm form = PathForm::AsTyped);
