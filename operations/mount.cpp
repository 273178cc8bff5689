// Mounting an image into a folder and unmounting it again, with or without
// its changes. Both run on the worker thread and cannot be aborted; the
// mount stays in place after the handles are closed, so a later run of the
// program finds it again through the library's list of mounted images.
#include "base/log.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/mounted_images.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"

#include <vector>

namespace {

// A mount between registering the callback and releasing the handles:
// each failure logs its line and the system's reason.
bool OpenAndMount(TaskState& task, const WCHAR* source, const WCHAR* mountPath, const WCHAR* tempPath)
{
    const int index = task.mountIndex;
    LogMessage(task, 162);
    const DWORD access = task.mountReadWrite ? WIM_GENERIC_READ | WIM_GENERIC_WRITE | WIM_GENERIC_MOUNT
                                             : WIM_GENERIC_READ | WIM_GENERIC_MOUNT;
    DWORD creationResult = 0;
    const WimHandle wim(WIMCreateFile(source, access, WIM_OPEN_EXISTING,
                                      task.mountCheck ? WIM_FLAG_VERIFY : 0, WIM_COMPRESS_NONE,
                                      &creationResult));
    WimHandle image;
    UINT failure = 0;
    if (!wim)
        failure = 163;
    else if (!WIMSetTemporaryPath(wim.get(), tempPath))
        failure = 164;
    else if (!(image = WIMLoadImage(wim.get(), static_cast<DWORD>(index))))
        failure = 167;
    if (failure != 0) {
        LogFailure(task, failure, index);
        return false;
    }

    LogMessage(task, 240);
    DWORD flags = task.mountReadWrite ? 0 : WIM_FLAG_MOUNT_READONLY;
    if (task.mountCheck)
        flags |= WIM_FLAG_VERIFY;
    if (!WIMMountImageHandle(image.get(), mountPath, flags)) {
        LogFailure(task, 142);
        return false;
    }
    return true;
}

// An unmount, on the entry found for the mount path, from opening the
// mounted image to unmounting it.
bool CommitAndUnmount(TaskState& task, const MountedImage& entry)
{
    LogMessage(task, 242);
    const DWORD check = task.unmountCheck ? WIM_FLAG_VERIFY : 0;
    HANDLE opened[2] = {};
    const bool found = WIMGetMountedImageHandle(entry.mountPath.c_str(), check, &opened[0], &opened[1]);
    const WimHandle wim(opened[0]);
    const WimHandle image(opened[1]);
    if (!found) {
        LogFailure(task, 149);
        return false;
    }
    // A read-only mount has nothing to save, whatever the page asks.
    if (entry.readWrite && task.unmountCommit) {
        LogMessage(task, 156);
        if (!WIMCommitImageHandle(image.get(), check, nullptr)) {
            LogFailure(task, 241);
            return false;
        }
    }
    LogMessage(task, 157);
    if (!WIMUnmountImageHandle(image.get(), 0)) {
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
    case WIM_MSG_VERIFYING_INTEGRITY:
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
    case WIM_MSG_LEFTOVER_REMOVED:
        AppendLog(task, LeftoverRemovedLine(wParam));
        break;
    default:
        break;
    }
    return WIM_MSG_SUCCESS;
}

bool RunMount(TaskState& task)
{
    UserPath source;
    UserPath mountPath;
    const bool sourceTaken = TakeUserPath(source, task.mountSource);
    const bool mountPathTaken = TakeUserPath(mountPath, task.mountPath);
    LogMessage(task, 152, static_cast<const WCHAR*>(mountPath.text));
    LogMessage(task, 153, static_cast<const WCHAR*>(source.text));
    LogMessage(task, 154, task.mountIndex);
    LogMessage(task, 155, task.mountReadWrite ? 1 : 0);

    WCHAR tempPath[kTextBufferSize];
    const bool haveTemp = TakeTempDirectory(task, nullptr, nullptr, tempPath);
    AppendLog(task, WSTR(""));
    if (!haveTemp)
        return false;

    const CallbackRegistration callback(MountMessageCallback);
    if (!callback) {
        LogMessage(task, 199);
        return false;
    }
    if (!sourceTaken || !mountPathTaken) {
        LogMessage(task, 162);
        SetLastError(sourceTaken ? mountPath.refusal : source.refusal);
        LogFailure(task, sourceTaken ? 142 : 163, task.mountIndex);
        return false;
    }
    if (!OpenAndMount(task, source.text, mountPath.text, tempPath))
        return false;
    AppendLog(task, WSTR(""));
    LogMessage(task, 145);
    return true;
}

bool RunUnmount(TaskState& task)
{
    UserPath mountPath;
    if (!TakeUserPath(mountPath, task.mountPath)) {
        LogFailure(task, 150, static_cast<const WCHAR*>(mountPath.text));
        return false;
    }
    std::vector<MountedImage> mounted;
    if (!ReadMountedImages(mounted)) {
        LogMessage(task, 149);
        return false;
    }
    const MountedImage* entry = nullptr;
    for (const MountedImage& image : mounted) {
        if (entry == nullptr && SameMountPath(image.mountPath, mountPath.text))
            entry = &image;
    }
    if (entry == nullptr) {
        LogMessage(task, 150, static_cast<const WCHAR*>(mountPath.text));
        // The list the user chose from is out of date; the shell shows it anew.
        PostMessageW(task.mainWindow, WM_MOUNTS_CHANGED, 0, 0);
        return false;
    }

    LogMessage(task, 152, entry->mountPath.c_str());
    LogMessage(task, 153, entry->wimPath.c_str());
    LogMessage(task, 154, static_cast<int>(entry->imageIndex));
    LogMessage(task, 155, entry->readWrite ? 1 : 0);
    AppendLog(task, WSTR(""));

    const CallbackRegistration callback(MountMessageCallback);
    if (!callback) {
        LogMessage(task, 199);
        return false;
    }
    if (!CommitAndUnmount(task, *entry))
        return false;
    AppendLog(task, WSTR(""));
    LogMessage(task, 158);
    return true;
}
