#include "operations/operations.h"
#include "progress/log.h"

// Not built yet: says so in the log and fails.
bool RunCapture(TaskState& task, bool append)
{
    (void)append;
    AppendLog(task, WSTR("This operation is not available yet."));
    return false;
}
