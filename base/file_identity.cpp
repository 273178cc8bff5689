#include "base/file_identity.h"

namespace {

// Opened without following a final link, so the link itself is what is
// compared and removed, never the file it points to.
HANDLE OpenForIdentity(const WCHAR* path, DWORD access)
{
    return CreateFileW(path, access | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

FileIdentity IdentityOfHandle(HANDLE file)
{
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(file, &information)) {
        identity.volume = information.dwVolumeSerialNumber;
        identity.index =
            (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
        identity.known = true;
    }
    return identity;
}

}  // namespace

FileIdentity IdentityOfFile(const WCHAR* path)
{
    HANDLE file = OpenForIdentity(path, 0);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    const FileIdentity identity = IdentityOfHandle(file);
    CloseHandle(file);
    return identity;
}

bool DeleteFileIfSame(const WCHAR* path, const FileIdentity& identity)
{
    if (!identity.known) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    HANDLE file = OpenForIdentity(path, DELETE);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const FileIdentity now = IdentityOfHandle(file);
    bool deleted = false;
    if (!now.known) {
        // the last error is the failed query's
    } else if (now.volume != identity.volume || now.index != identity.index) {
        SetLastError(ERROR_FILE_EXISTS);  // another file has the name now
    } else {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        deleted =
            SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
    }
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(deleted ? ERROR_SUCCESS : error);
    return deleted;
}

MadeFile::~MadeFile()
{
    Release();
}

bool MadeFile::Hold(const WCHAR* path)
{
    Release();
    pin_ = OpenForIdentity(path, 0);
    if (pin_ == INVALID_HANDLE_VALUE)
        return false;
    identity_ = IdentityOfHandle(pin_);
    if (!identity_.known) {
        const DWORD error = GetLastError();
        Release();
        SetLastError(error);
        return false;
    }
    path_ = path;
    return true;
}

bool MadeFile::Remove()
{
    const bool removed = Held() && DeleteFileIfSame(path_.c_str(), identity_);
    const DWORD error = GetLastError();
    Release();
    SetLastError(error);
    return removed;
}

void MadeFile::Release()
{
    if (pin_ != INVALID_HANDLE_VALUE)
        CloseHandle(pin_);
    pin_ = INVALID_HANDLE_VALUE;
    identity_ = FileIdentity();
    path_.clear();
}
