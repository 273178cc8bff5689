// Mounting an image into a folder and unmounting it again, with or without
// its changes. Both run on the worker thread and cannot be aborted; the
// mount stays in place after the handles are closed, so a later run of the
// program finds it again through the library's list of mounted images.
#include "app/pages.h"
#include "imaging/wimgapi.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"
#include "progress/log.h"

#include <algorithm>
#include <vector>

namespace {

constexpr DWORD kMountListEntries = 32;
// Sent while an unmount cleans up; the library publishes no name for it.
constexpr DWORD kMountCleanupMessage = WIM_MSG + 29;

// The library's fixed-size path fields are not guaranteed to be terminated.
WString EntryText(const WCHAR (&field)[MAX_PATH])
{
    size_t length = 0;
    while (length < MAX_PATH && field[length] != 0)
        ++length;
    return WString(field, length);
}

// A mount path as the unmount compares it: one trailing backslash cut.
WString WithoutTrailingBackslash(WString path)
{
    if (!path.empty() && path.back() == '\\')
        path.pop_back();
    return path;
}

bool SameMountPath(const WString& a, const WString& b)
{
    const WString left = WithoutTrailingBackslash(a);
    const WString right = WithoutTrailingBackslash(b);
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

bool RegisterMountCallback(TaskState& task)
{
    if (WIMRegisterMessageCallback(nullptr, MountMessageCallback, nullptr) == INVALID_CALLBACK_VALUE) {
        LogMessage(task, 199);
        return false;
    }
    return true;
}

// A mount between registering the callback and releasing the handles:
// each failure logs its line and the system's reason.
bool OpenAndMount(TaskState& task, const WCHAR* source, const WCHAR* mountPath, const WCHAR* tempPath,
                  HANDLE& wim, HANDLE& image)
{
    const int index = task.mountIndex;
    LogMessage(task, 162);
    const DWORD access = task.mountReadWrite ? WIM_GENERIC_READ | WIM_GENERIC_WRITE | WIM_GENERIC_MOUNT
                                             : WIM_GENERIC_READ | WIM_GENERIC_MOUNT;
    DWORD creationResult = 0;
    wim = WIMCreateFile(source, access, WIM_OPEN_EXISTING, task.mountCheck ? WIM_FLAG_VERIFY : 0,
                        WIM_COMPRESS_NONE, &creationResult);
    UINT failure = 0;
    if (wim == nullptr)
        failure = 163;
    else if (!WIMSetTemporaryPath(wim, tempPath))
        failure = 164;
    else if ((image = WIMLoadImage(wim, static_cast<DWORD>(index))) == nullptr)
        failure = 167;
    if (failure != 0) {
        LogFailure(task, failure, index);
        return false;
    }

    LogMessage(task, 240);
    DWORD flags = task.mountReadWrite ? 0 : WIM_FLAG_MOUNT_READONLY;
    if (task.mountCheck)
        flags |= WIM_FLAG_VERIFY;
    if (!WIMMountImageHandle(image, mountPath, flags)) {
        LogFailure(task, 142);
        return false;
    }
    return true;
}

// An unmount, on the entry found for the mount path, from opening the
// mounted image to unmounting it.
bool CommitAndUnmount(TaskState& task, const WIM_MOUNT_LIST& entry, HANDLE& wim, HANDLE& image)
{
    LogMessage(task, 242);
    const DWORD check = task.unmountCheck ? WIM_FLAG_VERIFY : 0;
    const WString mountPath = EntryText(entry.MountPath);
    if (!WIMGetMountedImageHandle(mountPath.c_str(), check, &wim, &image)) {
        LogFailure(task, 149);
        return false;
    }
    // A read-only mount has nothing to save, whatever the page asks.
    if (entry.MountedForRW && task.unmountCommit) {
        LogMessage(task, 156);
        if (!WIMCommitImageHandle(image, check, nullptr)) {
            LogFailure(task, 241);
            return false;
        }
    }
    LogMessage(task, 157);
    if (!WIMUnmountImageHandle(image, 0)) {
        LogFailure(task, 159);
        return false;
    }
    return true;
}

}  // namespace

DWORD CALLBACK MountMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID)
{
    TaskState& task = Task();
    switch (messageId) {
    case WIM_MSG_PROGRESS:
    case WIM_MSG_MOUNT_CLEANUP_PROGRESS:
        SetProgressPercent(task, static_cast<UINT>(wParam));
        UpdateTimeStatus(task, static_cast<DWORD>(lParam));
        break;
    case WIM_MSG_STEPIT:
    case WIM_MSG_CLEANUP_UNMOUNTING_IMAGE:
    case kMountCleanupMessage:
        UpdateTimeStatus(task, 0);
        break;
    case WIM_MSG_ERROR:
        AppendLog(task, DiagnosticLine(WSTR("ERROR: "), wParam, lParam));
        break;
    case WIM_MSG_INFO:
        AppendLog(task, DiagnosticLine(WSTR("INFO: "), wParam, lParam));
        break;
    case WIM_MSG_WARNING:
        AppendLog(task, DiagnosticLine(WSTR("WARNING: "), wParam, lParam));
        break;
    default:
        break;
    }
    return WIM_MSG_SUCCESS;
}

bool RunMount(TaskState& task)
{
    WCHAR source[kTextBufferSize];
    WCHAR mountPath[kTextBufferSize];
    CopyToBuffer(source, kTextBufferSize, task.mountSource);
    CopyToBuffer(mountPath, kTextBufferSize, task.mountPath);
    LogMessage(task, 152, static_cast<const WCHAR*>(mountPath));
    LogMessage(task, 153, static_cast<const WCHAR*>(source));
    LogMessage(task, 154, task.mountIndex);
    LogMessage(task, 155, task.mountReadWrite ? 1 : 0);

    WCHAR tempPath[kTextBufferSize];
    const bool haveTemp = ChooseTempDirectory(nullptr, nullptr, tempPath);
    const DWORD tempError = GetLastError();
    LogMessage(task, 198, static_cast<const WCHAR*>(tempPath));
    if (!haveTemp) {
        LogMessage(task, 164);
        LogErrorText(task, tempError);
    }
    AppendLog(task, WSTR(""));

    HANDLE wim = nullptr;
    HANDLE image = nullptr;
    bool registered = false;
    bool mounted = false;
    if (haveTemp) {
        registered = RegisterMountCallback(task);
        if (registered)
            mounted = OpenAndMount(task, source, mountPath, tempPath, wim, image);
    }
    ReleaseImagingHandles(wim, image, registered ? MountMessageCallback : nullptr);
    if (!mounted)
        return false;
    AppendLog(task, WSTR(""));
    LogMessage(task, 145);
    return true;
}

bool RunUnmount(TaskState& task)
{
    WCHAR mountPath[kTextBufferSize];
    CopyToBuffer(mountPath, kTextBufferSize, task.mountPath);
    std::vector<WIM_MOUNT_LIST> mounted(kMountListEntries);
    DWORD size = kMountListEntries * sizeof(WIM_MOUNT_LIST);
    if (!WIMGetMountedImages(mounted.data(), &size)) {
        LogMessage(task, 149);
        return false;
    }
    const DWORD count = std::min<DWORD>(size / sizeof(WIM_MOUNT_LIST), kMountListEntries);
    const WIM_MOUNT_LIST* entry = nullptr;
    for (DWORD i = 0; i < count && entry == nullptr; ++i) {
        if (SameMountPath(EntryText(mounted[i].MountPath), mountPath))
            entry = &mounted[i];
    }
    if (entry == nullptr) {
        LogMessage(task, 150, static_cast<const WCHAR*>(mountPath));
        RefreshMountList();
        return false;
    }

    const WString entryMountPath = EntryText(entry->MountPath);
    const WString entryWimPath = EntryText(entry->WimPath);
    LogMessage(task, 152, entryMountPath.c_str());
    LogMessage(task, 153, entryWimPath.c_str());
    LogMessage(task, 154, entry->ImageIndex);
    LogMessage(task, 155, entry->MountedForRW);
    AppendLog(task, WSTR(""));

    HANDLE wim = nullptr;
    HANDLE image = nullptr;
    const bool registered = RegisterMountCallback(task);
    const bool unmounted = registered && CommitAndUnmount(task, *entry, wim, image);
    ReleaseImagingHandles(wim, image, registered ? MountMessageCallback : nullptr);
    if (!unmounted)
        return false;
    AppendLog(task, WSTR(""));
    LogMessage(task, 158);
    return true;
}
