#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "operations/imaging_handles.h"
#include "operations/operations.h"

namespace {

// Logs why a change did not reach the file.
void LogFailedChange(TaskState& task, bool& result)
{
    LogLastError(task);
    result = false;
}

}  // namespace

bool RunChange(TaskState& task)
{
    const int index = task.changeIndex;
    WimHandle wim(OpenWimForUpdate(task, task.changeSource, index, task.changeCheck));
    if (!wim)
        return false;
    WimHandle image(WIMLoadImage(wim.get(), static_cast<DWORD>(index)));
    if (!image) {
        LogFailure(task, IDS_LOAD_IMAGE_FAILED, index);
        return false;
    }

    // Every requested change is attempted; any that does not reach the file
    // is logged with the system's reason and makes the result false, so the
    // log never claims a change the file does not hold.
    bool result = true;
    bool changed = false;
    if (task.changeBoot) {
        LogMessage(task, IDS_SAVING_BOOT_IMAGE, index);
        changed = true;
        if (!WIMSetBootImage(wim.get(), static_cast<DWORD>(index)))
            LogFailedChange(task, result);
    }
    const struct {
        const WString& text;
        UINT logId;
        const WCHAR* element;
    } fields[] = {
        {task.changeFlags, IDS_SAVING_FLAGS, WSTR("FLAGS")},
        {task.changeDisplayDescription, IDS_SAVING_DESCRIPTION, WSTR("DISPLAYDESCRIPTION")},
        {task.changeDisplayName, IDS_SAVING_NAME, WSTR("DISPLAYNAME")},
        {task.changeDescription, IDS_SAVING_DESCRIPTION, WSTR("DESCRIPTION")},
        {task.changeName, IDS_SAVING_NAME, WSTR("NAME")},
    };
    for (const auto& field : fields) {
        if (field.text.empty())
            continue;
        changed = true;
        WString shown = field.text.substr(0, kTextBufferSize - 1);
        LogMessage(task, field.logId, shown.c_str());
        if (!SetImageField(task, image.get(), field.element, EscapeXmlText(field.text))) {
            LogImageFieldFailure(task, field.element);
            result = false;
        }
    }

    SetProgressPercent(task, 50);
    AppendLog(task, WSTR(""));
    if (task.changeCheck)
        LogMessage(task, IDS_ADDING_INTEGRITY);
    // Closing the handles is where the library writes what it kept back.
    if (!CloseWrittenHandles(image, wim) && changed) {
        LogFailure(task, IDS_CHANGES_NOT_WRITTEN);
        result = false;
    }
    SetProgressPercent(task, 100);
    if (result)
        LogClosingLine(task, IDS_OPERATION_DONE, IDS_OPERATION_DONE_TIMED);
    return result;
}
