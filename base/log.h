// Log and progress routines shared by every operation and message callback.
// The worker thread calls them too: they reach the progress window only
// through window messages, which its owning thread handles.
#pragma once

#include "base/task_state.h"

#include <initializer_list>

// Loads string-table entry `id` into a 260-character buffer; "???" if missing.
WCHAR* LoadTableString(UINT id, WCHAR* buffer);

// Loads entry `id` and expands its inserts (%1 text, %1!d! signed, %1!X!
// hexadecimal) with the system message formatter. "???" on any failure;
// an expansion longer than the buffer loses its middle (ShortenedInMiddle).
WCHAR* LoadMessageArgs(WCHAR* buffer, UINT id, std::initializer_list<DWORD_PTR> inserts);

// Inserts: strings as pointers, numbers as (sign-extended) integers.
inline DWORD_PTR MessageInsert(const WCHAR* text)
{
    return reinterpret_cast<DWORD_PTR>(text);
}
inline DWORD_PTR MessageInsert(int value)
{
    return static_cast<DWORD_PTR>(static_cast<INT_PTR>(value));
}
inline DWORD_PTR MessageInsert(unsigned value)
{
    return static_cast<DWORD_PTR>(value);
}
inline DWORD_PTR MessageInsert(long value)
{
    return static_cast<DWORD_PTR>(static_cast<INT_PTR>(value));
}
inline DWORD_PTR MessageInsert(unsigned long value)
{
    return static_cast<DWORD_PTR>(value);
}

template <typename... Inserts>
WCHAR* LoadMessage(WCHAR* buffer, UINT id, Inserts... inserts)
{
    return LoadMessageArgs(buffer, id, {MessageInsert(inserts)...});
}

// The system's text for an error code, without its final line feed; "???"
// when the system has none.
WCHAR* SystemErrorText(WCHAR* buffer, DWORD code);

// The same text in `language` (the interface's, for SystemErrorText); the
// system's own language where the system has no texts in that one.
WCHAR* SystemErrorTextIn(WCHAR* buffer, DWORD code, LANGID language);

// Appends the text and CR LF to logText and shows the log when a progress
// window is open.
void AppendLog(TaskState& task, const WCHAR* text);
void AppendLog(TaskState& task, WString text);

// Puts the whole of logText into the log control of `window` and scrolls to
// its end; never leaves an older copy than the newest in it.
void ShowLog(TaskState& task, HWND window);

// Convenience: AppendLog of LoadMessage(id, inserts).
template <typename... Inserts>
void LogMessage(TaskState& task, UINT id, Inserts... inserts)
{
    WCHAR buffer[kTextBufferSize];
    AppendLog(task, LoadMessage(buffer, id, inserts...));
}

// Logs IDS_ERROR_REASON with the system text of the thread's last error.
void LogLastError(TaskState& task);

// Logs IDS_ERROR_REASON with the system text of `code`.
void LogErrorText(TaskState& task, DWORD code);

// Logs an operation's failure line, then IDS_ERROR_REASON with the system text of
// the thread's last error as it was on entry (loading the line would change
// it); the last error is left as found.
template <typename... Inserts>
void LogFailure(TaskState& task, UINT id, Inserts... inserts)
{
    const DWORD code = GetLastError();
    LogMessage(task, id, inserts...);
    LogErrorText(task, code);
    SetLastError(code);
}

// "2m05s", "45s", or IDS_CALCULATING for under a second; buffer of 32 characters.
constexpr int kDurationBufferSize = 32;
WCHAR* FormatDuration(DWORD milliseconds, WCHAR* buffer);

// Posted to the progress window with the new percentage in wParam, for the
// taskbar button's copy of the bar.
constexpr UINT WM_PROGRESS_PERCENT = WM_APP + 21;

// Posted to the progress window when a worker has left something for it to
// show (TaskState::pending); the window calls ShowPendingProgress.
constexpr UINT WM_PROGRESS_REFRESH = WM_APP + 22;

// Shows what workers left pending, on the progress window's own thread.
void ShowPendingProgress(TaskState& task, HWND window);

// Forgets what is pending, for a window that opens afresh.
void DropPendingProgress(TaskState& task);

// The routines below change the progress window's controls at once when
// called on its thread; from another thread they leave the change pending
// and post WM_PROGRESS_REFRESH once, so a worker never waits for the window.

// Moves the bar and the percentage label; a repeated value does nothing.
void SetProgressPercent(TaskState& task, UINT percent);

// Rewrites the status line with elapsed and remaining time, at most once per
// elapsed second.
void UpdateTimeStatus(TaskState& task, DWORD remainingMilliseconds);

// The window's clock (its thread only): once the operation has given a
// first estimate and until it ends, a new elapsed second shows with the last
// estimate less the time since it came; run out, it shows as unknown.
void TickTimeStatus(TaskState& task);

// Stops the clock: the operation has ended, or a new one starts.
void StopTimeStatus(TaskState& task);

// Logs the operation's closing line: `quickId` under one second, else
// `timedId` with the elapsed time; `count` follows as the next insert of
// either (the images captured or exported, for the lines that say it).
void LogClosingLine(TaskState& task, UINT quickId, UINT timedId, DWORD count = 0);

// Sets a control's text of the open progress window, if there is one.
void SetProgressText(TaskState& task, int control, const WCHAR* text);
