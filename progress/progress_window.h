// The modal progress window that runs one operation on a worker thread.
// Which operation a page button runs is the shell's table; this window only
// runs the entry it is given.
#pragma once

#include "base/task_state.h"

// An operation, and how its window behaves around it: one row of the
// shell's operation table. The progress window reads the first five fields;
// the shell reads the rest.
struct OperationEntry {
    UINT commandId;  // the page button that starts it
    bool (*run)(TaskState& task);
    bool englishButtonTexts;  // "Abort" / "Close" instead of IDS_ABORT / IDS_CLOSE
    bool abortable;           // button enabled during the run
    bool clearsCounter;       // the file counter emptied at the end
    UINT pageTemplate = 0;    // the page that holds the button
    // On the page's thread after its inputs are read; false: nothing to run.
    bool (*prepare)(HWND page) = nullptr;
    // What the page shows again afterwards, run or not.
    void (*reload)() = nullptr;
};

// Opens the progress window over `owner` and runs `operation` (none when
// null); returns when the user closes the window.
INT_PTR RunProgressWindow(HWND owner, const OperationEntry* operation);
inline INT_PTR RunProgressWindow(HWND owner, const OperationEntry& operation)
{
    return RunProgressWindow(owner, &operation);
}

// The worker thread's frame around one operation.
DWORD WINAPI WorkerMain(LPVOID parameter);
