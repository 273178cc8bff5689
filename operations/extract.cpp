// Extract: files and folders of an image copied into a folder, each under its
// own name there, without applying the whole image.
#include "base/file_names.h"
#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/image_source.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/operations.h"

#include <mmsystem.h>

namespace {

struct PlannedItem {
    WString imagePath;
    WString name;
    uint64_t bytes = 0;
};

UINT NameFaultReason(NameFault fault)
{
    switch (fault) {
    case NameFault::DotName:
        return IDS_NAME_DOTS;
    case NameFault::BadCharacter:
        return IDS_NAME_CHARACTER;
    case NameFault::TrailingDotOrSpace:
        return IDS_NAME_TRAILING;
    case NameFault::DeviceName:
        return IDS_NAME_DEVICE;
    default:
        return IDS_NAME_EMPTY;
    }
}

WStringView LastName(WStringView path)
{
    const size_t slash = path.rfind('\\');
    return slash == WStringView::npos ? path : path.substr(slash + 1);
}

void LogBadName(TaskState& task, const WCHAR* path, NameFault fault)
{
    WCHAR reason[kTextBufferSize];
    LogMessage(task, IDS_BAD_NAME, path,
               static_cast<const WCHAR*>(LoadTableString(NameFaultReason(fault), reason)));
}

WString ByteText(uint64_t bytes)
{
    return DecimalText(static_cast<long long>(bytes));
}

void ShowCounter(TaskState& task)
{
    const uint64_t done = task.extractBytesDone + task.extractItemBytes * task.lastPercent / 100;
    const WString doneText = ByteText(done);
    const WString totalText = ByteText(task.extractTotalBytes);
    WCHAR counter[kTextBufferSize];
    LoadMessage(counter, IDS_EXTRACT_COUNTER, task.itemsDone, task.fileCount, doneText.c_str(),
                totalText.c_str());
    SetProgressText(task, IDC_PROGRESS_COUNTER, counter);
}

void ShowProgress(TaskState& task, UINT itemPercent)
{
    task.lastPercent = itemPercent;
    const uint64_t done = task.extractBytesDone + task.extractItemBytes * itemPercent / 100;
    const uint64_t total = task.extractTotalBytes;
    SetProgressPercent(task, total == 0 ? 100 : static_cast<UINT>(done * 100 / total));
    const uint64_t elapsed = timeGetTime() - task.startTime;
    UpdateTimeStatus(task, done == 0 ? 0 : static_cast<DWORD>(elapsed * (total - done) / done));
    ShowCounter(task);
}

// The items of a folder and their bytes, counted through the library's own
// listing; false with the last error when a folder cannot be read.
bool CountTree(HANDLE image, const WString& folder, uint32_t& items, uint64_t& bytes)
{
    std::vector<ImageEntry> entries;
    if (!ListImageFolder(image, folder, entries))
        return false;
    for (const ImageEntry& entry : entries) {
        ++items;
        if (!entry.IsFolder()) {
            bytes += entry.size;
        } else if (!CountTree(image, ImageChildPath(folder, entry.name), items, bytes)) {
            return false;
        }
    }
    return true;
}

// The item under `imagePath` as it will be written: its name, checked, and
// its size; the root stands for its entries. False once logged.
bool PlanItem(TaskState& task, HANDLE image, const WString& imagePath, std::vector<PlannedItem>& plan)
{
    if (imagePath == WSTR("\\")) {
        std::vector<ImageEntry> entries;
        if (!ListImageFolder(image, imagePath, entries)) {
            LogFailure(task, IDS_EXTRACT_FAILED, imagePath.c_str());
            return false;
        }
        for (const ImageEntry& entry : entries) {
            if (!PlanItem(task, image, ImageChildPath(imagePath, entry.name), plan))
                return false;
        }
        return true;
    }
    const WStringView name = LastName(imagePath);
    ImageEntry entry;
    if (!FindImageEntry(image, imagePath, entry)) {
        LogFailure(task, IDS_EXTRACT_FAILED, imagePath.c_str());
        return false;
    }
    const NameFault fault = WindowsNameFault(name);
    if (fault != NameFault::None) {
        LogBadName(task, imagePath.c_str(), fault);
        return false;
    }
    PlannedItem item{.imagePath = imagePath, .name = WString(name)};
    uint32_t items = 1;
    if (!entry.IsFolder()) {
        item.bytes = entry.size;
    } else if (!CountTree(image, imagePath, items, item.bytes)) {
        LogFailure(task, IDS_EXTRACT_FAILED, imagePath.c_str());
        return false;
    }
    task.fileCount += items;
    task.extractTotalBytes += item.bytes;
    plan.push_back(std::move(item));
    return true;
}

void LogSettings(TaskState& task, const WCHAR* wimPath, const WCHAR* target)
{
    LogMessage(task, IDS_SOURCE_LINE, wimPath);
    LogMessage(task, IDS_APPLY_IMAGE_LINE, static_cast<int>(task.filesIndex));
    for (const WString& item : task.filesItems)
        LogMessage(task, IDS_EXTRACT_ITEM_LINE, item.c_str());
    LogMessage(task, IDS_EXTRACT_TO_LINE, target);
    AppendLog(task, WSTR(""));
}

}  // namespace

DWORD CALLBACK ExtractMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID)
{
    TaskState& task = Task();
    switch (messageId) {
    case WIM_MSG_PROGRESS:
        ShowProgress(task, static_cast<UINT>(wParam));
        return WIM_MSG_SUCCESS;
    case WIM_MSG_ERROR: {
        const auto* path = reinterpret_cast<const WCHAR*>(wParam);
        if (path != nullptr && lParam == ERROR_INVALID_NAME) {
            const NameFault fault = WindowsNameFault(LastName(path));
            LogBadName(task, path, fault == NameFault::None ? NameFault::BadCharacter : fault);
        } else if (path != nullptr && lParam == ERROR_NOT_FOUND) {
            LogMessage(task, IDS_DATA_MISSING, path);
        } else {
            AppendLog(task, LibraryMessageLine(messageId, wParam, lParam));
        }
        return task.abortRequested ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
    }
    default:
        return AnswerWritingOut(task, messageId, wParam, lParam);
    }
}

bool RunExtract(TaskState& task)
{
    UserPath target;
    UserPath wimPath;
    const bool targetTaken = TakeUserPath(target, task.filesTarget, PathForm::Full);
    const bool wimTaken = TakeUserPath(wimPath, task.filesSource, PathForm::Full);
    LogSettings(task, wimPath.text, target.text);

    const CallbackRegistration callback(ExtractMessageCallback);
    if (!callback) {
        LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        return false;
    }
    LogMessage(task, IDS_OPENING_WIM);
    if (!wimTaken || !targetTaken) {
        SetLastError(wimTaken ? target.refusal : wimPath.refusal);
        if (wimTaken)
            LogFailure(task, IDS_EXTRACT_FAILED, target.text);
        else
            LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    const int index = static_cast<int>(task.filesIndex);
    SourceImage source;
    const SourceStep step = OpenSourceImage(wimPath.text, static_cast<DWORD>(index), false, source);
    if (step != SourceStep::Ready) {
        LogSourceFailure(task, step, source, index);
        return false;
    }
    LogSourceParts(task, source);
    std::vector<PlannedItem> plan;
    for (const WString& item : task.filesItems) {
        if (!PlanItem(task, source.image.get(), item, plan))
            return false;
    }
    const WString totalText = ByteText(task.extractTotalBytes);
    LogMessage(task, IDS_EXTRACTING, static_cast<int>(task.fileCount), totalText.c_str());

    for (const PlannedItem& item : plan) {
        if (task.abortRequested) {
            SetLastError(ERROR_REQUEST_ABORTED);
            LogFailure(task, IDS_EXTRACT_FAILED, item.imagePath.c_str());
            return false;
        }
        const WString destination = WithoutTrailingBackslash(target.text) + WSTR("\\") + item.name;
        task.extractItemBytes = item.bytes;
        task.lastPercent = 0;
        if (!WIMExtractImagePath(source.image.get(), item.imagePath.c_str(), destination.c_str(), 0)) {
            LogFailure(task, IDS_EXTRACT_FAILED, item.imagePath.c_str());
            return false;
        }
        task.extractBytesDone += item.bytes;
        task.extractItemBytes = 0;
        ShowProgress(task, 0);
    }
    LogClosingLine(task, IDS_EXTRACTED, IDS_EXTRACTED_TIMED);
    return true;
}
