#include "app/resource.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/user_path.h"
#include "progress/log.h"

#include <mmsystem.h>

namespace {

void LogSettings(TaskState& task, const WCHAR* wimPath, const WCHAR* target)
{
    LogMessage(task, 189, wimPath);
    LogMessage(task, 190, target);
    LogMessage(task, 213, static_cast<int>(task.applyIndex));
    LogMessage(task, task.applyVerify ? 194 : 195);
    LogMessage(task, task.applyCheck ? 196 : 197);
    LogMessage(task, 198, target);
    AppendLog(task, WSTR(""));
}

// Releases the WIM handle (and unregisters the callback), then logs `id`.
bool FailAfterOpen(TaskState& task, HANDLE wim, UINT id)
{
    ReleaseImagingHandles(wim, nullptr, ApplyMessageCallback);
    LogMessage(task, id, static_cast<int>(task.applyIndex));
    return false;
}

}  // namespace

DWORD CALLBACK ApplyMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID)
{
    TaskState& task = Task();
    switch (messageId) {
    case WIM_MSG_PROGRESS: {
        SetProgressPercent(task, static_cast<UINT>(wParam));
        UpdateTimeStatus(task, static_cast<DWORD>(lParam));
        WCHAR counter[kTextBufferSize];
        LoadMessage(counter, 208, task.itemsDone, task.folderCount + task.fileCount);
        SetProgressText(task, IDC_PROGRESS_COUNTER, counter);
        return WIM_MSG_SUCCESS;
    }
    case WIM_MSG_PROCESS:
        if (task.abortRequested)
            return WIM_MSG_ABORT_IMAGE;
        ++task.itemsDone;
        return WIM_MSG_SUCCESS;
    case WIM_MSG_ERROR:
    case WIM_MSG_RETRY:
    case WIM_MSG_INFO:
    case WIM_MSG_WARNING:
        AppendLog(task, LibraryMessageLine(messageId, wParam, lParam));
        return WIM_MSG_SUCCESS;
    default:
        return WIM_MSG_SUCCESS;
    }
}

bool RunApply(TaskState& task)
{
    WCHAR target[kTextBufferSize];
    WCHAR wimPath[kTextBufferSize];
    WCHAR temporaryPath[kTextBufferSize];
    CopyUserPath(target, task.applyDestination, PathForm::Full);
    CopyUserPath(wimPath, task.applySource, PathForm::Full);
    CopyToBuffer(temporaryPath, kTextBufferSize, target);
    LogSettings(task, wimPath, target);

    if (WIMRegisterMessageCallback(nullptr, ApplyMessageCallback, nullptr) == INVALID_CALLBACK_VALUE) {
        LogMessage(task, 199);
        return false;
    }
    LogMessage(task, 162);
    DWORD creationResult = 0;
    HANDLE wim = WIMCreateFile(wimPath, WIM_GENERIC_READ, WIM_OPEN_EXISTING,
                               task.applyCheck ? WIM_FLAG_VERIFY : 0, WIM_COMPRESS_NONE, &creationResult);
    if (wim == nullptr)
        return FailAfterOpen(task, nullptr, 163);
    if (task.abortRequested)
        return FailAfterOpen(task, wim, 214);
    if (!WIMSetTemporaryPath(wim, temporaryPath))
        return FailAfterOpen(task, wim, 164);
    WIM_INFO info = {};
    if (!WIMGetAttributes(wim, &info, sizeof info)) {
        LogMessage(task, 165);
        ReleaseImagingHandles(wim, nullptr, ApplyMessageCallback);
        return false;
    }
    const DWORD index = static_cast<DWORD>(task.applyIndex);
    if (info.ImageCount < index) {
        LogMessage(task, 166, static_cast<int>(index));
        ReleaseImagingHandles(wim, nullptr, ApplyMessageCallback);
        return false;
    }
    HANDLE image = WIMLoadImage(wim, index);
    if (image == nullptr)
        return FailAfterOpen(task, wim, 167);

    ImageSummary summary;
    ReadImageSummary(task, image, summary);
    task.folderCount = static_cast<uint32_t>(summary.dirCount);
    task.fileCount = static_cast<uint32_t>(summary.fileCount);
    LogMessage(task, 215, static_cast<int>(task.folderCount), static_cast<int>(task.fileCount));

    if (!WIMApplyImage(image, target, task.applyVerify ? WIM_FLAG_VERIFY : 0)) {
        const DWORD error = GetLastError();
        ReleaseImagingHandles(wim, image, ApplyMessageCallback);
        LogMessage(task, 214);
        LogErrorText(task, error);
        return false;
    }
    ReleaseImagingHandles(wim, image, ApplyMessageCallback);
    LogClosingLine(task, 217, 216);
    return true;
}
