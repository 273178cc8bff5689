// How wimlib's errors and errno read as Win32 last-error codes, so the
// program's system texts tell the user the real cause.
#include "imaging/wimlib/layer.h"

#include <cerrno>

namespace layer {

namespace {

// How one wimlib error reads as a Win32 error. Entries marked fromErrno come
// from a failed system call; the errno it left picks the closer code.
struct ErrorMapping {
    int wimlib;
    DWORD win32;
    bool fromErrno = false;
};

constexpr ErrorMapping kErrorTable[] = {
    {.wimlib = WIMLIB_ERR_SUCCESS, .win32 = ERROR_SUCCESS},
    {.wimlib = WIMLIB_ERR_ALREADY_LOCKED, .win32 = ERROR_SHARING_VIOLATION},
    {.wimlib = WIMLIB_ERR_DECOMPRESSION, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_FUSE, .win32 = ERROR_GEN_FAILURE},
    {.wimlib = WIMLIB_ERR_GLOB_HAD_NO_MATCHES, .win32 = ERROR_FILE_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_IMAGE_COUNT, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_IMAGE_NAME_COLLISION, .win32 = ERROR_ALREADY_EXISTS},
    {.wimlib = WIMLIB_ERR_INSUFFICIENT_PRIVILEGES, .win32 = ERROR_PRIVILEGE_NOT_HELD},
    {.wimlib = WIMLIB_ERR_INTEGRITY, .win32 = ERROR_CRC},
    {.wimlib = WIMLIB_ERR_INVALID_CAPTURE_CONFIG, .win32 = ERROR_INVALID_DATA},
    {.wimlib = WIMLIB_ERR_INVALID_CHUNK_SIZE, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_COMPRESSION_TYPE, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_HEADER, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_INVALID_IMAGE, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_INTEGRITY_TABLE, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_INVALID_LOOKUP_TABLE_ENTRY, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_INVALID_METADATA_RESOURCE, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_INVALID_OVERLAY, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_PARAM, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_PART_NUMBER, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_INVALID_PIPABLE_WIM, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_INVALID_REPARSE_DATA, .win32 = ERROR_INVALID_REPARSE_DATA},
    {.wimlib = WIMLIB_ERR_INVALID_RESOURCE_HASH, .win32 = ERROR_CRC},
    {.wimlib = WIMLIB_ERR_INVALID_UTF16_STRING, .win32 = ERROR_NO_UNICODE_TRANSLATION},
    {.wimlib = WIMLIB_ERR_INVALID_UTF8_STRING, .win32 = ERROR_NO_UNICODE_TRANSLATION},
    {.wimlib = WIMLIB_ERR_IS_DIRECTORY, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_IS_SPLIT_WIM, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_LINK, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_METADATA_NOT_FOUND, .win32 = ERROR_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_MKDIR, .win32 = ERROR_CANNOT_MAKE, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_MQUEUE, .win32 = ERROR_GEN_FAILURE},
    {.wimlib = WIMLIB_ERR_NOMEM, .win32 = ERROR_NOT_ENOUGH_MEMORY},
    {.wimlib = WIMLIB_ERR_NOTDIR, .win32 = ERROR_DIRECTORY},
    {.wimlib = WIMLIB_ERR_NOTEMPTY, .win32 = ERROR_DIR_NOT_EMPTY},
    {.wimlib = WIMLIB_ERR_NOT_A_REGULAR_FILE, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_NOT_A_WIM_FILE, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_NOT_PIPABLE, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_NO_FILENAME, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_NTFS_3G, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_OPEN, .win32 = ERROR_OPEN_FAILED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_OPENDIR, .win32 = ERROR_PATH_NOT_FOUND, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_PATH_DOES_NOT_EXIST, .win32 = ERROR_PATH_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_READ, .win32 = ERROR_READ_FAULT, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_READLINK, .win32 = ERROR_READ_FAULT, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_RENAME, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_REPARSE_POINT_FIXUP_FAILED, .win32 = ERROR_INVALID_REPARSE_DATA},
    {.wimlib = WIMLIB_ERR_RESOURCE_NOT_FOUND, .win32 = ERROR_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_RESOURCE_ORDER, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_SET_ATTRIBUTES, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SET_REPARSE_DATA, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SET_SECURITY, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SET_SHORT_NAME, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SET_TIMESTAMPS, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SPLIT_INVALID, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_STAT, .win32 = ERROR_FILE_NOT_FOUND, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_UNEXPECTED_END_OF_FILE, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_UNICODE_STRING_NOT_REPRESENTABLE, .win32 = ERROR_NO_UNICODE_TRANSLATION},
    {.wimlib = WIMLIB_ERR_UNKNOWN_VERSION, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_UNSUPPORTED, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_UNSUPPORTED_FILE, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_WIM_IS_READONLY, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_WRITE, .win32 = ERROR_WRITE_FAULT, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_XML, .win32 = ERROR_INVALID_DATA},
    {.wimlib = WIMLIB_ERR_WIM_IS_ENCRYPTED, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_WIMBOOT, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_ABORTED_BY_PROGRESS, .win32 = ERROR_REQUEST_ABORTED},
    {.wimlib = WIMLIB_ERR_UNKNOWN_PROGRESS_STATUS, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_MKNOD, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_MOUNTED_IMAGE_IS_BUSY, .win32 = ERROR_BUSY},
    {.wimlib = WIMLIB_ERR_NOT_A_MOUNTPOINT, .win32 = ERROR_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_NOT_PERMITTED_TO_UNMOUNT, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_FVE_LOCKED_VOLUME, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_UNABLE_TO_READ_CAPTURE_CONFIG, .win32 = ERROR_READ_FAULT, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_WIM_IS_INCOMPLETE, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_COMPACTION_NOT_POSSIBLE, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_IMAGE_HAS_MULTIPLE_REFERENCES, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_DUPLICATE_EXPORTED_IMAGE, .win32 = ERROR_ALREADY_EXISTS},
    {.wimlib = WIMLIB_ERR_CONCURRENT_MODIFICATION_DETECTED, .win32 = ERROR_SHARING_VIOLATION},
    {.wimlib = WIMLIB_ERR_SNAPSHOT_FAILURE, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_INVALID_XATTR, .win32 = ERROR_INVALID_DATA},
    {.wimlib = WIMLIB_ERR_SET_XATTR, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
};

}  // namespace

DWORD Win32FromErrno(int error, DWORD fallback)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EBUSY:
        return ERROR_BUSY;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    default:
        return fallback;
    }
}

DWORD Win32FromWimlib(int code, int savedErrno)
{
    for (const ErrorMapping& mapping : kErrorTable) {
        if (mapping.wimlib == code)
            return mapping.fromErrno ? Win32FromErrno(savedErrno, mapping.win32) : mapping.win32;
    }
    return ERROR_GEN_FAILURE;
}

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

}  // namespace layer
