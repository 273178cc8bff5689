#include "operations/operations.h"
#include "progress/log.h"

// Not built yet: says so in the log and fails.
bool RunMount(TaskState& task)
{
    AppendLog(task, WSTR("This operation is not available yet."));
    return false;
}

bool RunUnmount(TaskState& task)
{
    AppendLog(task, WSTR("This operation is not available yet."));
    return false;
}
