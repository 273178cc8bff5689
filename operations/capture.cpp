#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "capture_config/capture_config.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "metadata/windows_probe.h"
#include "operations/capture_messages.h"
#include "operations/compression_choice.h"
#include "operations/imaging_handles.h"
#include "operations/operations.h"
#include "operations/split_set.h"
#include "operations/temp_directory.h"

#include <mmsystem.h>

namespace {

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
            LogImageFieldFailure(task, field.element);
    }
}

// An appended image is written with the file's own compression, whatever
// the page chose; the log names the one it gets.
bool LogAppendCompression(TaskState& task, HANDLE wim, const CompressionChoice& chosen)
{
    WIM_INFO info = {};
    if (!WIMGetAttributes(wim, &info, sizeof info)) {
        LogFailure(task, IDS_ATTRIBUTES_FAILED);
        return false;
    }
    LogWrittenCompression(task, chosen, info.CompressionType);
    return true;
}

// The capture from its open to the closed file, once the settings are
// logged; failures of the library's capture and of the write at the close
// keep their reason in `reason` for the closing failure line, the others
// are logged where they happen.
bool CaptureInto(TaskState& task, bool append, const UserPath& destination, const UserPath& source,
                 const WCHAR* tempDir, const CompressionChoice& compression, DWORD& imageCount, DWORD& reason)
{
    const CallbackRegistration callback(CaptureMessageCallback);
    if (!callback) {
        LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        return false;
    }
    LogMessage(task, IDS_OPENING_WIM);
    const DWORD access = append ? WIM_GENERIC_READ | WIM_GENERIC_WRITE : WIM_GENERIC_WRITE;
    const DWORD disposition = append ? WIM_OPEN_EXISTING : WIM_CREATE_ALWAYS;
    DWORD creationResult = 0;
    WimHandle wim;
    if (append && destination.Usable() && RefuseSetPart(task, destination.text, IDS_OPEN_WIM_FAILED))
        return false;
    if (destination.Usable()) {
        // An appended file may be solid; the flag also lets the library open it.
        const DWORD createFlags = (task.captureCheck ? WIM_FLAG_VERIFY : 0) | compression.createFlags |
                                  (append ? WIM_FLAG_SOLID : 0);
        wim = WIMCreateFile(destination.text, access, disposition, createFlags, compression.type,
                            &creationResult);
    } else {
        SetLastError(destination.refusal);
    }
    if (!wim) {
        LogFailure(task, IDS_WRITE_FAILED, static_cast<const WCHAR*>(destination.text));
        return false;
    }
    if (append && !LogAppendCompression(task, wim.get(), compression))
        return false;
    if (!WIMSetTemporaryPath(wim.get(), tempDir)) {
        LogFailure(task, IDS_TEMP_FOLDER_FAILED);
        return false;
    }
    DWORD flags = task.captureVerify ? WIM_FLAG_VERIFY : 0;
    if (task.captureNoRpFix)
        flags |= WIM_FLAG_NO_RP_FIX;
    WimHandle image;
    if (source.Usable())
        image = WIMCaptureImage(wim.get(), source.text, flags);
    else
        SetLastError(source.refusal);
    if (!image) {
        reason = GetLastError();
        return false;
    }
    imageCount = WIMGetImageCount(wim.get());
    ProbeOfflineWindows(task, image.get(), source.text, tempDir);
    WriteImageTexts(task, image.get());
    if (task.captureBoot && !WIMSetBootImage(wim.get(), imageCount))
        LogLastError(task);
    // The library writes the image with its texts and boot mark as the
    // handles close: a failed close is a failed capture.
    if (!CloseWrittenHandles(image, wim)) {
        reason = GetLastError();
        return false;
    }
    return true;
}

}  // namespace

bool RunCapture(TaskState& task, bool append)
{
    task.eaNoticeShown = false;
    task.verifyNoticeShown = false;

    UserPath destination;
    UserPath source;
    TakeUserPath(destination, task.captureDestination, PathForm::Full);
    TakeUserPath(source, task.captureSource, PathForm::Full);
    LogMessage(task, IDS_SOURCE_LINE, static_cast<const WCHAR*>(source.text));
    LogMessage(task, IDS_SAVE_TO_LINE, static_cast<const WCHAR*>(destination.text));

    // An append's line waits until the file is open and its own is known.
    const CompressionChoice compression = ChooseCompression(task.captureCompression);
    if (!append)
        LogMessage(task, compression.logId);
    LogMessage(task, task.captureVerify ? IDS_VERIFY_ON_LINE : IDS_VERIFY_OFF_LINE);
    LogMessage(task, task.captureCheck ? IDS_CHECK_ON_LINE : IDS_CHECK_OFF_LINE);
    if (task.captureNoRpFix)
        LogMessage(task, IDS_RP_FIX_DISABLED);

    const bool ownTempDir = !task.captureTempDir.empty();
    WCHAR tempDir[kTextBufferSize];
    const bool tempChosen =
        TakeTempDirectory(task, ownTempDir ? task.captureTempDir.c_str() : destination.text,
                          ownTempDir ? destination.text : source.text, tempDir);

    if (!LoadCaptureConfig(task))
        return false;
    if (task.captureShowSettings)
        LogPatternLists(task);
    AppendLog(task, WSTR(""));

    DWORD imageCount = 0;
    DWORD reason = ERROR_SUCCESS;
    const bool captured = tempChosen && CaptureInto(task, append, destination, source, tempDir, compression,
                                                    imageCount, reason);
    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    if (!captured) {
        LogMessage(task, IDS_READ_WIM_FAILED);
        if (reason != ERROR_SUCCESS)
            LogErrorText(task, reason);
        return false;
    }
    LogClosingLine(task, IDS_CAPTURED, IDS_CAPTURED_TIMED, imageCount);
    return true;
}
