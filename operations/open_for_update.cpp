#include "base/log.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/operations.h"

HANDLE OpenWimForUpdate(TaskState& task, const WString& source, int index, bool check)
{
    WCHAR tempPath[kTextBufferSize] = {};
    GetTempPathW(kTextBufferSize, tempPath);

    LogMessage(task, 162);
    UserPath path;
    if (!TakeUserPath(path, source)) {
        LogFailure(task, 163);
        return nullptr;
    }
    DWORD creationResult = 0;
    WimHandle wim(WIMCreateFile(path.text, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING,
                                check ? WIM_FLAG_VERIFY : 0, WIM_COMPRESS_NONE, &creationResult));
    if (!wim) {
        LogFailure(task, 163);
        return nullptr;
    }
    WIM_INFO info = {};
    if (!WIMSetTemporaryPath(wim.get(), tempPath)) {
        LogFailure(task, 164);
    } else if (!WIMGetAttributes(wim.get(), &info, sizeof info)) {
        LogFailure(task, 165);
    } else if (info.ImageCount < static_cast<DWORD>(index)) {
        // The line itself is the whole reason: there is no system error.
        LogMessage(task, 166, index);
    } else {
        return wim.Take();
    }
    return nullptr;
}
