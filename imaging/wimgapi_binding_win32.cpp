// The imaging library of the windows build: the system's wimgapi.dll, bound
// at run time. It is loaded once, from the system folder only, so no DLL
// beside the program is picked up in its place. A missing library or entry
// point is an ordinary failure: the call sets ERROR_MOD_NOT_FOUND or
// ERROR_PROC_NOT_FOUND and returns the library's failure value. Under Wine,
// whose wimgapi.dll is a stand-in, every call fails with
// ERROR_CALL_NOT_IMPLEMENTED.
#include "base/text.h"
#include "imaging/wimgapi.h"

#include <cstring>

namespace {

// Every entry point: X(name, result, failure value, parameter list, argument list).
#define WIMGAPI_ENTRY_POINTS(X)                                                                              \
    X(WIMRegisterMessageCallback, DWORD, INVALID_CALLBACK_VALUE,                                             \
      (HANDLE wim, WIMMessageCallback callback, PVOID userData), (wim, callback, userData))                  \
    X(WIMUnregisterMessageCallback, BOOL, FALSE, (HANDLE wim, WIMMessageCallback callback), (wim, callback)) \
    X(WIMCreateFile, HANDLE, nullptr,                                                                        \
      (PCWSTR path, DWORD access, DWORD disposition, DWORD flags, DWORD compression, PDWORD creationResult), \
      (path, access, disposition, flags, compression, creationResult))                                       \
    X(WIMSetTemporaryPath, BOOL, FALSE, (HANDLE wim, PCWSTR path), (wim, path))                              \
    X(WIMGetAttributes, BOOL, FALSE, (HANDLE wim, WIM_INFO * info, DWORD size), (wim, info, size))           \
    X(WIMGetImageCount, DWORD, 0, (HANDLE wim), (wim))                                                       \
    X(WIMLoadImage, HANDLE, nullptr, (HANDLE wim, DWORD index), (wim, index))                                \
    X(WIMCaptureImage, HANDLE, nullptr, (HANDLE wim, PCWSTR path, DWORD flags), (wim, path, flags))          \
    X(WIMApplyImage, BOOL, FALSE, (HANDLE image, PCWSTR path, DWORD flags), (image, path, flags))            \
    X(WIMExportImage, BOOL, FALSE, (HANDLE image, HANDLE destinationWim, DWORD flags),                       \
      (image, destinationWim, flags))                                                                        \
    X(WIMDeleteImage, BOOL, FALSE, (HANDLE wim, DWORD index), (wim, index))                                  \
    X(WIMSetBootImage, BOOL, FALSE, (HANDLE wim, DWORD index), (wim, index))                                 \
    X(WIMGetImageInformation, BOOL, FALSE, (HANDLE handle, PVOID * buffer, PDWORD size),                     \
      (handle, buffer, size))                                                                                \
    X(WIMSetImageInformation, BOOL, FALSE, (HANDLE handle, PVOID buffer, DWORD size),                        \
      (handle, buffer, size))                                                                                \
    X(WIMMountImageHandle, BOOL, FALSE, (HANDLE image, PCWSTR mountPath, DWORD flags),                       \
      (image, mountPath, flags))                                                                             \
    X(WIMGetMountedImages, BOOL, FALSE, (WIM_MOUNT_LIST * list, PDWORD size), (list, size))                  \
    X(WIMGetMountedImageHandle, BOOL, FALSE, (PCWSTR mountPath, DWORD flags, PHANDLE wim, PHANDLE image),    \
      (mountPath, flags, wim, image))                                                                        \
    X(WIMCommitImageHandle, BOOL, FALSE, (HANDLE image, DWORD flags, PHANDLE newImage),                      \
      (image, flags, newImage))                                                                              \
    X(WIMUnmountImageHandle, BOOL, FALSE, (HANDLE image, DWORD flags), (image, flags))                       \
    X(WIMSplitFile, BOOL, FALSE, (HANDLE wim, PCWSTR partPath, PLARGE_INTEGER partSize, DWORD flags),        \
      (wim, partPath, partSize, flags))                                                                      \
    X(WIMCloseHandle, BOOL, FALSE, (HANDLE handle), (handle))

// Declares the pointer type of one entry point, named after it.
#define WIMGAPI_DECLARE_TYPE(name, result, failure, parameters, arguments)                                   \
    using name##Pointer = result(WINAPI*) parameters;
WIMGAPI_ENTRY_POINTS(WIMGAPI_DECLARE_TYPE)

// The entry point's address as its own type. The detour through void(*)(void),
// the generic function pointer type, keeps the compiler from warning about a
// cast between unrelated function types.
template <typename Pointer>
Pointer EntryPoint(HMODULE module, const char* name)
{
    return reinterpret_cast<Pointer>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

#define WIMGAPI_DECLARE_FIELD(name, result, failure, parameters, arguments) name##Pointer name = nullptr;
// Binds one entry point of the loaded module; a missing one stays null.
#define WIMGAPI_BIND(name, result, failure, parameters, arguments)                                           \
    name = EntryPoint<name##Pointer>(module, #name);

// Wine ships a wimgapi.dll whose exports are mostly stubs that raise an
// exception when called. Wine marks its own DLLs in the DOS stub.
bool IsWineStandIn(HMODULE module)
{
    static const char kMark[] = "Wine builtin DLL";
    return std::memcmp(reinterpret_cast<const char*>(module) + sizeof(IMAGE_DOS_HEADER), kMark,
                       sizeof kMark - 1) == 0;
}

struct Binding {
    HMODULE module = nullptr;
    DWORD missing = ERROR_PROC_NOT_FOUND;  // the last error of a call that has no entry point
    WIMGAPI_ENTRY_POINTS(WIMGAPI_DECLARE_FIELD)

    void Load()
    {
        module = LoadLibraryExW(WSTR("wimgapi.dll"), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) {
            missing = ERROR_MOD_NOT_FOUND;
        } else if (IsWineStandIn(module)) {
            // Nothing bound: every call fails as not supported instead of crashing.
            missing = ERROR_CALL_NOT_IMPLEMENTED;
        } else {
            WIMGAPI_ENTRY_POINTS(WIMGAPI_BIND)
        }
    }
};

BOOL CALLBACK LoadBinding(PINIT_ONCE, PVOID binding, PVOID*)
{
    static_cast<Binding*>(binding)->Load();
    return TRUE;
}

// Loaded on the first call from whichever thread makes it; the library stays
// loaded until the process ends.
const Binding& Bound()
{
    static Binding binding;
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&once, LoadBinding, &binding, nullptr);
    return binding;
}

// One table entry per entry point: the bound function, or the failure value
// with the reason in the last error.
#define WIMGAPI_FORWARD(name, result, failure, parameters, arguments)                                        \
    result WINAPI Call##name parameters                                                                      \
    {                                                                                                        \
        const Binding& binding = Bound();                                                                    \
        if (binding.name == nullptr) {                                                                       \
            SetLastError(binding.missing);                                                                   \
            return failure;                                                                                  \
        }                                                                                                    \
        return binding.name arguments;                                                                       \
    }
WIMGAPI_ENTRY_POINTS(WIMGAPI_FORWARD)

const ImagingLibrary kSystemLibrary = {
    .registerMessageCallback = CallWIMRegisterMessageCallback,
    .unregisterMessageCallback = CallWIMUnregisterMessageCallback,
    .createFile = CallWIMCreateFile,
    .setTemporaryPath = CallWIMSetTemporaryPath,
    .getAttributes = CallWIMGetAttributes,
    .getImageCount = CallWIMGetImageCount,
    .loadImage = CallWIMLoadImage,
    .captureImage = CallWIMCaptureImage,
    .applyImage = CallWIMApplyImage,
    .exportImage = CallWIMExportImage,
    .deleteImage = CallWIMDeleteImage,
    .setBootImage = CallWIMSetBootImage,
    .getImageInformation = CallWIMGetImageInformation,
    .setImageInformation = CallWIMSetImageInformation,
    .mountImageHandle = CallWIMMountImageHandle,
    .getMountedImages = CallWIMGetMountedImages,
    .getMountedImageHandle = CallWIMGetMountedImageHandle,
    .commitImageHandle = CallWIMCommitImageHandle,
    .unmountImageHandle = CallWIMUnmountImageHandle,
    .splitFile = CallWIMSplitFile,
    .closeHandle = CallWIMCloseHandle,
};

}  // namespace

const ImagingLibrary& PlatformImagingLibrary()
{
    return kSystemLibrary;
}
