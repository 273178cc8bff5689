// The modal progress window that runs one operation on a worker thread.
#pragma once

#include "app/task_state.h"

// Opens progress window 132 over `owner` and runs the operation whose page
// button is `commandId`; returns when the user closes the window.
INT_PTR RunProgressWindow(HWND owner, UINT commandId);

// The operation behind a command identifier, and how its window behaves.
struct OperationEntry {
    UINT commandId;
    bool (*run)(TaskState& task);
    bool englishButtonTexts;  // "Abort" / "Close" instead of strings 147 / 148
    bool abortable;           // button enabled during the run
    bool clearsCounter;       // control 1017 emptied at the end
};

// The entry for `commandId`, or null when no operation belongs to it.
const OperationEntry* FindOperation(UINT commandId);

// The same window around a given entry (tests run operations of their own).
INT_PTR RunProgressWindow(HWND owner, const OperationEntry& operation);

// The worker thread's frame around one operation.
DWORD WINAPI WorkerMain(LPVOID parameter);
