// Mounting images, the mounted-image list, commit and unmount. Not available yet: every call fails with
// ERROR_CALL_NOT_IMPLEMENTED.
#include "imaging/wimlib/layer.h"

namespace layer {

BOOL WINAPI LayerMountImageHandle(HANDLE, PCWSTR, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

BOOL WINAPI LayerGetMountedImages(WIM_MOUNT_LIST*, PDWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

BOOL WINAPI LayerGetMountedImageHandle(PCWSTR, DWORD, PHANDLE, PHANDLE)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

BOOL WINAPI LayerCommitImageHandle(HANDLE, DWORD, PHANDLE)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

BOOL WINAPI LayerUnmountImageHandle(HANDLE, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace layer
