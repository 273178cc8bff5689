#include "base/log.h"
#include "imaging/wimgapi.h"
#include "operations/operations.h"

bool RunDelete(TaskState& task)
{
    const int index = task.deleteIndex;
    HANDLE wim = OpenWimForUpdate(task, task.deleteSource, index, task.deleteCheck);
    if (wim == nullptr)
        return false;
    LogMessage(task, 225, index);
    if (!WIMDeleteImage(wim, static_cast<DWORD>(index))) {
        LogFailure(task, 224, index);
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
