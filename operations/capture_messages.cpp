#include "operations/capture_messages.h"

#include "base/log.h"
#include "base/resource.h"
#include "capture_config/path_match.h"
#include "operations/library_messages.h"

#include <algorithm>

namespace {

const WCHAR kEaNotice[] = WSTR(
    "INFO: Extended attributes found, these will not be captured. This is how DISM and ImageX operate.\n");

void ShowCounter(TaskState& task, UINT id, uint32_t first, uint32_t second)
{
    WCHAR text[kTextBufferSize];
    SetProgressText(task, IDC_PROGRESS_COUNTER, LoadMessage(text, id, first, second));
}

DWORD DecideInclusion(TaskState& task, WPARAM wParam, LPARAM lParam)
{
    if (task.abortRequested)
        return WIM_MSG_ABORT_IMAGE;
    if (task.fileCount != 0) {
        // Progress messages refresh the counter, but files without data of
        // their own are told after the last of them: the last file shows.
        if (++task.itemsDone == task.fileCount)
            ShowCounter(task, IDS_FILES_COUNTER, task.itemsDone, task.fileCount);
        return WIM_MSG_SUCCESS;
    }
    if (!task.scanNoticeShown) {
        task.scanNoticeShown = true;
        LogMessage(task, IDS_SCANNING);
    }
    const WCHAR* path = reinterpret_cast<const WCHAR*>(wParam);
    BOOL* include = reinterpret_cast<BOOL*>(lParam);
    if (path == nullptr || include == nullptr)
        return WIM_MSG_SUCCESS;
    PathParts parts;
    BuildPathParts(parts, path);
    if (!PathMatchesList(parts, task.exclusions) || PathMatchesList(parts, task.exclusionExceptions))
        return WIM_MSG_SUCCESS;
    *include = FALSE;
    LogMessage(task, IDS_EXCLUDED_LINE, path);
    return WIM_MSG_SUCCESS;
}

void DecideCompression(TaskState& task, WPARAM wParam, LPARAM lParam)
{
    const WCHAR* path = reinterpret_cast<const WCHAR*>(wParam);
    BOOL* compress = reinterpret_cast<BOOL*>(lParam);
    if (path == nullptr || compress == nullptr)
        return;
    PathParts parts;
    BuildPathParts(parts, path);
    if (PathMatchesList(parts, task.compressionExclusions))
        *compress = FALSE;
}

}  // namespace

DWORD HandleCaptureMessage(TaskState& task, DWORD messageId, WPARAM wParam, LPARAM lParam)
{
    switch (messageId) {
    case WIM_MSG_PROGRESS:
        SetProgressPercent(task, static_cast<UINT>(wParam));
        UpdateTimeStatus(task, static_cast<DWORD>(lParam));
        ShowCounter(task, IDS_FILES_COUNTER, task.itemsDone, task.fileCount);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_PROCESS:
        return DecideInclusion(task, wParam, lParam);
    case WIM_MSG_SCANNING:
        task.folderCount += static_cast<uint32_t>(wParam);
        task.itemsDone = std::max(task.itemsDone, static_cast<uint32_t>(lParam));
        if (task.itemsDone % 32 == 0)
            ShowCounter(task, IDS_FILES_FOLDERS_COUNTER, task.itemsDone, task.folderCount);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_SETRANGE:
        LogMessage(task, IDS_SCANNED_READING, task.folderCount, static_cast<uint32_t>(lParam));
        task.fileCount = static_cast<uint32_t>(lParam);
        task.itemsDone = 0;
        ShowCounter(task, IDS_FILES_COUNTER, 0u, task.fileCount);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_COMPRESS:
        DecideCompression(task, wParam, lParam);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_ERROR:
        AppendLog(task, DiagnosticLine(WSTR("ERROR: "), wParam, lParam));
        return WIM_MSG_SUCCESS;
    case WIM_MSG_RETRY:
        AppendLog(task, DiagnosticLine(WSTR("RETRY: "), wParam, lParam));
        return WIM_MSG_SUCCESS;
    case WIM_MSG_INFO:
        if (static_cast<DWORD>(lParam) == kEasNotSupported) {
            if (!task.eaNoticeShown) {
                task.eaNoticeShown = true;
                AppendLog(task, kEaNotice);
            }
        } else {
            AppendLog(task, DiagnosticLine(WSTR("INFO: "), wParam, lParam));
        }
        return WIM_MSG_SUCCESS;
    case WIM_MSG_WARNING:
        AppendLog(task, DiagnosticLine(WSTR("WARNING: "), wParam, lParam));
        return WIM_MSG_SUCCESS;
    case WIM_MSG_LEFTOVER_REMOVED:
        AppendLog(task, LeftoverRemovedLine(wParam));
        return WIM_MSG_SUCCESS;
    case WIM_MSG_QUERY_ABORT:
        return task.abortRequested ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
    case WIM_MSG_VERIFYING_INTEGRITY:
        if (!task.verifyNoticeShown) {
            task.verifyNoticeShown = true;
            LogMessage(task, IDS_VERIFYING_INTEGRITY);
        }
        UpdateTimeStatus(task, 0);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_ADDING_INTEGRITY:
        LogMessage(task, IDS_ADDING_INTEGRITY);
        UpdateTimeStatus(task, 0);
        return WIM_MSG_SUCCESS;
    default:
        return WIM_MSG_SUCCESS;
    }
}

DWORD CALLBACK CaptureMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    (void)userData;
    return HandleCaptureMessage(Task(), messageId, wParam, lParam);
}
