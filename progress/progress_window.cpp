#include "progress/progress_window.h"

#include "base/language.h"
#include "base/log.h"
#include "base/resource.h"
#include "imaging/imaging_thread.h"
#include "progress/taskbar_progress.h"

#include <atomic>
#include <commctrl.h>
#include <mmsystem.h>

namespace {

// Posted by the worker as its last act, so the window can release the
// thread handle without ever waiting for a running worker.
constexpr UINT WM_WORKER_ENDED = WM_APP + 1;
// Sent by the worker at its end: show what is pending now.
constexpr UINT WM_PROGRESS_SHOW_NOW = WM_APP + 2;
constexpr UINT_PTR kReapTimer = 1;
// Keeps the elapsed and remaining time moving between the library's messages.
constexpr UINT_PTR kClockTimer = 2;
// Brings a refresh asked for too soon after the last one.
constexpr UINT_PTR kRefreshTimer = 3;
// The window shows the worker's changes at most this often. Each refresh
// repaints what changed, and under Wine one costs the window's thread about
// 4 ms (the bar alone 2.4 ms: the control paints itself at once), besides
// the wine server's and the X server's share, all CPU that a worker using
// every core would have had. A 6,000-file capture asked for 174 refreshes in
// 2.4 s. Ten a second keeps the counter, the bar and the time line live.
constexpr DWORD kRefreshSpacing = 100;
// When the window last showed the worker's changes (its thread only).
DWORD lastRefresh = 0;

// What the worker needs: the shared record and the operation to run.
struct WorkerStart {
    TaskState* task;
    const OperationEntry* operation;
    HWND window;
};
// Written before the worker starts, then only read: by the worker, and by
// the window's thread to know whether the running operation can be aborted.
WorkerStart workerStart;

// The window's thread only: the taskbar button's copy of the bar.
TaskbarProgress taskbar;

void ButtonText(const OperationEntry& operation, bool closing, WCHAR* text)
{
    if (operation.englishButtonTexts) {
        CopyToBuffer(text, kTextBufferSize, closing ? WSTR("Close") : WSTR("Abort"));
    } else {
        LoadTableString(closing ? IDS_CLOSE : IDS_ABORT, text);
    }
}

// Makes the window pick its cursor again (wait while busy, else the arrow).
void RefreshCursor(HWND window)
{
    SendMessageW(window, WM_SETCURSOR, reinterpret_cast<WPARAM>(window), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
}

void ReapWorker(HWND window, TaskState& task)
{
    if (task.workerThread == nullptr)
        return;
    if (WaitForSingleObject(task.workerThread, 0) == WAIT_OBJECT_0) {
        CloseHandle(task.workerThread);
        task.workerThread = nullptr;
        KillTimer(window, kReapTimer);
        KillTimer(window, kClockTimer);
    } else {
        // The worker posted its last message but has not quite returned.
        SetTimer(window, kReapTimer, 10, nullptr);
    }
}

void ShowRefresh(HWND window)
{
    KillTimer(window, kRefreshTimer);
    lastRefresh = GetTickCount();
    ShowPendingProgress(Task(), window);
}

// A refresh too soon after the last one waits for the rest of the spacing;
// the worker's request stays standing meanwhile, so it does not ask again.
void RefreshWhenDue(HWND window)
{
    const DWORD since = GetTickCount() - lastRefresh;
    if (since < kRefreshSpacing) {
        SetTimer(window, kRefreshTimer, kRefreshSpacing - since, nullptr);
        return;
    }
    ShowRefresh(window);
}

// The button as the worker will set it, before the worker exists: a key
// typed ahead or a click must meet the running state, never the idle one.
void PrepareButton(HWND window, const OperationEntry& operation)
{
    HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
    WCHAR text[kTextBufferSize];
    ButtonText(operation, false, text);
    SetWindowTextW(button, text);
    EnableWindow(button, operation.abortable ? TRUE : FALSE);
}

void OpenProgressWindow(HWND window, const OperationEntry* operation)
{
    TaskState& task = Task();
    ResetRunState(task);

    SetReportTabStops(GetDlgItem(window, IDC_PROGRESS_LOG));
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
    SetDlgItemTextW(window, IDC_PROGRESS_PERCENT, WSTR("0%"));
    SetDlgItemTextW(window, IDC_PROGRESS_COUNTER, WSTR(""));
    lastRefresh = GetTickCount() - kRefreshSpacing;

    if (operation == nullptr) {
        task.progressWindow = window;
        return;
    }
    taskbar.Start(GetWindow(window, GW_OWNER));
    workerStart = {&task, operation, window};
    PrepareButton(window, *operation);
    // Busy from before the thread exists until the worker's very end, so
    // that no close request can slip in while the operation starts.
    task.busy = true;
    // Published only now: whoever finds the window sees it running, never
    // the idle state it has for a moment while it opens.
    task.progressWindow = window;
    SetTimer(window, kClockTimer, 250, nullptr);
    DWORD threadId = 0;
    task.workerThread = CreateImagingThread(WorkerMain, &workerStart, &threadId);
    task.workerThreadId = threadId;
    if (task.workerThread == nullptr) {
        task.busy = false;
        EnableWindow(GetDlgItem(window, IDC_PROGRESS_BUTTON), TRUE);
    }
}

void PressButton(HWND window)
{
    TaskState& task = Task();
    if (!task.busy) {
        if (task.workerThread != nullptr) {
            // The worker has cleared busy and is returning; the handle can go.
            CloseHandle(task.workerThread);
            task.workerThread = nullptr;
        }
        task.progressWindow = nullptr;
        taskbar.Stop();
        EndDialog(window, 0);
        return;
    }
    // Escape and a close arrive here too, whatever the button's state: an
    // operation that cannot be aborted ignores them, and a second request
    // adds nothing to the first.
    if (!workerStart.operation->abortable || task.abortRequested)
        return;
    // The notice goes into the log before the worker can see the request,
    // so that it comes before the lines of the failure the abort causes.
    WCHAR text[kTextBufferSize];
    AppendLog(task, LoadTableString(IDS_ABORTING_OPERATION, text));
    task.abortRequested = true;
    HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
    EnableWindow(button, FALSE);
    SetWindowTextW(button, LoadTableString(IDS_ABORTING, text));
}

// The dialog's initialisation parameter.
struct OpenRequest {
    const OperationEntry* operation;
};

INT_PTR CALLBACK ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        OpenProgressWindow(window, reinterpret_cast<const OpenRequest*>(lParam)->operation);
        return TRUE;
    case WM_SETCURSOR:
        SetCursor(LoadCursorW(nullptr, Task().busy ? IDC_WAIT : IDC_ARROW));
        SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_PROGRESS_BUTTON)
            PressButton(window);
        return TRUE;
    case WM_PROGRESS_REFRESH:
        RefreshWhenDue(window);
        return TRUE;
    case WM_PROGRESS_PERCENT:
        taskbar.SetPercent(static_cast<UINT>(wParam));
        return TRUE;
    case WM_PROGRESS_SHOW_NOW:
        ShowRefresh(window);
        return TRUE;
    case WM_WORKER_ENDED:
        taskbar.Finish(wParam != 0);
        RefreshCursor(window);
        ReapWorker(window, Task());
        return TRUE;
    case WM_TIMER:
        if (wParam == kClockTimer)
            TickTimeStatus(Task());
        else if (wParam == kRefreshTimer)
            ShowRefresh(window);
        else
            ReapWorker(window, Task());
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

namespace {

// The end every run comes to, however the operation ended.
void FinishWorker(const WorkerStart& start, bool succeeded)
{
    TaskState& task = *start.task;
    HWND window = start.window;
    HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
    // Through the pending texts, so that no older pending text comes after;
    // the clock stops first, so that no tick comes after either.
    StopTimeStatus(task);
    SetProgressText(task, IDC_PROGRESS_STATUS, WSTR(""));
    if (start.operation->clearsCounter)
        SetProgressText(task, IDC_PROGRESS_COUNTER, WSTR(""));
    // The end is shown, the closing line with it, before the button says
    // so: whoever sees Close reads the whole log. The one wait for the
    // window's thread, as the button's own change is.
    SendMessageW(window, WM_PROGRESS_SHOW_NOW, 0, 0);
    WCHAR text[kTextBufferSize];
    ButtonText(*start.operation, true, text);
    SetWindowTextW(button, text);
    EnableWindow(button, TRUE);
    // From here on the window may close at any moment: only a post, which
    // fails harmlessly on a closed window, follows. The window restores the
    // arrow cursor when the post arrives.
    task.busy = false;
    PostMessageW(window, WM_WORKER_ENDED, succeeded ? 1 : 0, 0);
}

// The worker that runs now, for its fault handler.
std::atomic<const WorkerStart*> runningWorker{nullptr};
std::atomic<DWORD> runningWorkerId{0};

// A fault inside the running operation (a defect, or a damaged file that
// reaches one) ends that operation as a failure: the log says so and why,
// and the window can be closed. The worker thread ends where it faulted;
// what it held is lost, which still beats a window that never closes.
LONG CALLBACK WorkerFault(EXCEPTION_POINTERS* pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    const bool fault = code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW ||
                       code == EXCEPTION_ILLEGAL_INSTRUCTION || code == EXCEPTION_INT_DIVIDE_BY_ZERO ||
                       code == EXCEPTION_PRIV_INSTRUCTION || code == EXCEPTION_IN_PAGE_ERROR;
    const WorkerStart* start = runningWorker.load();
    if (!fault || start == nullptr || GetCurrentThreadId() != runningWorkerId.load())
        return EXCEPTION_CONTINUE_SEARCH;
    runningWorker = nullptr;
    TaskState& task = *start->task;
    WCHAR reason[kTextBufferSize];
    AppendLog(task, WSTR(""));
    LogMessage(task, IDS_OPERATION_FAULT);
    LogMessage(task, IDS_ERROR_REASON,
               static_cast<const WCHAR*>(LoadMessage(reason, IDS_FAULT_REASON, code)));
    FinishWorker(*start, false);
    ExitThread(ERROR_INTERNAL_ERROR);
}

}  // namespace

DWORD WINAPI WorkerMain(LPVOID parameter)
{
    static const PVOID handler = AddVectoredExceptionHandler(1, WorkerFault);
    (void)handler;
    const WorkerStart start = *static_cast<WorkerStart*>(parameter);
    TaskState& task = *start.task;
    const OperationEntry& operation = *start.operation;
    HWND window = start.window;
    HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
    WCHAR text[kTextBufferSize];

    ApplyLanguageToThread();
    SetDlgItemTextW(window, IDC_PROGRESS_STATUS, WSTR(""));
    ButtonText(operation, false, text);
    SetWindowTextW(button, text);
    if (!operation.abortable)
        EnableWindow(button, FALSE);
    task.busy = true;
    RefreshCursor(window);

    runningWorkerId = GetCurrentThreadId();
    runningWorker = &start;
    const bool succeeded = operation.run(task);
    runningWorker = nullptr;

    FinishWorker(start, succeeded);
    return 0;
}

INT_PTR RunProgressWindow(HWND owner, const OperationEntry* operation)
{
    const OpenRequest request{operation};
    return DialogBoxIndirectParamW(g_instance, LoadDialogTemplate(IDD_PROGRESS), owner, ProgressProc,
                                   reinterpret_cast<LPARAM>(&request));
}
