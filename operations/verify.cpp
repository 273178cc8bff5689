// Verify: every image of a WIM read through, its data checked against its
// hashes, by an apply that writes nothing. Each damaged entry is logged as
// the library names it; the closing line says intact or how many are not.
#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"

#include <algorithm>
#include <atomic>
#include <mmsystem.h>

namespace {

// The image being checked and what has been found; written by the worker
// between images, read by the callback on the same thread.
struct VerifyRun {
    std::atomic<DWORD> image{0};
    std::atomic<DWORD> images{1};
    std::atomic<DWORD> imageStart{0};
    std::atomic<DWORD> damaged{0};         // entries logged as damaged, in all
    std::atomic<DWORD> damagedInImage{0};  // ... in the running image
    const WCHAR* prefix = nullptr;         // the folder the apply to nowhere names entries under
};
VerifyRun g_verify;

UINT ReasonString(DWORD code)
{
    switch (code) {
    case ERROR_CRC:
        return IDS_VERIFY_HASH_MISMATCH;
    case ERROR_NOT_FOUND:
        return IDS_VERIFY_DATA_MISSING;
    case ERROR_HANDLE_EOF:
        return IDS_VERIFY_TRUNCATED;
    default:
        return IDS_VERIFY_METADATA_UNREADABLE;
    }
}

// An entry's path in the image: what follows the folder it was named under.
WStringView ImagePath(const WCHAR* path)
{
    WStringView shown = path != nullptr ? path : WSTR("");
    const WStringView prefix = g_verify.prefix != nullptr ? g_verify.prefix : WSTR("");
    if (!prefix.empty() && shown.size() >= prefix.size() &&
        EqualsIgnoringCase(shown.substr(0, prefix.size()), prefix))
        shown.remove_prefix(prefix.size());
    if (shown.empty())
        shown = WSTR("\\");
    return shown;
}

void LogDamagedEntry(TaskState& task, DWORD image, WStringView path, DWORD code)
{
    ++g_verify.damaged;
    ++g_verify.damagedInImage;
    WCHAR reason[kTextBufferSize];
    const WString shown(path);
    LogMessage(task, IDS_VERIFY_DAMAGED_ENTRY, static_cast<int>(image), shown.c_str(),
               static_cast<const WCHAR*>(LoadTableString(ReasonString(code), reason)));
}

// Opens the file checking its integrity table when it has one. A table that
// does not match is damage to report, and the images are checked anyway.
HANDLE OpenChecked(TaskState& task, const WCHAR* path)
{
    LogMessage(task, IDS_OPENING_WIM);
    DWORD creationResult = 0;
    HANDLE wim = WIMCreateFile(path, WIM_GENERIC_READ, WIM_OPEN_EXISTING, WIM_FLAG_VERIFY | WIM_FLAG_SOLID,
                               WIM_COMPRESS_NONE, &creationResult);
    if (wim != nullptr || GetLastError() != ERROR_CRC)
        return wim;
    ++g_verify.damaged;
    LogMessage(task, IDS_VERIFY_INTEGRITY_DAMAGED);
    return WIMCreateFile(path, WIM_GENERIC_READ, WIM_OPEN_EXISTING, WIM_FLAG_SOLID, WIM_COMPRESS_NONE,
                         &creationResult);
}

// Checks image `index`; false when the check was aborted.
bool VerifyImage(TaskState& task, HANDLE wim, DWORD index, const WCHAR* nowhere)
{
    g_verify.image = index;
    g_verify.damagedInImage = 0;
    g_verify.imageStart = timeGetTime();
    LogMessage(task, IDS_VERIFY_CHECKING_IMAGE, static_cast<int>(index));
    const WimHandle image(WIMLoadImage(wim, index));
    if (!image) {
        LogDamagedEntry(task, index, WSTR("\\"), ERROR_FILE_CORRUPT);
        return true;
    }
    if (WIMApplyImage(image.get(), nowhere, WIM_FLAG_NO_APPLY | WIM_FLAG_VERIFY))
        return true;
    const DWORD error = GetLastError();
    if (task.abortRequested || error == ERROR_REQUEST_ABORTED)
        return false;
    // A failure the library named no entry for is the image's own.
    if (g_verify.damagedInImage == 0)
        LogDamagedEntry(task, index, WSTR("\\"), error);
    return true;
}

}  // namespace

DWORD CALLBACK VerifyMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID)
{
    TaskState& task = Task();
    switch (messageId) {
    case WIM_MSG_PROGRESS: {
        const DWORD total = std::max<DWORD>(g_verify.images, 1);
        const DWORD done = std::min<DWORD>(g_verify.image > 0 ? g_verify.image - 1 : 0, total - 1);
        const DWORD percent = std::min<DWORD>(static_cast<DWORD>(wParam), 100);
        SetProgressPercent(task, (done * 100 + percent) / total);
        const DWORD remaining = static_cast<DWORD>(lParam);
        const DWORD thisImage = timeGetTime() - g_verify.imageStart + remaining;
        UpdateTimeStatus(task, remaining + (total - done - 1) * thisImage);
        break;
    }
    case WIM_MSG_PROCESS:
    case WIM_MSG_QUERY_ABORT:
        if (task.abortRequested)
            return WIM_MSG_ABORT_IMAGE;
        break;
    case WIM_MSG_ERROR:
        LogDamagedEntry(task, g_verify.image, ImagePath(reinterpret_cast<const WCHAR*>(wParam)),
                        static_cast<DWORD>(lParam));
        // Go on: every damaged entry is to be named, not just the first.
        return WIM_MSG_SKIP_ERROR;
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
    default:
        break;
    }
    return WIM_MSG_SUCCESS;
}

bool RunVerify(TaskState& task)
{
    task.verifyNoticeShown = false;
    UserPath source;
    const bool sourceTaken = TakeUserPath(source, task.infoSource, PathForm::Full);
    LogMessage(task, IDS_SOURCE_LINE, static_cast<const WCHAR*>(source.text));
    g_verify.image = 0;
    g_verify.images = 1;
    g_verify.damaged = 0;
    g_verify.prefix = nullptr;

    WCHAR nowhere[kTextBufferSize];
    if (!TakeTempDirectory(task, nullptr, nullptr, nowhere))
        return false;
    AppendLog(task, WSTR(""));
    g_verify.prefix = nowhere;
    const CallbackRegistration callback(VerifyMessageCallback);
    if (!callback) {
        LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        return false;
    }
    if (!sourceTaken) {
        LogMessage(task, IDS_OPENING_WIM);
        SetLastError(source.refusal);
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    const WimHandle wim(OpenChecked(task, source.text));
    if (!wim) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    WIM_INFO info = {};
    if (!WIMGetAttributes(wim.get(), &info, sizeof info)) {
        LogFailure(task, IDS_ATTRIBUTES_FAILED);
        return false;
    }
    if (RefuseSplitPart(task, info, IDS_LOAD_IMAGE_FAILED, 1))
        return false;
    if (!WIMSetTemporaryPath(wim.get(), nowhere)) {
        LogFailure(task, IDS_TEMP_FOLDER_FAILED);
        return false;
    }
    g_verify.images = std::max<DWORD>(info.ImageCount, 1);
    for (DWORD index = 1; index <= info.ImageCount; ++index) {
        if (!VerifyImage(task, wim.get(), index, nowhere)) {
            AppendLog(task, WSTR(""));
            LogMessage(task, IDS_VERIFY_FAILED);
            LogErrorText(task, ERROR_REQUEST_ABORTED);
            return false;
        }
    }

    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    if (g_verify.damaged != 0) {
        LogMessage(task, IDS_VERIFY_DAMAGED, static_cast<int>(g_verify.damaged.load()));
        return false;
    }
    LogClosingLine(task, IDS_VERIFY_INTACT, IDS_VERIFY_INTACT_TIMED, info.ImageCount);
    return true;
}
