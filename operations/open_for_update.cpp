#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/operations.h"
#include "operations/split_set.h"

HANDLE OpenWimForUpdate(TaskState& task, const WString& source, int index, bool check)
{
    WCHAR tempPath[kTextBufferSize] = {};
    GetTempPathW(kTextBufferSize, tempPath);

    LogMessage(task, IDS_OPENING_WIM);
    UserPath path;
    if (!TakeUserPath(path, source)) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return nullptr;
    }
    if (RefuseSetPart(task, path.text, IDS_OPEN_WIM_FAILED))
        return nullptr;
    DWORD creationResult = 0;
    WimHandle wim(WIMCreateFile(path.text, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING,
                                WIM_FLAG_SOLID | (check ? WIM_FLAG_VERIFY : 0), WIM_COMPRESS_NONE,
                                &creationResult));
    if (!wim) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return nullptr;
    }
    WIM_INFO info = {};
    if (!WIMSetTemporaryPath(wim.get(), tempPath)) {
        LogFailure(task, IDS_TEMP_FOLDER_FAILED);
    } else if (!WIMGetAttributes(wim.get(), &info, sizeof info)) {
        LogFailure(task, IDS_ATTRIBUTES_FAILED);
    } else if (info.ImageCount < static_cast<DWORD>(index)) {
        // The line itself is the whole reason: there is no system error.
        LogMessage(task, IDS_NO_SUCH_IMAGE, index);
    } else {
        return wim.Take();
    }
    return nullptr;
}
