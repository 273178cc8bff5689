#include "imaging/wimgapi.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"
#include "operations/user_path.h"
#include "progress/log.h"

#include <algorithm>

namespace {

// The part size the page's text names, logged when it names one.
LONGLONG ChoosePartSize(TaskState& task)
{
    static const struct {
        UINT nameId;
        LONGLONG bytes;
    } kSizes[] = {
        {251, 600LL * 1048576},  // a CD
        {252, 0xFFFFFFFELL},     // the largest FAT32 file, less one byte for safety
    };
    for (const auto& size : kSizes) {
        WCHAR name[kTextBufferSize];
        if (task.splitSize == LoadTableString(size.nameId, name)) {
            LogMessage(task, 253, static_cast<const WCHAR*>(name));
            return size.bytes;
        }
    }
    return 256LL * 1048576;
}

// Opens the source and splits it; failures are logged where they happen.
bool SplitOpenedFile(TaskState& task, HANDLE wim, const WCHAR* destinationPath, LARGE_INTEGER& partSize)
{
    WIM_INFO info = {};
    if (!WIMGetAttributes(wim, &info, sizeof info)) {
        LogMessage(task, 165);
        return false;
    }
    if (info.TotalParts != 1) {
        LogMessage(task, 248);
        return false;
    }
    if (WIMSplitFile(wim, destinationPath, &partSize, 0))
        return true;
    if (GetLastError() == ERROR_MORE_DATA)
        LogMessage(task, 249);
    else
        LogLastError(task);
    return false;
}

}  // namespace

DWORD CALLBACK SplitMessageCallback(DWORD messageId, WPARAM wParam, LPARAM, PVOID)
{
    TaskState& task = Task();
    switch (messageId) {
    case WIM_MSG_SPLIT: {
        // The bar moves by five per part, from 25 up to 75 at most.
        SetProgressPercent(task, std::min<UINT>(task.lastPercent + 5, 75));
        UpdateTimeStatus(task, 0);
        const WCHAR* const* partPath = reinterpret_cast<const WCHAR* const*>(wParam);
        if (partPath == nullptr || *partPath == nullptr)
            break;
        WCHAR fullPath[kTextBufferSize];
        WCHAR* fileName = nullptr;
        const DWORD length = GetFullPathNameW(*partPath, kTextBufferSize, fullPath, &fileName);
        // A name too long for the buffer is logged from the given path.
        WStringView name = *partPath;
        if (length != 0 && length < kTextBufferSize && fileName != nullptr) {
            name = fileName;
        } else if (const size_t slash = name.find_last_of(WSTR("\\/")); slash != WStringView::npos) {
            name.remove_prefix(slash + 1);
        }
        WString line = WSTR("Writing file: ") + WString(name);
        line.resize(std::min<size_t>(line.size(), kTextBufferSize - 1));
        AppendLog(task, std::move(line));
        break;
    }
    case WIM_MSG_QUERY_ABORT:
        if (task.abortRequested)
            return WIM_MSG_ABORT_IMAGE;
        UpdateTimeStatus(task, 0);
        break;
    case WIM_MSG + 29:
        UpdateTimeStatus(task, 0);
        break;
    default:
        break;
    }
    return WIM_MSG_SUCCESS;
}

bool RunSplit(TaskState& task)
{
    WCHAR destinationPath[kTextBufferSize];
    WCHAR sourcePath[kTextBufferSize];
    CopyUserPath(destinationPath, task.splitDestination, PathForm::Full);
    CopyUserPath(sourcePath, task.splitSource, PathForm::Full);
    LogMessage(task, 189, static_cast<const WCHAR*>(sourcePath));
    LogMessage(task, 190, static_cast<const WCHAR*>(destinationPath));

    WCHAR temporaryPath[kTextBufferSize];
    const bool haveTemporary = ChooseTempDirectory(destinationPath, nullptr, temporaryPath);
    const DWORD temporaryError = GetLastError();
    LogMessage(task, 198, static_cast<const WCHAR*>(temporaryPath));
    if (!haveTemporary) {
        LogMessage(task, 164);
        SetLastError(temporaryError);
        LogLastError(task);
    }
    LogMessage(task, task.splitCheck ? 196 : 197);
    LARGE_INTEGER partSize;
    partSize.QuadPart = ChoosePartSize(task);
    AppendLog(task, WSTR(""));

    bool split = false;
    HANDLE wim = nullptr;
    if (haveTemporary) {
        if (WIMRegisterMessageCallback(nullptr, SplitMessageCallback, nullptr) == INVALID_CALLBACK_VALUE) {
            LogMessage(task, 199);
        } else {
            LogMessage(task, 162);
            DWORD creationResult = 0;
            wim = WIMCreateFile(sourcePath, WIM_GENERIC_READ, WIM_OPEN_EXISTING,
                                task.splitCheck ? WIM_FLAG_VERIFY : 0, WIM_COMPRESS_NONE, &creationResult);
            if (wim == nullptr) {
                LogFailure(task, 163);
            }
        }
    }
    SetProgressPercent(task, 25);
    if (wim != nullptr)
        split = SplitOpenedFile(task, wim, destinationPath, partSize);

    ReleaseImagingHandles(wim, nullptr, SplitMessageCallback);
    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    if (!split) {
        LogMessage(task, 247);
        return false;
    }
    LogMessage(task, 246);
    return true;
}
