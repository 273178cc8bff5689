#include "imaging/wimgapi.h"
#include "operations/operations.h"
#include "operations/user_path.h"
#include "progress/log.h"

HANDLE OpenWimForUpdate(TaskState& task, const WString& source, int index, bool check)
{
    WCHAR tempPath[kTextBufferSize] = {};
    GetTempPathW(kTextBufferSize, tempPath);

    LogMessage(task, 162);
    WCHAR path[kTextBufferSize];
    if (!CopyUserPath(path, source)) {
        LogFailure(task, 163);
        return nullptr;
    }
    DWORD creationResult = 0;
    HANDLE wim = WIMCreateFile(path, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING,
                               check ? WIM_FLAG_VERIFY : 0, WIM_COMPRESS_NONE, &creationResult);
    if (wim == nullptr) {
        LogFailure(task, 163);
        return nullptr;
    }
    WIM_INFO info = {};
    if (!WIMSetTemporaryPath(wim, tempPath)) {
        LogFailure(task, 164);
    } else if (!WIMGetAttributes(wim, &info, sizeof info)) {
        LogFailure(task, 165);
    } else if (info.ImageCount < static_cast<DWORD>(index)) {
        // The line itself is the whole reason: there is no system error.
        LogMessage(task, 166, index);
    } else {
        return wim;
    }
    WIMCloseHandle(wim);
    return nullptr;
}
