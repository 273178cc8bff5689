#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"

#include <algorithm>

namespace {

// The part size the page's text names, logged when it names one.
LONGLONG ChoosePartSize(TaskState& task)
{
    static const struct {
        UINT nameId;
        LONGLONG bytes;
    } kSizes[] = {
        {IDS_SPLIT_SIZE_CD, 600LL * 1048576},  // a CD
        {IDS_SPLIT_SIZE_FAT32, 0xFFFFFFFELL},  // the largest FAT32 file, less one byte for safety
    };
    for (const auto& size : kSizes) {
        WCHAR name[kTextBufferSize];
        if (task.splitSize == LoadTableString(size.nameId, name)) {
            LogMessage(task, IDS_PART_SIZE_LINE, static_cast<const WCHAR*>(name));
            return size.bytes;
        }
    }
    return 256LL * 1048576;
}

// Splits the opened source. A failure that says enough in a line of its
// own is logged here; the split's own reason is kept in `reason` for the
// closing failure line.
bool SplitOpenedFile(TaskState& task, HANDLE wim, const WCHAR* destinationPath, LARGE_INTEGER& partSize,
                     DWORD& reason)
{
    WIM_INFO info = {};
    if (!WIMGetAttributes(wim, &info, sizeof info)) {
        LogFailure(task, IDS_ATTRIBUTES_FAILED);
        return false;
    }
    if (info.TotalParts != 1) {
        WCHAR reason[kTextBufferSize];
        LogMessage(task, IDS_ALREADY_SPLIT);
        LoadMessage(reason, IDS_SET_CANNOT_CHANGE, static_cast<int>(info.PartNumber),
                    static_cast<int>(info.TotalParts));
        LogMessage(task, IDS_ERROR_REASON, static_cast<const WCHAR*>(reason));
        return false;
    }
    if (WIMSplitFile(wim, destinationPath, &partSize, 0))
        return true;
    reason = GetLastError();
    return false;
}

}  // namespace

DWORD CALLBACK SplitMessageCallback(DWORD messageId, WPARAM wParam, LPARAM, PVOID)
{
    TaskState& task = Task();
    switch (messageId) {
    case WIM_MSG_SPLIT: {
        // The bar moves by five per part, from 25 up to 75 at most.
        SetProgressPercent(task, std::min<UINT>(task.lastPercent + 5, 75));
        UpdateTimeStatus(task, 0);
        const WCHAR* const* partPath = reinterpret_cast<const WCHAR* const*>(wParam);
        if (partPath == nullptr || *partPath == nullptr)
            break;
        WCHAR fullPath[kTextBufferSize];
        WCHAR* fileName = nullptr;
        const DWORD length = GetFullPathNameW(*partPath, kTextBufferSize, fullPath, &fileName);
        // A name too long for the buffer is logged from the given path.
        WStringView name = *partPath;
        if (length != 0 && length < kTextBufferSize && fileName != nullptr) {
            name = fileName;
        } else if (const size_t slash = name.find_last_of(WSTR("\\/")); slash != WStringView::npos) {
            name.remove_prefix(slash + 1);
        }
        WString line = WSTR("Writing file: ") + WString(name);
        line.resize(std::min<size_t>(line.size(), kTextBufferSize - 1));
        AppendLog(task, std::move(line));
        break;
    }
    case WIM_MSG_QUERY_ABORT:
        if (task.abortRequested)
            return WIM_MSG_ABORT_IMAGE;
        UpdateTimeStatus(task, 0);
        break;
    case WIM_MSG_VERIFYING_INTEGRITY:
        UpdateTimeStatus(task, 0);
        break;
    case WIM_MSG_LEFTOVER_REMOVED:
        AppendLog(task, LeftoverRemovedLine(wParam));
        break;
    default:
        break;
    }
    return WIM_MSG_SUCCESS;
}

bool RunSplit(TaskState& task)
{
    UserPath destinationPath;
    UserPath sourcePath;
    const bool destinationTaken = TakeUserPath(destinationPath, task.splitDestination, PathForm::Full);
    const bool sourceTaken = TakeUserPath(sourcePath, task.splitSource, PathForm::Full);
    LogMessage(task, IDS_SOURCE_LINE, static_cast<const WCHAR*>(sourcePath.text));
    LogMessage(task, IDS_SAVE_TO_LINE, static_cast<const WCHAR*>(destinationPath.text));

    WCHAR temporaryPath[kTextBufferSize];
    const bool haveTemporary =
        TakeTempDirectory(task, destinationTaken ? destinationPath.text : nullptr, nullptr, temporaryPath);
    LogMessage(task, task.splitCheck ? IDS_CHECK_ON_LINE : IDS_CHECK_OFF_LINE);
    LARGE_INTEGER partSize;
    partSize.QuadPart = ChoosePartSize(task);
    AppendLog(task, WSTR(""));

    bool split = false;
    DWORD reason = ERROR_SUCCESS;
    if (haveTemporary) {
        const CallbackRegistration callback(SplitMessageCallback);
        WimHandle wim;
        if (!callback) {
            LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        } else {
            LogMessage(task, IDS_OPENING_WIM);
            if (!sourceTaken || !destinationTaken) {
                SetLastError(sourceTaken ? destinationPath.refusal : sourcePath.refusal);
                LogFailure(task, IDS_OPEN_WIM_FAILED);
            } else {
                DWORD creationResult = 0;
                wim = WIMCreateFile(sourcePath.text, WIM_GENERIC_READ, WIM_OPEN_EXISTING,
                                    WIM_FLAG_SOLID | (task.splitCheck ? WIM_FLAG_VERIFY : 0),
                                    WIM_COMPRESS_NONE, &creationResult);
                if (!wim)
                    LogFailure(task, IDS_OPEN_WIM_FAILED);
            }
        }
        SetProgressPercent(task, 25);
        if (wim)
            split = SplitOpenedFile(task, wim.get(), destinationPath.text, partSize, reason);
    } else {
        SetProgressPercent(task, 25);
    }

    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    if (!split) {
        LogMessage(task, IDS_SPLIT_FAILED);
        if (reason == ERROR_MORE_DATA)
            LogMessage(task, IDS_SPLIT_SIZE_TOO_SMALL);
        else if (reason != ERROR_SUCCESS)
            LogErrorText(task, reason);
        return false;
    }
    LogMessage(task, IDS_SPLIT_DONE);
    return true;
}
