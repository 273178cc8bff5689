#include "operations/temp_directory.h"

#include "base/log.h"
#include "base/resource.h"

namespace {

bool TryCandidate(const WCHAR* candidate, WCHAR* buffer)
{
    if (candidate == nullptr)
        return false;
    NormaliseDirectory(candidate, buffer);
    return ProbeWritableDirectory(buffer);
}

}  // namespace

bool ChooseTempDirectory(const WCHAR* first, const WCHAR* second, WCHAR* buffer)
{
    if (TryCandidate(first, buffer) || TryCandidate(second, buffer))
        return true;
    WCHAR systemTemp[kTextBufferSize];
    DWORD length = GetTempPathW(kTextBufferSize, systemTemp);
    if (length > 0 && length < kTextBufferSize && TryCandidate(systemTemp, buffer))
        return true;
    DWORD error = GetLastError();
    buffer[0] = 0;
    SetLastError(error);
    return false;
}

void NormaliseDirectory(const WCHAR* path, WCHAR* buffer)
{
    WStringView given(path);
    if (given.size() == 2 && given[1] == ':') {
        CopyToBuffer(buffer, kTextBufferSize, WString(given) + WSTR("\\"));
        return;
    }
    WCHAR* lastComponent = nullptr;
    DWORD length = GetFullPathNameW(path, kTextBufferSize, buffer, &lastComponent);
    if (length == 0 || length >= kTextBufferSize) {
        buffer[0] = 0;
        return;
    }
    DWORD attributes = GetFileAttributesW(buffer);
    if ((attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) && lastComponent)
        *lastComponent = 0;  // a file, or a path not made yet: its folder
    length = static_cast<DWORD>(WStringView(buffer).size());
    bool driveRoot = length == 3 && buffer[1] == ':' && buffer[2] == '\\';
    if (!driveRoot && length > 0 && buffer[length - 1] == '\\')
        buffer[length - 1] = 0;
}

bool ProbeWritableDirectory(const WCHAR* directory)
{
    // A file of our own making, created only if its name is new and deleted
    // through its own handle, so the probe can never take another's file.
    // Built in a string: the folder may be longer than any fixed buffer.
    const WString folder = WithoutTrailingBackslash(directory);
    if (folder.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        const DWORD stamp =
            GetTickCount() ^ (GetCurrentThreadId() << 16) ^ (static_cast<DWORD>(attempt) * 0x9E3779B1u);
        const WString probe = folder + WSTR("\\CRV") + DecimalText(stamp) + WSTR(".tmp");
        HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) {
            SetLastError(ERROR_DIRECTORY);  // what the system's own probe says of a missing folder
            return false;
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool TakeTempDirectory(TaskState& task, const WCHAR* first, const WCHAR* second, WCHAR* buffer)
{
    const bool chosen = ChooseTempDirectory(first, second, buffer);
    const DWORD error = GetLastError();
    LogMessage(task, IDS_TEMP_FOLDER_LINE, static_cast<const WCHAR*>(buffer));
    if (!chosen) {
        LogMessage(task, IDS_TEMP_FOLDER_FAILED);
        LogErrorText(task, error);
    }
    SetLastError(error);
    return chosen;
}
