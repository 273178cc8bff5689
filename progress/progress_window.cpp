#include "progress/progress_window.h"

#include "app/resource.h"
#include "imaging/imaging_thread.h"
#include "operations/operations.h"
#include "progress/log.h"

#include <atomic>
#include <commctrl.h>
#include <mmsystem.h>

namespace {

// Posted by the worker as its last act, so the window can release the
// thread handle without ever waiting for a running worker.
constexpr UINT WM_WORKER_ENDED = WM_APP + 1;
constexpr UINT_PTR kReapTimer = 1;

bool RunCaptureNew(TaskState& task)
{
    return RunCapture(task, false);
}
bool RunCaptureAppend(TaskState& task)
{
    return RunCapture(task, true);
}

// One row per page button; the fields say how the window behaves around it.
const OperationEntry kOperations[] = {
    {.commandId = 1019,
     .run = RunCaptureNew,
     .englishButtonTexts = false,
     .abortable = true,
     .clearsCounter = false},
    {.commandId = 1020,
     .run = RunCaptureAppend,
     .englishButtonTexts = false,
     .abortable = true,
     .clearsCounter = false},
    {.commandId = 1025,
     .run = RunApply,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true},
    {.commandId = 1046,
     .run = RunChange,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true},
    {.commandId = 1060,
     .run = RunMount,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true},
    {.commandId = 1061,
     .run = RunUnmount,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true},
    {.commandId = 1067,
     .run = RunDelete,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true},
    {.commandId = 1081,
     .run = RunExport,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true},
    {.commandId = 1105,
     .run = RunSplit,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true},
};

// What the worker needs: the shared record and the operation to run.
struct WorkerStart {
    TaskState* task;
    const OperationEntry* operation;
    HWND window;
};
// Written before the worker starts, then only read: by the worker, and by
// the window's thread to know whether the running operation can be aborted.
WorkerStart workerStart;

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
    } else {
        // The worker posted its last message but has not quite returned.
        SetTimer(window, kReapTimer, 10, nullptr);
    }
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
    task.progressWindow = window;
    {
        std::lock_guard<std::mutex> hold(task.logLock);
        task.logText.clear();
        ++task.logVersion;
    }
    task.abortRequested = false;
    task.busy = false;

    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
    SetDlgItemTextW(window, IDC_PROGRESS_PERCENT, WSTR("0%"));
    SetDlgItemTextW(window, IDC_PROGRESS_COUNTER, WSTR(""));

    task.itemsDone = 0;
    task.folderCount = 0;
    task.fileCount = 0;
    task.scanNoticeShown = false;
    task.startTime = timeGetTime();

    if (operation == nullptr)
        return;
    workerStart = {&task, operation, window};
    PrepareButton(window, *operation);
    // Busy from before the thread exists until the worker's very end, so
    // that no close request can slip in while the operation starts.
    task.busy = true;
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
    case WM_WORKER_ENDED:
        RefreshCursor(window);
        ReapWorker(window, Task());
        return TRUE;
    case WM_TIMER:
        ReapWorker(window, Task());
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

const OperationEntry* FindOperation(UINT commandId)
{
    for (const OperationEntry& entry : kOperations) {
        if (entry.commandId == commandId)
            return entry.run != nullptr ? &entry : nullptr;
    }
    return nullptr;
}

namespace {

// The running worker's start and thread, for its fault filter.
std::atomic<const WorkerStart*> runningWorker{nullptr};
std::atomic<DWORD> runningWorkerId{0};
LPTOP_LEVEL_EXCEPTION_FILTER earlierFilter = nullptr;

// What the window needs once the operation is over, however it ended.
void EndWorker(const WorkerStart& start)
{
    TaskState& task = *start.task;
    const OperationEntry& operation = *start.operation;
    HWND window = start.window;
    HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
    WCHAR text[kTextBufferSize];
    ButtonText(operation, true, text);
    SetWindowTextW(button, text);
    EnableWindow(button, TRUE);
    SetDlgItemTextW(window, IDC_PROGRESS_STATUS, WSTR(""));
    if (operation.clearsCounter)
        SetDlgItemTextW(window, IDC_PROGRESS_COUNTER, WSTR(""));
    // From here on the window may close at any moment: only a post, which
    // fails harmlessly on a closed window, follows. The window restores the
    // arrow cursor when the post arrives.
    task.busy = false;
    PostMessageW(window, WM_WORKER_ENDED, 0, 0);
}

DWORD ReasonOfFault(DWORD exceptionCode)
{
    switch (exceptionCode) {
    case EXCEPTION_STACK_OVERFLOW:
        return ERROR_STACK_OVERFLOW;
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
        return ERROR_NOACCESS;
    default:
        return ERROR_INTERNAL_ERROR;
    }
}

// A fault nothing handled, on the worker: the operation ends as a failure
// (its line, then the reason) and the window can be closed, instead of a
// thread gone and a window waiting for it for ever. Other threads' faults
// go where they went before.
LONG WINAPI WorkerFaultFilter(EXCEPTION_POINTERS* pointers)
{
    const WorkerStart* start = runningWorker;
    if (start == nullptr || runningWorkerId != GetCurrentThreadId())
        return earlierFilter != nullptr ? earlierFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    runningWorker = nullptr;  // a fault while ending is not handled twice
    LogErrorText(*start->task, ERROR_INTERNAL_ERROR);
    WCHAR text[kTextBufferSize];
    AppendLog(*start->task, SystemErrorText(text, ReasonOfFault(pointers->ExceptionRecord->ExceptionCode)));
    EndWorker(*start);
    ExitThread(1);
}

}  // namespace

DWORD WINAPI WorkerMain(LPVOID parameter)
{
    const WorkerStart start = *static_cast<WorkerStart*>(parameter);
    TaskState& task = *start.task;
    const OperationEntry& operation = *start.operation;
    HWND window = start.window;
    HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
    WCHAR text[kTextBufferSize];
    static const bool filterSet = [] {
        earlierFilter = SetUnhandledExceptionFilter(WorkerFaultFilter);
        return true;
    }();
    (void)filterSet;
    runningWorkerId = GetCurrentThreadId();
    runningWorker = &start;

    SetDlgItemTextW(window, IDC_PROGRESS_STATUS, WSTR(""));
    ButtonText(operation, false, text);
    SetWindowTextW(button, text);
    if (!operation.abortable)
        EnableWindow(button, FALSE);
    task.busy = true;
    RefreshCursor(window);

    operation.run(task);
    runningWorker = nullptr;
    EndWorker(start);
    return 0;
}

INT_PTR RunProgressWindow(HWND owner, UINT commandId)
{
    const OpenRequest request{FindOperation(commandId)};
    return DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_PROGRESS), owner, ProgressProc,
                           reinterpret_cast<LPARAM>(&request));
}

INT_PTR RunProgressWindow(HWND owner, const OperationEntry& operation)
{
    const OpenRequest request{&operation};
    return DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_PROGRESS), owner, ProgressProc,
                           reinterpret_cast<LPARAM>(&request));
}
