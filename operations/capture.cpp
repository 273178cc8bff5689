#include "capture_config/capture_config.h"
#include "capture_config/capture_messages.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "metadata/windows_probe.h"
#include "operations/compression_choice.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"
#include "progress/log.h"

#include <mmsystem.h>

namespace {

// A page path made full into a 260-character buffer. A path that cannot be
// resolved or does not fit is kept as typed (cut to fit, for the log) and
// marked, so the step that needs it fails with the reason instead of working
// on a different, shortened path.
struct ResolvedPath {
    WCHAR text[kTextBufferSize] = {};
    DWORD error = ERROR_SUCCESS;  // why it could not be used
};

void ResolvePath(const WString& typed, ResolvedPath& resolved)
{
    const DWORD length = GetFullPathNameW(typed.c_str(), kTextBufferSize, resolved.text, nullptr);
    if (length > 0 && length < kTextBufferSize)
        return;
    resolved.error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    if (resolved.error == ERROR_SUCCESS)
        resolved.error = ERROR_INVALID_NAME;
    CopyToBuffer(resolved.text, kTextBufferSize, typed);
}

// The page's texts into the new image's XML. A text the library refuses is
// logged with the reason; the image is in the file all the same.
void WriteImageTexts(TaskState& task, HANDLE image)
{
    const struct {
        const WString& text;
        const WCHAR* element;
    } fields[] = {
        {task.captureName, WSTR("NAME")},
        {task.captureDescription, WSTR("DESCRIPTION")},
        {task.captureFlags, WSTR("FLAGS")},
        {task.captureDisplayName, WSTR("DISPLAYNAME")},
        {task.captureDisplayDescription, WSTR("DISPLAYDESCRIPTION")},
    };
    for (const auto& field : fields) {
        if (field.text.empty())
            continue;
        if (!SetImageField(task, image, field.element, EscapeXmlText(field.text)))
            LogLastError(task);
    }
}

}  // namespace

bool RunCapture(TaskState& task, bool append)
{
    task.eaNoticeShown = false;
    task.verifyNoticeShown = false;
    bool success = true;

    ResolvedPath destination;
    ResolvedPath source;
    ResolvePath(task.captureDestination, destination);
    ResolvePath(task.captureSource, source);
    LogMessage(task, 189, static_cast<const WCHAR*>(source.text));
    LogMessage(task, 190, static_cast<const WCHAR*>(destination.text));

    const CompressionChoice compression = ChooseCompression(task.captureCompression);
    LogMessage(task, compression.logId);
    LogMessage(task, task.captureVerify ? 194 : 195);
    LogMessage(task, task.captureCheck ? 196 : 197);
    if (task.captureNoRpFix)
        LogMessage(task, 239);

    const bool ownTempDir = !task.captureTempDir.empty();
    WCHAR tempDir[kTextBufferSize];
    const bool tempChosen = ChooseTempDirectory(ownTempDir ? task.captureTempDir.c_str() : destination.text,
                                                ownTempDir ? destination.text : source.text, tempDir);
    const DWORD tempError = GetLastError();
    LogMessage(task, 198, static_cast<const WCHAR*>(tempDir));
    if (!tempChosen) {
        LogMessage(task, 164);
        LogErrorText(task, tempError);
        success = false;
    }

    if (!LoadCaptureConfig(task))
        return false;
    if (task.captureShowSettings)
        LogPatternLists(task);
    AppendLog(task, WSTR(""));

    bool registered = false;
    if (success) {
        registered =
            WIMRegisterMessageCallback(nullptr, CaptureMessageCallback, nullptr) != INVALID_CALLBACK_VALUE;
        if (!registered) {
            LogMessage(task, 199);
            success = false;
        }
    }

    HANDLE wim = nullptr;
    HANDLE image = nullptr;
    if (success) {
        LogMessage(task, 162);
        const DWORD access = append ? WIM_GENERIC_READ | WIM_GENERIC_WRITE : WIM_GENERIC_WRITE;
        const DWORD disposition = append ? WIM_OPEN_EXISTING : WIM_CREATE_ALWAYS;
        DWORD creationResult = 0;
        if (destination.error == ERROR_SUCCESS) {
            wim = WIMCreateFile(destination.text, access, disposition,
                                task.captureCheck ? WIM_FLAG_VERIFY : 0, compression.type, &creationResult);
        } else {
            SetLastError(destination.error);
        }
        if (wim == nullptr) {
            LogFailure(task, 200, static_cast<const WCHAR*>(destination.text));
            success = false;
        }
    }
    if (wim != nullptr) {
        if (!WIMSetTemporaryPath(wim, tempDir)) {
            LogFailure(task, 164);
            success = false;
        } else {
            DWORD flags = task.captureVerify ? WIM_FLAG_VERIFY : 0;
            if (task.captureNoRpFix)
                flags |= WIM_FLAG_NO_RP_FIX;
            if (source.error == ERROR_SUCCESS)
                image = WIMCaptureImage(wim, source.text, flags);
            else
                SetLastError(source.error);
            if (image == nullptr) {
                LogLastError(task);
                success = false;
            }
        }
    }

    DWORD imageCount = 0;
    if (success) {
        imageCount = WIMGetImageCount(wim);
        ProbeOfflineWindows(task, image, source.text, tempDir);
        WriteImageTexts(task, image);
        if (task.captureBoot && !WIMSetBootImage(wim, imageCount))
            LogLastError(task);
    }

    ReleaseImagingHandles(wim, image, registered ? CaptureMessageCallback : nullptr);
    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    if (!success) {
        LogMessage(task, 202);
        return false;
    }
    const DWORD elapsed = timeGetTime() - task.startTime;
    if (elapsed < 1000) {
        LogMessage(task, 204, imageCount);
    } else {
        WCHAR duration[kDurationBufferSize];
        LogMessage(task, 203, static_cast<const WCHAR*>(FormatDuration(elapsed, duration)), imageCount);
    }
    return true;
}
