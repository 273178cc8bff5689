#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"
#include "operations/operations.h"

void LogImageFieldFailure(TaskState& task, WStringView element)
{
    const DWORD code = GetLastError();
    // wimlib keeps image names unique and refuses a second one; the system
    // text for that code ("file already exists") would mislead.
    if (code == ERROR_ALREADY_EXISTS && element == WSTR("NAME")) {
        WCHAR reason[kTextBufferSize];
        LogMessage(task, IDS_ERROR_REASON,
                   static_cast<const WCHAR*>(LoadTableString(IDS_NAME_TAKEN, reason)));
    } else {
        LogErrorText(task, code);
    }
    SetLastError(code);
}

bool RefuseSplitPart(TaskState& task, const WIM_INFO& info, UINT lineId, int index)
{
    if (info.TotalParts <= 1)
        return false;
    WCHAR reason[kTextBufferSize];
    LogMessage(task, lineId, index);
    LoadMessage(reason, IDS_SPLIT_PART, static_cast<int>(info.PartNumber), static_cast<int>(info.TotalParts));
    LogMessage(task, IDS_ERROR_REASON, static_cast<const WCHAR*>(reason));
    SetLastError(ERROR_NOT_SUPPORTED);
    return true;
}
