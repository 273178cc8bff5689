#include "base/log.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/compression_choice.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"

namespace {

// What one export writes, and why it failed when the library said so.
struct ExportTarget {
    const WCHAR* path;
    const WCHAR* temporaryPath;
    DWORD compression;
    DWORD flags;
    bool created = false;  // the destination is a file this export made
    DWORD reason = ERROR_SUCCESS;
};

// Opens, checks and exports into `destination`; every failure but the
// export's own is logged where it happens, the export's reason is kept for
// the closing failure line.
bool ExportImage(TaskState& task, const WCHAR* sourcePath, ExportTarget& target, WimHandle& destination)
{
    LogMessage(task, 162);
    DWORD creationResult = 0;
    const WimHandle source(WIMCreateFile(sourcePath, WIM_GENERIC_READ, WIM_OPEN_EXISTING, target.flags,
                                         WIM_COMPRESS_NONE, &creationResult));
    if (!source) {
        LogFailure(task, 163);
        return false;
    }
    WIM_INFO info = {};
    if (!WIMGetAttributes(source.get(), &info, sizeof info)) {
        LogFailure(task, 165);
        return false;
    }
    const DWORD index = static_cast<DWORD>(task.exportIndex);
    if (RefuseSplitPart(task, info, 167, static_cast<int>(index)))
        return false;
    if (info.ImageCount < index) {
        LogMessage(task, 166, static_cast<int>(index));
        return false;
    }
    creationResult = WIM_OPENED_EXISTING;
    destination = WIMCreateFile(target.path, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_ALWAYS,
                                target.flags, target.compression, &creationResult);
    if (!destination) {
        LogFailure(task, 163);
        return false;
    }
    target.created = creationResult == WIM_CREATED_NEW;
    if (task.abortRequested)
        return false;  // the progress window has logged the abort
    if (!WIMSetTemporaryPath(source.get(), target.temporaryPath) ||
        !WIMSetTemporaryPath(destination.get(), target.temporaryPath)) {
        LogFailure(task, 164);
        return false;
    }
    const WimHandle image(WIMLoadImage(source.get(), index));
    if (!image) {
        LogFailure(task, 167, static_cast<int>(index));
        return false;
    }
    LogMessage(task, 230, static_cast<int>(index));
    if (!WIMExportImage(image.get(), destination.get(), WIM_EXPORT_ALLOW_DUPLICATES)) {
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
    case WIM_MSG_PROGRESS:
        SetProgressPercent(task, static_cast<UINT>(wParam));
        UpdateTimeStatus(task, static_cast<DWORD>(lParam));
        break;
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
            LogMessage(task, 250);
        }
        UpdateTimeStatus(task, 0);
        break;
    case WIM_MSG_ADDING_INTEGRITY:
        LogMessage(task, 172);
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
    LogMessage(task, 189, static_cast<const WCHAR*>(sourcePath.text));
    LogMessage(task, 213, static_cast<int>(task.exportIndex));
    LogMessage(task, 190, static_cast<const WCHAR*>(destinationPath.text));
    const CompressionChoice choice = ChooseCompression(task.exportCompression);
    LogMessage(task, choice.logId);
    LogMessage(task, task.exportCheck ? 196 : 197);

    WCHAR temporaryPath[kTextBufferSize];
    ExportTarget target{.path = destinationPath.text,
                        .temporaryPath = temporaryPath,
                        .compression = choice.type,
                        .flags = task.exportCheck ? WIM_FLAG_VERIFY : 0u};
    bool exported = false;
    if (TakeTempDirectory(task, destinationTaken ? destinationPath.text : nullptr, nullptr, temporaryPath)) {
        AppendLog(task, WSTR(""));
        const CallbackRegistration callback(ExportMessageCallback);
        WimHandle destination;
        if (!callback) {
            LogMessage(task, 199);
        } else if (!sourceTaken || !destinationTaken) {
            LogMessage(task, 162);
            SetLastError(sourceTaken ? destinationPath.refusal : sourcePath.refusal);
            LogFailure(task, 163);
        } else {
            exported = ExportImage(task, sourcePath.text, target, destination);
        }
        exported = FinishDestination(target, destination, exported);
    }

    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    if (!exported) {
        LogMessage(task, 227);
        if (target.reason != ERROR_SUCCESS)
            LogErrorText(task, target.reason);
        return false;
    }
    LogClosingLine(task, 228, 229);
    return true;
}
