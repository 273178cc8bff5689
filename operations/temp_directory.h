// The temporary directory handed to the imaging library: the first of the
// candidates, then the system's, in which a file can really be made.
#pragma once

#include <windows.h>

// Chooses into a 260-character buffer; false (buffer emptied) when none
// passes, with the last failed step's error left as the last error.
bool ChooseTempDirectory(const WCHAR* first, const WCHAR* second, WCHAR* buffer);

// The directory a path stands for: a bare drive's root, a folder itself, or
// the folder of a file (existing or not), without a trailing backslash.
void NormaliseDirectory(const WCHAR* path, WCHAR* buffer);

// True when a file can be created and deleted in the directory.
bool ProbeWritableDirectory(const WCHAR* directory);

struct TaskState;

// An operation's temporary-folder step: chooses as ChooseTempDirectory does,
// logs IDS_TEMP_FOLDER_LINE with the choice and, when none passes, IDS_TEMP_FOLDER_FAILED and the
// reason. False then.
bool TakeTempDirectory(TaskState& task, const WCHAR* first, const WCHAR* second, WCHAR* buffer);
