#include "imaging/wimgapi.h"
#include "operations/operations.h"
#include "progress/log.h"

bool RunDelete(TaskState& task)
{
    WCHAR path[kTextBufferSize];
    CopyToBuffer(path, kTextBufferSize, task.deleteSource);
    WCHAR tempPath[kTextBufferSize] = {};
    GetTempPathW(kTextBufferSize, tempPath);
    const int index = task.deleteIndex;

    LogMessage(task, 162);
    DWORD creationResult = 0;
    HANDLE wim = WIMCreateFile(path, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING,
                               task.deleteCheck ? WIM_FLAG_VERIFY : 0, WIM_COMPRESS_NONE, &creationResult);
    if (wim == nullptr) {
        LogMessage(task, 163);
        return false;
    }
    if (!WIMSetTemporaryPath(wim, tempPath)) {
        LogMessage(task, 164);
        WIMCloseHandle(wim);
        return false;
    }
    WIM_INFO info = {};
    if (!WIMGetAttributes(wim, &info, sizeof info)) {
        LogMessage(task, 165);
        WIMCloseHandle(wim);
        return false;
    }
    if (info.ImageCount < static_cast<DWORD>(index)) {
        LogMessage(task, 166, index);
        WIMCloseHandle(wim);
        return false;
    }
    LogMessage(task, 225, index);
    if (!WIMDeleteImage(wim, static_cast<DWORD>(index))) {
        LogMessage(task, 224, index);
        WIMCloseHandle(wim);
        return false;
    }

    SetProgressPercent(task, 50);
    AppendLog(task, WSTR(""));
    if (task.deleteCheck)
        LogMessage(task, 172);
    WIMCloseHandle(wim);
    SetProgressPercent(task, 100);
    LogClosingLine(task, 174, 173);
    return true;
}
