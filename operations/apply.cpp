#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/split_set.h"

#include <mmsystem.h>

namespace {

void LogSettings(TaskState& task, const WCHAR* wimPath, const WCHAR* target)
{
    LogMessage(task, IDS_SOURCE_LINE, wimPath);
    LogMessage(task, IDS_SAVE_TO_LINE, target);
    LogMessage(task, IDS_APPLY_IMAGE_LINE, static_cast<int>(task.applyIndex));
    LogMessage(task, task.applyVerify ? IDS_VERIFY_ON_LINE : IDS_VERIFY_OFF_LINE);
    LogMessage(task, task.applyCheck ? IDS_CHECK_ON_LINE : IDS_CHECK_OFF_LINE);
    LogMessage(task, IDS_TEMP_FOLDER_LINE, target);
    AppendLog(task, WSTR(""));
}

// The target folder refused as the temporary folder: a missing folder is
// said in plain words, any other reason with the system's text.
void LogTargetFailure(TaskState& task, const WCHAR* target)
{
    const DWORD code = GetLastError();
    if (code != ERROR_PATH_NOT_FOUND && code != ERROR_FILE_NOT_FOUND) {
        LogFailure(task, IDS_TEMP_FOLDER_FAILED);
        return;
    }
    LogMessage(task, IDS_TEMP_FOLDER_FAILED);
    WCHAR reason[kTextBufferSize];
    LogMessage(task, IDS_ERROR_REASON,
               static_cast<const WCHAR*>(LoadMessage(reason, IDS_FOLDER_MISSING, target)));
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
        LoadMessage(counter, IDS_FILES_COUNTER, task.itemsDone, task.folderCount + task.fileCount);
        SetProgressText(task, IDC_PROGRESS_COUNTER, counter);
        return WIM_MSG_SUCCESS;
    }
    case WIM_MSG_ERROR:
        AppendLog(task, LibraryMessageLine(messageId, wParam, lParam));
        return WIM_MSG_SUCCESS;
    default:
        return AnswerWritingOut(task, messageId, wParam, lParam);
    }
}

bool RunApply(TaskState& task)
{
    UserPath target;
    UserPath wimPath;
    const bool targetTaken = TakeUserPath(target, task.applyDestination, PathForm::Full);
    const bool wimTaken = TakeUserPath(wimPath, task.applySource, PathForm::Full);
    LogSettings(task, wimPath.text, target.text);

    const CallbackRegistration callback(ApplyMessageCallback);
    if (!callback) {
        LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        return false;
    }
    LogMessage(task, IDS_OPENING_WIM);
    if (!wimTaken || !targetTaken) {
        SetLastError(wimTaken ? target.refusal : wimPath.refusal);
        LogFailure(task, wimTaken ? IDS_APPLY_FAILED : IDS_OPEN_WIM_FAILED);
        return false;
    }
    SplitSet set;
    if (!TakeSplitSet(task, wimPath.text, set))
        return false;
    const DWORD openFlags = WIM_FLAG_SOLID | (task.applyCheck ? WIM_FLAG_VERIFY : 0);
    DWORD creationResult = 0;
    const WimHandle wim(WIMCreateFile(set.firstPart.c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, openFlags,
                                      WIM_COMPRESS_NONE, &creationResult));
    if (!wim) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    if (!ReferenceFurtherParts(task, wim.get(), set, openFlags))
        return false;
    if (task.abortRequested) {
        LogMessage(task, IDS_APPLY_FAILED);
        return false;
    }
    if (!WIMSetTemporaryPath(wim.get(), target.text)) {
        LogTargetFailure(task, target.text);
        return false;
    }
    WIM_INFO info = {};
    if (!WIMGetAttributes(wim.get(), &info, sizeof info)) {
        LogFailure(task, IDS_ATTRIBUTES_FAILED);
        return false;
    }
    const DWORD index = static_cast<DWORD>(task.applyIndex);
    if (set.parts.empty() && RefuseSplitPart(task, info, IDS_LOAD_IMAGE_FAILED, static_cast<int>(index)))
        return false;
    if (info.ImageCount < index) {
        LogMessage(task, IDS_NO_SUCH_IMAGE, static_cast<int>(index));
        return false;
    }
    const WimHandle image(WIMLoadImage(wim.get(), index));
    if (!image) {
        LogFailure(task, IDS_LOAD_IMAGE_FAILED, static_cast<int>(index));
        return false;
    }

    ImageSummary summary;
    ReadImageSummary(task, image.get(), summary);
    task.folderCount = static_cast<uint32_t>(summary.dirCount);
    task.fileCount = static_cast<uint32_t>(summary.fileCount);
    LogMessage(task, IDS_APPLYING, static_cast<int>(task.folderCount), static_cast<int>(task.fileCount));

    if (!WIMApplyImage(image.get(), target.text, task.applyVerify ? WIM_FLAG_VERIFY : 0)) {
        LogFailure(task, IDS_APPLY_FAILED);
        return false;
    }
    LogClosingLine(task, IDS_APPLIED, IDS_APPLIED_TIMED);
    return true;
}
