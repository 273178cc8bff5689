#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/compression_choice.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"

#include <algorithm>
#include <atomic>
#include <mmsystem.h>

namespace {

// What one export writes, and why it failed when the library said so.
struct ExportTarget {
    const WCHAR* path;
    const WCHAR* temporaryPath;
    DWORD compression;
    DWORD flags;
    DWORD createFlags;     // what a new destination of this compression needs besides `flags`
    bool allImages;        // every image of the source, in order, with its boot mark
    bool created = false;  // the destination is a file this export made
    DWORD reason = ERROR_SUCCESS;
    DWORD exportedCount = 0;
};

// The share of the whole export that the running image's progress stands
// for, so that one bar and one remaining time cover every image. Written by
// the worker between images, read by the callback on the same thread.
struct ProgressShare {
    std::atomic<DWORD> done{0};
    std::atomic<DWORD> total{1};
    std::atomic<DWORD> imageStart{0};
};
ProgressShare g_share;

// The images `target` asks for from a source holding `info`, or false with
// the reason logged when it has none of them.
bool ChooseImages(TaskState& task, const WIM_INFO& info, const ExportTarget& target, DWORD& first,
                  DWORD& last)
{
    const DWORD index = target.allImages ? 1 : static_cast<DWORD>(task.exportIndex);
    if (RefuseSplitPart(task, info, IDS_LOAD_IMAGE_FAILED, static_cast<int>(index)))
        return false;
    if (info.ImageCount < index) {
        LogMessage(task, IDS_NO_SUCH_IMAGE, static_cast<int>(index));
        return false;
    }
    first = index;
    last = target.allImages ? info.ImageCount : index;
    return true;
}

// Loads and exports one image of the source into the destination.
bool ExportOne(TaskState& task, HANDLE source, DWORD index, ExportTarget& target, HANDLE destination)
{
    const WimHandle image(WIMLoadImage(source, index));
    if (!image) {
        LogFailure(task, IDS_LOAD_IMAGE_FAILED, static_cast<int>(index));
        return false;
    }
    LogMessage(task, IDS_EXPORTING, static_cast<int>(index));
    if (!WIMExportImage(image.get(), destination, WIM_EXPORT_ALLOW_DUPLICATES)) {
        target.reason = GetLastError();
        return false;
    }
    return true;
}

// Opens, checks and exports into `destination`; every failure but the
// export's own is logged where it happens, the export's reason is kept for
// the closing failure line.
bool ExportImage(TaskState& task, const WCHAR* sourcePath, ExportTarget& target, WimHandle& destination)
{
    LogMessage(task, IDS_OPENING_WIM);
    DWORD creationResult = 0;
    const WimHandle source(WIMCreateFile(sourcePath, WIM_GENERIC_READ, WIM_OPEN_EXISTING, target.flags,
                                         WIM_COMPRESS_NONE, &creationResult));
    if (!source) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    WIM_INFO info = {};
    if (!WIMGetAttributes(source.get(), &info, sizeof info)) {
        LogFailure(task, IDS_ATTRIBUTES_FAILED);
        return false;
    }
    DWORD first = 0;
    DWORD last = 0;
    if (!ChooseImages(task, info, target, first, last))
        return false;
    creationResult = WIM_OPENED_EXISTING;
    destination = WIMCreateFile(target.path, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_ALWAYS,
                                target.flags | target.createFlags, target.compression, &creationResult);
    if (!destination) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    target.created = creationResult == WIM_CREATED_NEW;
    if (task.abortRequested)
        return false;  // the progress window has logged the abort
    if (!WIMSetTemporaryPath(source.get(), target.temporaryPath) ||
        !WIMSetTemporaryPath(destination.get(), target.temporaryPath)) {
        LogFailure(task, IDS_TEMP_FOLDER_FAILED);
        return false;
    }
    const DWORD imagesBefore = target.allImages ? WIMGetImageCount(destination.get()) : 0;
    g_share.total = last - first + 1;
    for (DWORD index = first; index <= last; ++index) {
        if (index > first && task.abortRequested)
            return false;
        g_share.done = index - first;
        g_share.imageStart = timeGetTime();
        if (!ExportOne(task, source.get(), index, target, destination.get()))
            return false;
        ++target.exportedCount;
    }
    // The boot mark belongs to the file, not the image: it follows the
    // images only when all of them go.
    if (target.allImages && info.BootIndex != 0 &&
        !WIMSetBootImage(destination.get(), imagesBefore + info.BootIndex)) {
        target.reason = GetLastError();
        return false;
    }
    return true;
}

// Closes the destination, which is when a library may finish writing it: an
// export whose destination does not close has not been written, and keeps
// the close's reason. A destination this export made is removed again when
// the export failed, so no empty or partial file stays.
bool FinishDestination(ExportTarget& target, WimHandle& destination, bool exported)
{
    if (exported && !destination.Close()) {
        target.reason = GetLastError();
        exported = false;
    }
    destination.Release();
    if (!exported && target.created) {
        const DWORD error = GetLastError();
        DeleteFileW(target.path);
        SetLastError(error);
    }
    return exported;
}

}  // namespace

DWORD CALLBACK ExportMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID)
{
    TaskState& task = Task();
    switch (messageId) {
    case WIM_MSG_PROGRESS: {
        // One image's figures as a share of all of them; the images still to
        // come are taken to last as long as this one will in all.
        const DWORD total = std::max<DWORD>(g_share.total, 1);
        const DWORD done = std::min<DWORD>(g_share.done, total - 1);
        const DWORD percent = std::min<DWORD>(static_cast<DWORD>(wParam), 100);
        SetProgressPercent(task, (done * 100 + percent) / total);
        const DWORD remaining = static_cast<DWORD>(lParam);
        const DWORD thisImage = timeGetTime() - g_share.imageStart + remaining;
        UpdateTimeStatus(task, remaining + (total - done - 1) * thisImage);
        break;
    }
    case WIM_MSG_PROCESS:
    case WIM_MSG_QUERY_ABORT:
        if (task.abortRequested)
            return WIM_MSG_ABORT_IMAGE;
        break;
    case WIM_MSG_ERROR:
    case WIM_MSG_RETRY:
    case WIM_MSG_INFO:
    case WIM_MSG_WARNING:
        AppendLog(task, LibraryMessageLine(messageId, wParam, lParam));
        break;
    case WIM_MSG_VERIFYING_INTEGRITY:
        if (!task.verifyNoticeShown) {
            task.verifyNoticeShown = true;
            LogMessage(task, IDS_VERIFYING_INTEGRITY);
        }
        UpdateTimeStatus(task, 0);
        break;
    case WIM_MSG_ADDING_INTEGRITY:
        LogMessage(task, IDS_ADDING_INTEGRITY);
        UpdateTimeStatus(task, 0);
        break;
    default:
        break;
    }
    return WIM_MSG_SUCCESS;
}

bool RunExport(TaskState& task)
{
    task.verifyNoticeShown = false;
    UserPath destinationPath;
    UserPath sourcePath;
    const bool destinationTaken = TakeUserPath(destinationPath, task.exportDestination, PathForm::Full);
    const bool sourceTaken = TakeUserPath(sourcePath, task.exportSource, PathForm::Full);
    LogMessage(task, IDS_SOURCE_LINE, static_cast<const WCHAR*>(sourcePath.text));
    if (task.exportAllImages)
        LogMessage(task, IDS_EXPORT_ALL_IMAGES_LINE);
    else
        LogMessage(task, IDS_APPLY_IMAGE_LINE, static_cast<int>(task.exportIndex));
    LogMessage(task, IDS_SAVE_TO_LINE, static_cast<const WCHAR*>(destinationPath.text));
    const CompressionChoice choice = ChooseCompression(task.exportCompression);
    LogMessage(task, choice.logId);
    LogMessage(task, task.exportCheck ? IDS_CHECK_ON_LINE : IDS_CHECK_OFF_LINE);

    WCHAR temporaryPath[kTextBufferSize];
    ExportTarget target{.path = destinationPath.text,
                        .temporaryPath = temporaryPath,
                        .compression = choice.type,
                        .flags = task.exportCheck ? WIM_FLAG_VERIFY : 0u,
                        .createFlags = choice.createFlags,
                        .allImages = task.exportAllImages};
    g_share.done = 0;
    g_share.total = 1;
    g_share.imageStart = timeGetTime();
    bool exported = false;
    if (TakeTempDirectory(task, destinationTaken ? destinationPath.text : nullptr, nullptr, temporaryPath)) {
        AppendLog(task, WSTR(""));
        const CallbackRegistration callback(ExportMessageCallback);
        WimHandle destination;
        if (!callback) {
            LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        } else if (!sourceTaken || !destinationTaken) {
            LogMessage(task, IDS_OPENING_WIM);
            SetLastError(sourceTaken ? destinationPath.refusal : sourcePath.refusal);
            LogFailure(task, IDS_OPEN_WIM_FAILED);
        } else {
            exported = ExportImage(task, sourcePath.text, target, destination);
        }
        exported = FinishDestination(target, destination, exported);
    }

    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    if (!exported) {
        LogMessage(task, IDS_EXPORT_FAILED);
        if (target.reason != ERROR_SUCCESS)
            LogErrorText(task, target.reason);
        return false;
    }
    if (target.allImages)
        LogClosingLine(task, IDS_EXPORTED_IMAGES, IDS_EXPORTED_IMAGES_TIMED, target.exportedCount);
    else
        LogClosingLine(task, IDS_EXPORTED, IDS_EXPORTED_TIMED);
    return true;
}
