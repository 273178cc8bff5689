#include "imaging/wimgapi.h"
#include "operations/compression_choice.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"
#include "operations/user_path.h"
#include "progress/log.h"

namespace {

// The handles of one export, closed by ReleaseExport.
struct ExportHandles {
    HANDLE source = nullptr;
    HANDLE destination = nullptr;
    HANDLE image = nullptr;
    bool destinationCreated = false;
};

// Opens, checks and exports; every failure is logged where it happens.
bool ExportImage(TaskState& task, const WCHAR* sourcePath, const WCHAR* destinationPath,
                 const WCHAR* temporaryPath, DWORD compression, DWORD flags, ExportHandles& handles)
{
    if (WIMRegisterMessageCallback(nullptr, ExportMessageCallback, nullptr) == INVALID_CALLBACK_VALUE) {
        LogMessage(task, 199);
        return false;
    }
    LogMessage(task, 162);
    DWORD creationResult = 0;
    handles.source = WIMCreateFile(sourcePath, WIM_GENERIC_READ, WIM_OPEN_EXISTING, flags, WIM_COMPRESS_NONE,
                                   &creationResult);
    if (handles.source == nullptr) {
        LogFailure(task, 163);
        return false;
    }
    WIM_INFO info = {};
    if (!WIMGetAttributes(handles.source, &info, sizeof info)) {
        LogMessage(task, 165);
        return false;
    }
    const DWORD index = static_cast<DWORD>(task.exportIndex);
    if (info.ImageCount < index) {
        LogMessage(task, 166, static_cast<int>(index));
        return false;
    }
    creationResult = WIM_OPENED_EXISTING;
    handles.destination = WIMCreateFile(destinationPath, WIM_GENERIC_READ | WIM_GENERIC_WRITE,
                                        WIM_OPEN_ALWAYS, flags, compression, &creationResult);
    if (handles.destination == nullptr) {
        LogMessage(task, 163);
        return false;
    }
    handles.destinationCreated = creationResult == WIM_CREATED_NEW;
    if (task.abortRequested)
        return false;  // the progress window has logged the abort
    if (!WIMSetTemporaryPath(handles.source, temporaryPath) ||
        !WIMSetTemporaryPath(handles.destination, temporaryPath)) {
        LogMessage(task, 164);
        return false;
    }
    handles.image = WIMLoadImage(handles.source, index);
    if (handles.image == nullptr) {
        LogMessage(task, 167, static_cast<int>(index));
        return false;
    }
    LogMessage(task, 230, static_cast<int>(index));
    if (!WIMExportImage(handles.image, handles.destination, WIM_EXPORT_ALLOW_DUPLICATES)) {
        LogFailure(task, 227);
        return false;
    }
    return true;
}

// Closes the image, the source and then the destination, which is when a
// library may finish writing it: an export whose destination does not close
// has not been written, and says why. A destination this export made is
// removed again when the export failed, so no empty or partial file stays.
bool ReleaseExport(TaskState& task, ExportHandles& handles, const WCHAR* destinationPath, bool exported)
{
    DWORD error = GetLastError();
    for (HANDLE handle : {handles.image, handles.source}) {
        if (handle != nullptr && !WIMCloseHandle(handle) && error == 0)
            error = GetLastError();
    }
    SetLastError(error);
    if (handles.destination != nullptr && !WIMCloseHandle(handles.destination) && exported) {
        LogLastError(task);
        exported = false;
    }
    ReleaseImagingHandles(nullptr, nullptr, ExportMessageCallback);
    if (!exported && handles.destinationCreated) {
        error = GetLastError();
        DeleteFileW(destinationPath);
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
    case WIM_MSG + 29:
        if (!task.verifyNoticeShown) {
            task.verifyNoticeShown = true;
            LogMessage(task, 250);
        }
        UpdateTimeStatus(task, 0);
        break;
    case WIM_MSG + 33:
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
    WCHAR destinationPath[kTextBufferSize];
    WCHAR sourcePath[kTextBufferSize];
    CopyUserPath(destinationPath, task.exportDestination, PathForm::Full);
    CopyUserPath(sourcePath, task.exportSource, PathForm::Full);
    LogMessage(task, 189, static_cast<const WCHAR*>(sourcePath));
    LogMessage(task, 213, static_cast<int>(task.exportIndex));
    LogMessage(task, 190, static_cast<const WCHAR*>(destinationPath));
    const CompressionChoice choice = ChooseCompression(task.exportCompression);
    LogMessage(task, choice.logId);
    const DWORD compression = choice.type;
    LogMessage(task, task.exportCheck ? 196 : 197);
    const DWORD flags = task.exportCheck ? WIM_FLAG_VERIFY : 0;

    WCHAR temporaryPath[kTextBufferSize];
    const bool haveTemporary = ChooseTempDirectory(destinationPath, nullptr, temporaryPath);
    const DWORD temporaryError = GetLastError();
    LogMessage(task, 198, static_cast<const WCHAR*>(temporaryPath));
    ExportHandles handles;
    bool exported = false;
    if (!haveTemporary) {
        LogMessage(task, 164);
        SetLastError(temporaryError);
        LogLastError(task);
    } else {
        AppendLog(task, WSTR(""));
        exported = ExportImage(task, sourcePath, destinationPath, temporaryPath, compression, flags, handles);
    }
    exported = ReleaseExport(task, handles, destinationPath, exported);

    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    if (!exported) {
        LogMessage(task, 227);
        return false;
    }
    LogClosingLine(task, 228, 229);
    return true;
}
