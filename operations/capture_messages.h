// The capture's message callback: progress and status texts, the log lines
// for the library's errors and notices, abort answers, and the inclusion and
// compression decisions made against the three pattern lists.
#pragma once

#include "base/task_state.h"
#include "imaging/wimgapi.h"

// The extended-attribute notice's code (ERROR_EAS_NOT_SUPPORTED).
constexpr DWORD kEasNotSupported = 282;

// The callback's work on a given record; returns the verdict.
DWORD HandleCaptureMessage(TaskState& task, DWORD messageId, WPARAM wParam, LPARAM lParam);

// Registered process-wide for one capture; reaches the shared record through
// Task().
DWORD CALLBACK CaptureMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
