#include "app/resource.h"
#include "operations/operations.h"
#include "progress/log.h"

void LogImageFieldFailure(TaskState& task, WStringView element)
{
    const DWORD code = GetLastError();
    // wimlib keeps image names unique and refuses a second one; the system
    // text for that code ("file already exists") would mislead.
    if (code == ERROR_ALREADY_EXISTS && element == WSTR("NAME")) {
        WCHAR reason[kTextBufferSize];
        LogMessage(task, 201, static_cast<const WCHAR*>(LoadTableString(IDS_NAME_TAKEN, reason)));
    } else {
        LogErrorText(task, code);
    }
    SetLastError(code);
}
