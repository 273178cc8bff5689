// Applying an image to a folder. Not available yet: every call fails with
// ERROR_CALL_NOT_IMPLEMENTED.
#include "imaging/wimlib/layer.h"

namespace layer {

BOOL WINAPI LayerApplyImage(HANDLE, PCWSTR, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace layer
