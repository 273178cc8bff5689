#include "metadata/windows_probe.h"

// Not built yet: the image keeps the XML the library wrote.
void ProbeOfflineWindows(TaskState& task, HANDLE image, const WCHAR* sourceDirectory,
                         const WCHAR* tempDirectory)
{
    (void)task;
    (void)image;
    (void)sourceDirectory;
    (void)tempDirectory;
}
