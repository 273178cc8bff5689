// Capturing a folder into a new image. Not available yet: every call fails with
// ERROR_CALL_NOT_IMPLEMENTED.
#include "imaging/wimlib/layer.h"

namespace layer {

HANDLE WINAPI LayerCaptureImage(HANDLE, PCWSTR, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

}  // namespace layer
