// Every wimgapi.dll entry point the program calls, in the order of
// ImagingLibrary's fields: X(name, field, result, failure value, parameter
// list, argument list). The windows build binds them from the system's
// library; the linux build exports them from its own wimgapi.dll.
#pragma once

#include "imaging/wimgapi.h"

// clang-format off
#define WIMGAPI_ENTRY_POINTS(X)                                                                              \
    X(WIMRegisterMessageCallback, registerMessageCallback, DWORD, INVALID_CALLBACK_VALUE,                    \
      (HANDLE wim, WIMMessageCallback callback, PVOID userData), (wim, callback, userData))                  \
    X(WIMUnregisterMessageCallback, unregisterMessageCallback, BOOL, FALSE,                                  \
      (HANDLE wim, WIMMessageCallback callback), (wim, callback))                                            \
    X(WIMCreateFile, createFile, HANDLE, nullptr,                                                            \
      (PCWSTR path, DWORD access, DWORD disposition, DWORD flags, DWORD compression, PDWORD creationResult), \
      (path, access, disposition, flags, compression, creationResult))                                       \
    X(WIMSetTemporaryPath, setTemporaryPath, BOOL, FALSE, (HANDLE wim, PCWSTR path), (wim, path))            \
    X(WIMGetAttributes, getAttributes, BOOL, FALSE, (HANDLE wim, WIM_INFO * info, DWORD size),               \
      (wim, info, size))                                                                                     \
    X(WIMGetImageCount, getImageCount, DWORD, 0, (HANDLE wim), (wim))                                        \
    X(WIMLoadImage, loadImage, HANDLE, nullptr, (HANDLE wim, DWORD index), (wim, index))                     \
    X(WIMCaptureImage, captureImage, HANDLE, nullptr, (HANDLE wim, PCWSTR path, DWORD flags),                \
      (wim, path, flags))                                                                                    \
    X(WIMApplyImage, applyImage, BOOL, FALSE, (HANDLE image, PCWSTR path, DWORD flags), (image, path, flags)) \
    X(WIMExportImage, exportImage, BOOL, FALSE, (HANDLE image, HANDLE destinationWim, DWORD flags),          \
      (image, destinationWim, flags))                                                                        \
    X(WIMDeleteImage, deleteImage, BOOL, FALSE, (HANDLE wim, DWORD index), (wim, index))                     \
    X(WIMSetBootImage, setBootImage, BOOL, FALSE, (HANDLE wim, DWORD index), (wim, index))                   \
    X(WIMGetImageInformation, getImageInformation, BOOL, FALSE, (HANDLE handle, PVOID * buffer, PDWORD size), \
      (handle, buffer, size))                                                                                \
    X(WIMSetImageInformation, setImageInformation, BOOL, FALSE, (HANDLE handle, PVOID buffer, DWORD size),   \
      (handle, buffer, size))                                                                                \
    X(WIMMountImageHandle, mountImageHandle, BOOL, FALSE, (HANDLE image, PCWSTR mountPath, DWORD flags),     \
      (image, mountPath, flags))                                                                             \
    X(WIMGetMountedImages, getMountedImages, BOOL, FALSE, (WIM_MOUNT_LIST * list, PDWORD size), (list, size)) \
    X(WIMGetMountedImageHandle, getMountedImageHandle, BOOL, FALSE,                                          \
      (PCWSTR mountPath, DWORD flags, PHANDLE wim, PHANDLE image), (mountPath, flags, wim, image))           \
    X(WIMCommitImageHandle, commitImageHandle, BOOL, FALSE, (HANDLE image, DWORD flags, PHANDLE newImage),   \
      (image, flags, newImage))                                                                              \
    X(WIMUnmountImageHandle, unmountImageHandle, BOOL, FALSE, (HANDLE image, DWORD flags), (image, flags))   \
    X(WIMSplitFile, splitFile, BOOL, FALSE,                                                                  \
      (HANDLE wim, PCWSTR partPath, PLARGE_INTEGER partSize, DWORD flags), (wim, partPath, partSize, flags)) \
    X(WIMCloseHandle, closeHandle, BOOL, FALSE, (HANDLE handle), (handle))
// clang-format on
