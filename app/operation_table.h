// The operation table: which page button runs which operation, and how the
// progress window behaves around it.
#pragma once

#include "progress/progress_window.h"

// The entry for `commandId`, or null when no operation belongs to it.
const OperationEntry* FindOperation(UINT commandId);

// Opens the progress window over `owner` for the operation of page button
// `commandId`; returns when the user closes the window.
INT_PTR RunProgressWindow(HWND owner, UINT commandId);
