// The offline Windows installation probe run after a capture: when the
// captured tree holds a Windows directory, its registry hives and its
// Kernel32.dll give the image's WINDOWS element (and FLAGS from the edition
// when the image has none).
#pragma once

#include "base/task_state.h"

// Silent: logs nothing and returns nothing; shows only the image XML notice
// when the image's XML cannot be read back. The hive copies are made in
// `tempDirectory` (the capture's temporary directory; the system's when
// empty), never in the captured tree, and are removed on every path.
void ProbeOfflineWindows(TaskState& task, HANDLE image, const WCHAR* sourceDirectory,
                         const WCHAR* tempDirectory);
