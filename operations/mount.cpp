// Mounting an image into a folder and unmounting it again, with or without
// its changes. Both run on the worker thread and cannot be aborted; the
// mount stays in place after the handles are closed, so a later run of the
// program finds it again through the library's list of mounted images.
#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/mounted_images.h"
#include "operations/operations.h"
#include "operations/split_set.h"
#include "operations/temp_directory.h"

#include <vector>

namespace {

// A mount between registering the callback and releasing the handles:
// each failure logs its line and the system's reason.
bool OpenAndMount(TaskState& task, const WCHAR* source, const WCHAR* mountPath, const WCHAR* tempPath)
{
    const int index = task.mountIndex;
    LogMessage(task, IDS_OPENING_WIM);
    // A set is mounted to be read: its parts are never written.
    SplitSet set;
    if (task.mountReadWrite ? RefuseSetPart(task, source, IDS_OPEN_WIM_FAILED)
                            : !TakeSplitSet(task, source, set))
        return false;
    const DWORD access = task.mountReadWrite ? WIM_GENERIC_READ | WIM_GENERIC_WRITE | WIM_GENERIC_MOUNT
                                             : WIM_GENERIC_READ | WIM_GENERIC_MOUNT;
    const DWORD openFlags = WIM_FLAG_SOLID | (task.mountCheck ? WIM_FLAG_VERIFY : 0);
    DWORD creationResult = 0;
    const WimHandle wim(WIMCreateFile(set.parts.empty() ? source : set.firstPart.c_str(), access,
                                      WIM_OPEN_EXISTING, openFlags, WIM_COMPRESS_NONE, &creationResult));
    WimHandle image;
    UINT failure = 0;
    if (!wim) {
        failure = IDS_OPEN_WIM_FAILED;
    } else if (!ReferenceFurtherParts(task, wim.get(), set, openFlags)) {
        return false;
    } else if (!WIMSetTemporaryPath(wim.get(), tempPath))
        failure = IDS_TEMP_FOLDER_FAILED;
    else if (!(image = WIMLoadImage(wim.get(), static_cast<DWORD>(index))))
        failure = IDS_LOAD_IMAGE_FAILED;
    if (failure != 0) {
        LogFailure(task, failure, index);
        return false;
    }

    LogMessage(task, IDS_MOUNTING);
    DWORD flags = task.mountReadWrite ? 0 : WIM_FLAG_MOUNT_READONLY;
    if (task.mountCheck)
        flags |= WIM_FLAG_VERIFY;
    if (!WIMMountImageHandle(image.get(), mountPath, flags)) {
        LogFailure(task, IDS_MOUNT_FAILED);
        return false;
    }
    return true;
}

// An unmount, on the entry found for the mount path, from opening the
// mounted image to unmounting it.
bool CommitAndUnmount(TaskState& task, const MountedImage& entry)
{
    LogMessage(task, IDS_GETTING_MOUNTED_HANDLE);
    const DWORD check = task.unmountCheck ? WIM_FLAG_VERIFY : 0;
    HANDLE opened[2] = {};
    const bool found = WIMGetMountedImageHandle(entry.mountPath.c_str(), check, &opened[0], &opened[1]);
    const WimHandle wim(opened[0]);
    const WimHandle image(opened[1]);
    if (!found) {
        LogFailure(task, IDS_NO_MOUNTED_IMAGE);
        return false;
    }
    // A read-only mount has nothing to save, whatever the page asks.
    if (entry.readWrite && task.unmountCommit) {
        LogMessage(task, IDS_COMMITTING_AND_UNMOUNTING);
        if (!WIMCommitImageHandle(image.get(), check, nullptr)) {
            LogFailure(task, IDS_COMMIT_FAILED);
            return false;
        }
    }
    LogMessage(task, IDS_UNMOUNTING);
    if (!WIMUnmountImageHandle(image.get(), 0)) {
        LogFailure(task, IDS_UNMOUNT_FAILED);
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
    LogMessage(task, IDS_MOUNT_PATH_LINE, static_cast<const WCHAR*>(mountPath.text));
    LogMessage(task, IDS_WIM_FILE_LINE, static_cast<const WCHAR*>(source.text));
    LogMessage(task, IDS_IMAGE_LINE, task.mountIndex);
    LogMessage(task, IDS_READ_WRITE_LINE, task.mountReadWrite ? 1 : 0);

    WCHAR tempPath[kTextBufferSize];
    const bool haveTemp = TakeTempDirectory(task, nullptr, nullptr, tempPath);
    AppendLog(task, WSTR(""));
    if (!haveTemp)
        return false;

    const CallbackRegistration callback(MountMessageCallback);
    if (!callback) {
        LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        return false;
    }
    if (!sourceTaken || !mountPathTaken) {
        LogMessage(task, IDS_OPENING_WIM);
        SetLastError(sourceTaken ? mountPath.refusal : source.refusal);
        LogFailure(task, sourceTaken ? IDS_MOUNT_FAILED : IDS_OPEN_WIM_FAILED, task.mountIndex);
        return false;
    }
    if (!OpenAndMount(task, source.text, mountPath.text, tempPath))
        return false;
    AppendLog(task, WSTR(""));
    LogMessage(task, IDS_MOUNTED);
    return true;
}

bool RunUnmount(TaskState& task)
{
    UserPath mountPath;
    if (!TakeUserPath(mountPath, task.mountPath)) {
        LogFailure(task, IDS_NO_MOUNT_POINT, static_cast<const WCHAR*>(mountPath.text));
        return false;
    }
    std::vector<MountedImage> mounted;
    if (!ReadMountedImages(mounted)) {
        LogMessage(task, IDS_NO_MOUNTED_IMAGE);
        return false;
    }
    const MountedImage* entry = nullptr;
    for (const MountedImage& image : mounted) {
        if (entry == nullptr && SameMountPath(image.mountPath, mountPath.text))
            entry = &image;
    }
    if (entry == nullptr) {
        LogMessage(task, IDS_NO_MOUNT_POINT, static_cast<const WCHAR*>(mountPath.text));
        // The list the user chose from is out of date; the shell shows it anew.
        PostMessageW(task.mainWindow, WM_MOUNTS_CHANGED, 0, 0);
        return false;
    }

    LogMessage(task, IDS_MOUNT_PATH_LINE, entry->mountPath.c_str());
    LogMessage(task, IDS_WIM_FILE_LINE, entry->wimPath.c_str());
    LogMessage(task, IDS_IMAGE_LINE, static_cast<int>(entry->imageIndex));
    LogMessage(task, IDS_READ_WRITE_LINE, entry->readWrite ? 1 : 0);
    AppendLog(task, WSTR(""));

    const CallbackRegistration callback(MountMessageCallback);
    if (!callback) {
        LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        return false;
    }
    if (!CommitAndUnmount(task, *entry))
        return false;
    AppendLog(task, WSTR(""));
    LogMessage(task, IDS_UNMOUNTED);
    return true;
}
