// Exporting an image into another WIM file. Not available yet: every call fails with
// ERROR_CALL_NOT_IMPLEMENTED.
#include "imaging/wimlib/layer.h"

namespace layer {

BOOL WINAPI LayerExportImage(HANDLE, HANDLE, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace layer
