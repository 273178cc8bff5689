// The modal progress window that runs one operation on a worker thread.
// Which operation a page button runs is the shell's table; this window only
// runs the entry it is given.
#pragma once

#include "base/task_state.h"

// An operation, and how its window behaves around it.
struct OperationEntry {
    UINT commandId;
    bool (*run)(TaskState& task);
    bool englishButtonTexts;  // "Abort" / "Close" instead of strings 147 / 148
    bool abortable;           // button enabled during the run
    bool clearsCounter;       // control 1017 emptied at the end
};

// Opens progress window 132 over `owner` and runs `operation` (none when
// null); returns when the user closes the window.
INT_PTR RunProgressWindow(HWND owner, const OperationEntry* operation);
inline INT_PTR RunProgressWindow(HWND owner, const OperationEntry& operation)
{
    return RunProgressWindow(owner, &operation);
}

// The worker thread's frame around one operation.
DWORD WINAPI WorkerMain(LPVOID parameter);
