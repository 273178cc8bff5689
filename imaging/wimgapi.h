// The imaging library as the operations see it: the calls, records and
// constants of the Windows imaging library (wimgapi.dll). Every call goes
// through one table, so a build can bind the system library, the wimlib
// layer, or a scripted library in tests.
#pragma once

#include <windows.h>

// Access, dispositions, flags
#define WIM_GENERIC_READ 0x80000000u
#define WIM_GENERIC_WRITE 0x40000000u
#define WIM_GENERIC_MOUNT 0x20000000u

#define WIM_CREATE_NEW 1
#define WIM_CREATE_ALWAYS 2
#define WIM_OPEN_EXISTING 3
#define WIM_OPEN_ALWAYS 4

#define WIM_COMPRESS_NONE 0
#define WIM_COMPRESS_XPRESS 1
#define WIM_COMPRESS_LZX 2
#define WIM_COMPRESS_LZMS 3

#define WIM_CREATED_NEW 0
#define WIM_OPENED_EXISTING 1

#define WIM_FLAG_RESERVED 0x00000001
#define WIM_FLAG_VERIFY 0x00000002
#define WIM_FLAG_INDEX 0x00000004
#define WIM_FLAG_NO_APPLY 0x00000008
#define WIM_FLAG_NO_DIRACL 0x00000010
#define WIM_FLAG_NO_FILEACL 0x00000020
#define WIM_FLAG_SHARE_WRITE 0x00000040
#define WIM_FLAG_FILEINFO 0x00000080
#define WIM_FLAG_NO_RP_FIX 0x00000100
#define WIM_FLAG_MOUNT_READONLY 0x00000200
// WIMCreateFile: with WIM_COMPRESS_LZMS, a new file is written solid (an ESD).
// The library also opens an existing solid file, and takes a solid part as a
// reference (WIMSetReferenceFile), only when the caller passes it.
#define WIM_FLAG_SOLID 0x20000000

#define WIM_EXPORT_ALLOW_DUPLICATES 0x00000001

// WIMSetReferenceFile: the file joins the handle's references, or replaces them.
#define WIM_REFERENCE_APPEND 0x00010000
#define WIM_REFERENCE_REPLACE 0x00020000

// WIM_INFO.WimAttributes
#define WIM_ATTRIBUTE_NORMAL 0x00000000
#define WIM_ATTRIBUTE_RESOURCE_ONLY 0x00000001
#define WIM_ATTRIBUTE_METADATA_ONLY 0x00000002
#define WIM_ATTRIBUTE_VERIFY_DATA 0x00000004
#define WIM_ATTRIBUTE_RP_FIX 0x00000008
#define WIM_ATTRIBUTE_SPANNED 0x00000010
#define WIM_ATTRIBUTE_READONLY 0x00000020

// Messages sent to the registered callback
#define WIM_MSG 0x9476u
#define WIM_MSG_TEXT (WIM_MSG + 1)
#define WIM_MSG_PROGRESS (WIM_MSG + 2)
#define WIM_MSG_PROCESS (WIM_MSG + 3)
#define WIM_MSG_SCANNING (WIM_MSG + 4)
#define WIM_MSG_SETRANGE (WIM_MSG + 5)
#define WIM_MSG_SETPOS (WIM_MSG + 6)
#define WIM_MSG_STEPIT (WIM_MSG + 7)
#define WIM_MSG_COMPRESS (WIM_MSG + 8)
#define WIM_MSG_ERROR (WIM_MSG + 9)
#define WIM_MSG_ALIGNMENT (WIM_MSG + 10)
#define WIM_MSG_RETRY (WIM_MSG + 11)
#define WIM_MSG_SPLIT (WIM_MSG + 12)
#define WIM_MSG_FILEINFO (WIM_MSG + 13)
#define WIM_MSG_INFO (WIM_MSG + 14)
#define WIM_MSG_WARNING (WIM_MSG + 15)
#define WIM_MSG_CHK_PROCESS (WIM_MSG + 16)
#define WIM_MSG_WARNING_OBJECTID (WIM_MSG + 17)
#define WIM_MSG_STALE_MOUNT_DIR (WIM_MSG + 18)
#define WIM_MSG_STALE_MOUNT_FILE (WIM_MSG + 19)
#define WIM_MSG_MOUNT_CLEANUP_PROGRESS (WIM_MSG + 20)
#define WIM_MSG_CLEANUP_SCANNING_DRIVE (WIM_MSG + 21)
#define WIM_MSG_IMAGE_ALREADY_MOUNTED (WIM_MSG + 22)
#define WIM_MSG_CLEANUP_UNMOUNTING_IMAGE (WIM_MSG + 23)
#define WIM_MSG_QUERY_ABORT (WIM_MSG + 24)
// Two the library sends without publishing a name. The first comes while a
// file's integrity table is checked, and also as a bare "still working" beat
// during long steps without a measure (a split, an unmount's clean-up); the
// second while an integrity table is added to a file being written.
#define WIM_MSG_VERIFYING_INTEGRITY (WIM_MSG + 29)
#define WIM_MSG_ADDING_INTEGRITY (WIM_MSG + 33)
// Sent only by Corvane's own layer (the linux build's library), never by the
// system's: a temporary file that an earlier, killed write of the layer left
// was removed. WPARAM: its path (PCWSTR); LPARAM: 0.
#define WIM_MSG_LEFTOVER_REMOVED (WIM_MSG + 0x100)

// Callback verdicts
#define WIM_MSG_SUCCESS ERROR_SUCCESS
#define WIM_MSG_DONE 0xFFFFFFF0u
#define WIM_MSG_SKIP_ERROR 0xFFFFFFFEu
#define WIM_MSG_ABORT_IMAGE 0xFFFFFFFFu

#define INVALID_CALLBACK_VALUE 0xFFFFFFFFu

#pragma pack(push, 4)
struct WIM_INFO {
    WCHAR WimPath[MAX_PATH];
    GUID Guid;
    DWORD ImageCount;
    DWORD CompressionType;
    WORD PartNumber;
    WORD TotalParts;
    DWORD BootIndex;
    DWORD WimAttributes;
    DWORD WimFlagsAndAttr;
};

struct WIM_MOUNT_LIST {
    WCHAR WimPath[MAX_PATH];
    WCHAR MountPath[MAX_PATH];
    DWORD ImageIndex;
    BOOL MountedForRW;
};
#pragma pack(pop)

// One entry of WIMFindFirstImageFile / WIMFindNextImageFile: WIN32_FIND_DATAW
// and what the image knows beyond it. Newer systems' library writes fields
// past these, so callers give it kFindDataSpare bytes more.
struct WIM_FIND_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;  // the reparse tag of a reparse point
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
    BYTE bHash[20];
    PSECURITY_DESCRIPTOR pSecurityDescriptor;
    PWSTR* ppszAlternateStreamNames;  // null-terminated list, or null
    PBYTE pbReparseData;
    DWORD cbReparseData;
    ULARGE_INTEGER uliResourceSize;
};
typedef WIM_FIND_DATA* PWIM_FIND_DATA;
constexpr size_t kFindDataSpare = 32;

static_assert(sizeof(WIM_INFO) == 560, "WIM_INFO is 560 bytes");
static_assert(offsetof(WIM_FIND_DATA, bHash) == 592, "WIM_FIND_DATA starts as WIN32_FIND_DATAW");
static_assert(sizeof(WIM_MOUNT_LIST) == 1048, "WIM_MOUNT_LIST is 1048 bytes");

typedef DWORD(CALLBACK* WIMMessageCallback)(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);

// Every entry point of the library, once: X(name without its WIM prefix,
// field of ImagingLibrary, result, failure value, parameter list, argument
// list). The interface table and the calls below, the windows build's
// binding, the layer's declarations, exports and .spec, and the scripted test
// library are all made from it.
// clang-format off
#define WIMGAPI_ENTRY_POINTS(X)                                                                              \
    X(RegisterMessageCallback, registerMessageCallback, DWORD, INVALID_CALLBACK_VALUE,                       \
      (HANDLE wim, WIMMessageCallback callback, PVOID userData), (wim, callback, userData))                  \
    X(UnregisterMessageCallback, unregisterMessageCallback, BOOL, FALSE,                                     \
      (HANDLE wim, WIMMessageCallback callback), (wim, callback))                                            \
    X(CreateFile, createFile, HANDLE, nullptr,                                                               \
      (PCWSTR path, DWORD access, DWORD disposition, DWORD flags, DWORD compression, PDWORD creationResult), \
      (path, access, disposition, flags, compression, creationResult))                                       \
    X(SetTemporaryPath, setTemporaryPath, BOOL, FALSE, (HANDLE wim, PCWSTR path), (wim, path))               \
    X(GetAttributes, getAttributes, BOOL, FALSE, (HANDLE wim, WIM_INFO * info, DWORD size),                  \
      (wim, info, size))                                                                                     \
    X(GetImageCount, getImageCount, DWORD, 0, (HANDLE wim), (wim))                                           \
    X(LoadImage, loadImage, HANDLE, nullptr, (HANDLE wim, DWORD index), (wim, index))                        \
    X(CaptureImage, captureImage, HANDLE, nullptr, (HANDLE wim, PCWSTR path, DWORD flags),                   \
      (wim, path, flags))                                                                                    \
    X(ApplyImage, applyImage, BOOL, FALSE, (HANDLE image, PCWSTR path, DWORD flags), (image, path, flags))   \
    X(ExportImage, exportImage, BOOL, FALSE, (HANDLE image, HANDLE destinationWim, DWORD flags),             \
      (image, destinationWim, flags))                                                                        \
    X(DeleteImage, deleteImage, BOOL, FALSE, (HANDLE wim, DWORD index), (wim, index))                        \
    X(SetBootImage, setBootImage, BOOL, FALSE, (HANDLE wim, DWORD index), (wim, index))                      \
    X(GetImageInformation, getImageInformation, BOOL, FALSE, (HANDLE handle, PVOID * buffer, PDWORD size),   \
      (handle, buffer, size))                                                                                \
    X(SetImageInformation, setImageInformation, BOOL, FALSE, (HANDLE handle, PVOID buffer, DWORD size),      \
      (handle, buffer, size))                                                                                \
    X(MountImageHandle, mountImageHandle, BOOL, FALSE, (HANDLE image, PCWSTR mountPath, DWORD flags),        \
      (image, mountPath, flags))                                                                             \
    X(GetMountedImages, getMountedImages, BOOL, FALSE, (WIM_MOUNT_LIST * list, PDWORD size), (list, size))   \
    X(GetMountedImageHandle, getMountedImageHandle, BOOL, FALSE,                                             \
      (PCWSTR mountPath, DWORD flags, PHANDLE wim, PHANDLE image), (mountPath, flags, wim, image))           \
    X(CommitImageHandle, commitImageHandle, BOOL, FALSE, (HANDLE image, DWORD flags, PHANDLE newImage),      \
      (image, flags, newImage))                                                                              \
    X(UnmountImageHandle, unmountImageHandle, BOOL, FALSE, (HANDLE image, DWORD flags), (image, flags))      \
    X(SplitFile, splitFile, BOOL, FALSE,                                                                     \
      (HANDLE wim, PCWSTR partPath, PLARGE_INTEGER partSize, DWORD flags), (wim, partPath, partSize, flags)) \
    X(SetReferenceFile, setReferenceFile, BOOL, FALSE, (HANDLE wim, PCWSTR path, DWORD flags),               \
      (wim, path, flags))                                                                                    \
    X(FindFirstImageFile, findFirstImageFile, HANDLE, nullptr,                                               \
      (HANDLE image, PCWSTR filePath, PWIM_FIND_DATA findData), (image, filePath, findData))                 \
    X(FindNextImageFile, findNextImageFile, BOOL, FALSE, (HANDLE find, PWIM_FIND_DATA findData),             \
      (find, findData))                                                                                      \
    X(ExtractImagePath, extractImagePath, BOOL, FALSE,                                                       \
      (HANDLE image, PCWSTR imagePath, PCWSTR destinationPath, DWORD flags),                                 \
      (image, imagePath, destinationPath, flags))                                                            \
    X(CloseHandle, closeHandle, BOOL, FALSE, (HANDLE handle), (handle))
// clang-format on

// One entry per library call, with the library's own arguments and results.
#define WIMGAPI_TABLE_FIELD(stem, field, result, failure, parameters, arguments)                             \
    result(WINAPI* field) parameters;
struct ImagingLibrary {
    WIMGAPI_ENTRY_POINTS(WIMGAPI_TABLE_FIELD)
};
#undef WIMGAPI_TABLE_FIELD

// The library this build binds by default: the wimlib layer in the linux
// build, wimgapi.dll in the windows build.
const ImagingLibrary& PlatformImagingLibrary();

// The library in use; tests put a scripted one in place and back.
const ImagingLibrary& Imaging();
const ImagingLibrary* SetImagingLibrary(const ImagingLibrary* library);

// The calls, named as the library names them.
#define WIMGAPI_CALL(stem, field, result, failure, parameters, arguments)                                    \
    inline result WIM##stem parameters                                                                       \
    {                                                                                                        \
        return Imaging().field arguments;                                                                    \
    }
WIMGAPI_ENTRY_POINTS(WIMGAPI_CALL)
#undef WIMGAPI_CALL
