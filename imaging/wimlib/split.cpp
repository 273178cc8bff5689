// Splitting a WIM file into spanned parts. Not available yet: every call fails with
// ERROR_CALL_NOT_IMPLEMENTED.
#include "imaging/wimlib/layer.h"

namespace layer {

BOOL WINAPI LayerSplitFile(HANDLE, PCWSTR, PLARGE_INTEGER, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace layer
