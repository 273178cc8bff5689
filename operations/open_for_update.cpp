#include "imaging/wimgapi.h"
#include "operations/operations.h"
#include "progress/log.h"

HANDLE OpenWimForUpdate(TaskState& task, const WString& source, int index, bool check)
{
    WCHAR path[kTextBufferSize];
    CopyToBuffer(path, kTextBufferSize, source);
    WCHAR tempPath[kTextBufferSize] = {};
    GetTempPathW(kTextBufferSize, tempPath);

    LogMessage(task, 162);
    DWORD creationResult = 0;
    HANDLE wim = WIMCreateFile(path, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING,
                               check ? WIM_FLAG_VERIFY : 0, WIM_COMPRESS_NONE, &creationResult);
    if (wim == nullptr) {
        LogMessage(task, 163);
        return nullptr;
    }
    UINT failure = 0;
    WIM_INFO info = {};
    if (!WIMSetTemporaryPath(wim, tempPath))
        failure = 164;
    else if (!WIMGetAttributes(wim, &info, sizeof info))
        failure = 165;
    else if (info.ImageCount < static_cast<DWORD>(index))
        failure = 166;
    if (failure != 0) {
        LogMessage(task, failure, index);
        WIMCloseHandle(wim);
        return nullptr;
    }
    return wim;
}
