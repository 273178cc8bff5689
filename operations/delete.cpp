#include "base/log.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/operations.h"

bool RunDelete(TaskState& task)
{
    const int index = task.deleteIndex;
    WimHandle wim(OpenWimForUpdate(task, task.deleteSource, index, task.deleteCheck));
    if (!wim)
        return false;
    LogMessage(task, 225, index);
    if (!WIMDeleteImage(wim.get(), static_cast<DWORD>(index))) {
        LogFailure(task, 224, index);
        return false;
    }

    SetProgressPercent(task, 50);
    AppendLog(task, WSTR(""));
    if (task.deleteCheck)
        LogMessage(task, 172);
    wim.Release();
    SetProgressPercent(task, 100);
    LogClosingLine(task, 174, 173);
    return true;
}
