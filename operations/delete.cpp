#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/operations.h"

bool RunDelete(TaskState& task)
{
    const int index = task.deleteIndex;
    WimHandle wim(OpenWimForUpdate(task, task.deleteSource, index, task.deleteCheck));
    if (!wim)
        return false;
    LogMessage(task, IDS_DELETING, index);
    if (!WIMDeleteImage(wim.get(), static_cast<DWORD>(index))) {
        LogFailure(task, IDS_DELETE_FAILED, index);
        return false;
    }

    SetProgressPercent(task, 50);
    AppendLog(task, WSTR(""));
    if (task.deleteCheck)
        LogMessage(task, IDS_ADDING_INTEGRITY);
    // The library writes the file without the image as the handle closes.
    if (!wim.Close()) {
        LogFailure(task, IDS_DELETE_FAILED, index);
        return false;
    }
    SetProgressPercent(task, 100);
    LogClosingLine(task, IDS_OPERATION_DONE, IDS_OPERATION_DONE_TIMED);
    return true;
}
