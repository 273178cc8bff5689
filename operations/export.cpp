#include "base/file_identity.h"
#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/compression_choice.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/split_set.h"
#include "operations/temp_directory.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mmsystem.h>

namespace {

// What one export writes, and why it failed when the library said so.
struct ExportTarget {
    const WCHAR* path;
    const WCHAR* temporaryPath;
    CompressionChoice choice;
    DWORD flags;
    bool allImages;        // every image of the source, in order, with its boot mark
    bool opened = false;   // the destination was opened
    bool created = false;  // ... as a new file
    MadeFile made{};       // the file the library made for it, where it made one at once
    DWORD imagesBefore = 0;
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
bool ChooseImages(TaskState& task, const WIM_INFO& info, const SplitSet& set, const ExportTarget& target,
                  DWORD& first, DWORD& last)
{
    const DWORD index = target.allImages ? 1 : static_cast<DWORD>(task.exportIndex);
    if (set.parts.empty() && RefuseSplitPart(task, info, IDS_LOAD_IMAGE_FAILED, static_cast<int>(index)))
        return false;
    if (info.ImageCount < index) {
        LogMessage(task, IDS_NO_SUCH_IMAGE, static_cast<int>(index));
        return false;
    }
    first = index;
    last = target.allImages ? info.ImageCount : index;
    return true;
}

// Loads every image asked for before the first is exported, so that one that
// cannot be loaded stops the export while nothing is exported.
bool LoadImages(TaskState& task, HANDLE source, DWORD first, DWORD last, std::deque<WimHandle>& images)
{
    for (DWORD index = first; index <= last; ++index) {
        images.emplace_back(WIMLoadImage(source, index));
        if (!images.back()) {
            LogFailure(task, IDS_LOAD_IMAGE_FAILED, static_cast<int>(index));
            return false;
        }
    }
    return true;
}

// The compression line for the file as it is written: a new file takes the
// page's choice, one that exists keeps its own.
bool LogDestinationCompression(TaskState& task, const ExportTarget& target, HANDLE destination)
{
    DWORD type = target.choice.type;
    if (!target.created) {
        WIM_INFO info = {};
        if (!WIMGetAttributes(destination, &info, sizeof info)) {
            LogFailure(task, IDS_ATTRIBUTES_FAILED);
            return false;
        }
        type = info.CompressionType;
    }
    LogWrittenCompression(task, target.choice, type);
    return true;
}

// Opens, checks and exports into `destination`; every failure but the
// export's own is logged where it happens, the export's reason is kept for
// the closing failure line.
bool ExportImage(TaskState& task, const WCHAR* sourcePath, ExportTarget& target, WimHandle& destination)
{
    LogMessage(task, IDS_OPENING_WIM);
    SplitSet set;
    if (!TakeSplitSet(task, sourcePath, set))
        return false;
    DWORD creationResult = 0;
    const WimHandle source(WIMCreateFile(set.firstPart.c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING,
                                         target.flags | WIM_FLAG_SOLID, WIM_COMPRESS_NONE, &creationResult));
    if (!source) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    if (!ReferenceFurtherParts(task, source.get(), set, target.flags))
        return false;
    WIM_INFO info = {};
    if (!WIMGetAttributes(source.get(), &info, sizeof info)) {
        LogFailure(task, IDS_ATTRIBUTES_FAILED);
        return false;
    }
    DWORD first = 0;
    DWORD last = 0;
    if (!ChooseImages(task, info, set, target, first, last))
        return false;
    // A set's parts are read, never written.
    if (RefuseSetPart(task, target.path, IDS_OPEN_WIM_FAILED))
        return false;
    creationResult = WIM_OPENED_EXISTING;
    destination = WIMCreateFile(target.path, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_ALWAYS,
                                target.flags | target.choice.createFlags | WIM_FLAG_SOLID, target.choice.type,
                                &creationResult);
    if (!destination) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    target.opened = true;
    target.created = creationResult == WIM_CREATED_NEW;
    if (target.created)
        target.made.Hold(target.path);
    if (!LogDestinationCompression(task, target, destination.get()))
        return false;
    if (task.abortRequested)
        return false;  // the progress window has logged the abort
    if (!WIMSetTemporaryPath(source.get(), target.temporaryPath) ||
        !WIMSetTemporaryPath(destination.get(), target.temporaryPath)) {
        LogFailure(task, IDS_TEMP_FOLDER_FAILED);
        return false;
    }
    target.imagesBefore = target.allImages ? WIMGetImageCount(destination.get()) : 0;
    std::deque<WimHandle> images;
    if (!LoadImages(task, source.get(), first, last, images))
        return false;
    // No abort is looked for between images: an export stopped part way
    // would leave the file with some of them. The library asks while it
    // writes, and an abort then leaves the file as it was.
    g_share.total = last - first + 1;
    for (DWORD index = first; index <= last; ++index) {
        g_share.done = index - first;
        g_share.imageStart = timeGetTime();
        LogMessage(task, IDS_EXPORTING, static_cast<int>(index));
        if (!WIMExportImage(images[index - first].get(), destination.get(), WIM_EXPORT_ALLOW_DUPLICATES)) {
            target.reason = GetLastError();
            return false;
        }
        ++target.exportedCount;
    }
    // The boot mark belongs to the file, not the image: it follows the
    // images only when all of them go.
    if (target.allImages && info.BootIndex != 0 &&
        !WIMSetBootImage(destination.get(), target.imagesBefore + info.BootIndex)) {
        target.reason = GetLastError();
        return false;
    }
    return true;
}

// Closes the destination, which is when a library may write what was
// exported into it (its progress is then the whole bar): an export whose
// destination does not close has not been written, and keeps the close's
// reason. A file the library made for a failed export is removed again, so
// no empty or partial file stays, but only while the name still holds it.
bool FinishDestination(ExportTarget& target, WimHandle& destination, bool exported)
{
    g_share.done = 0;
    g_share.total = 1;
    g_share.imageStart = timeGetTime();
    if (exported && !destination.Close()) {
        target.reason = GetLastError();
        exported = false;
    }
    destination.Release();
    if (!exported && target.made.Held()) {
        const DWORD error = GetLastError();
        target.made.Remove();
        SetLastError(error);
    }
    target.made.Release();
    return exported;
}

// After a failed export of every image into a file that existed: says so
// when the file, read again, holds just the images it held before.
void LogUnchangedDestination(TaskState& task, const ExportTarget& target)
{
    DWORD creationResult = 0;
    const WimHandle reread(WIMCreateFile(target.path, WIM_GENERIC_READ, WIM_OPEN_EXISTING, WIM_FLAG_SOLID,
                                         WIM_COMPRESS_NONE, &creationResult));
    WIM_INFO info = {};
    if (reread && WIMGetAttributes(reread.get(), &info, sizeof info) &&
        info.ImageCount == target.imagesBefore)
        LogMessage(task, IDS_NO_IMAGE_EXPORTED);
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
    case WIM_MSG_LEFTOVER_REMOVED:
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
    LogMessage(task, task.exportCheck ? IDS_CHECK_ON_LINE : IDS_CHECK_OFF_LINE);

    WCHAR temporaryPath[kTextBufferSize];
    ExportTarget target{.path = destinationPath.text,
                        .temporaryPath = temporaryPath,
                        .choice = ChooseCompression(task.exportCompression),
                        .flags = task.exportCheck ? WIM_FLAG_VERIFY : 0u,
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
        if (target.allImages && target.opened && !target.created)
            LogUnchangedDestination(task, target);
        return false;
    }
    if (target.allImages)
        LogClosingLine(task, IDS_EXPORTED_IMAGES, IDS_EXPORTED_IMAGES_TIMED, target.exportedCount);
    else
        LogClosingLine(task, IDS_EXPORTED, IDS_EXPORTED_TIMED);
    return true;
}
