#include "capture_config/capture_messages.h"

#include "app/resource.h"
#include "operations/library_messages.h"
#include "progress/log.h"

#include <algorithm>

namespace {

const WCHAR kEaNotice[] = WSTR(
    "INFO: Extended attributes found, these will not be captured. This is how DISM and ImageX operate.\n");

bool IsSeparator(WCHAR c)
{
    return c == WSTR('\\') || c == WSTR('/');
}

bool SameCharacters(const WCHAR* left, const WCHAR* right, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (left[i] != right[i])
            return false;
    }
    return true;
}

void ShowCounter(TaskState& task, UINT id, uint32_t first, uint32_t second)
{
    WCHAR text[kTextBufferSize];
    SetProgressText(task, IDC_PROGRESS_COUNTER, LoadMessage(text, id, first, second));
}

DWORD DecideInclusion(TaskState& task, WPARAM wParam, LPARAM lParam)
{
    if (task.abortRequested)
        return WIM_MSG_ABORT_IMAGE;
    if (task.fileCount != 0) {
        ++task.itemsDone;
        return WIM_MSG_SUCCESS;
    }
    if (!task.scanNoticeShown) {
        task.scanNoticeShown = true;
        LogMessage(task, 211);
    }
    const WCHAR* path = reinterpret_cast<const WCHAR*>(wParam);
    BOOL* include = reinterpret_cast<BOOL*>(lParam);
    if (path == nullptr || include == nullptr)
        return WIM_MSG_SUCCESS;
    PathParts parts;
    BuildPathParts(parts, path);
    if (!PathMatchesList(parts, task.exclusions) || PathMatchesList(parts, task.exclusionExceptions))
        return WIM_MSG_SUCCESS;
    *include = FALSE;
    LogMessage(task, 212, path);
    return WIM_MSG_SUCCESS;
}

void DecideCompression(TaskState& task, WPARAM wParam, LPARAM lParam)
{
    const WCHAR* path = reinterpret_cast<const WCHAR*>(wParam);
    BOOL* compress = reinterpret_cast<BOOL*>(lParam);
    if (path == nullptr || compress == nullptr)
        return;
    PathParts parts;
    BuildPathParts(parts, path);
    if (PathMatchesList(parts, task.compressionExclusions))
        *compress = FALSE;
}

}  // namespace

void BuildPathParts(PathParts& parts, const WCHAR* path)
{
    if (path == nullptr)
        path = WSTR("");
    parts.path = path;
    size_t length = 0;
    while (path[length] != 0)
        ++length;
    PathSplit split = SplitPathText(path, length);

    // The directory always starts with a backslash; only its last characters
    // are kept when it is longer than the buffer.
    const WCHAR* folder = path + split.directoryStart;
    size_t folderLength = split.nameStart - split.directoryStart;
    bool addBackslash = folderLength == 0 || !IsSeparator(folder[0]);
    parts.directoryLength = folderLength + (addBackslash ? 1 : 0);
    size_t kept = std::min<size_t>(parts.directoryLength, kPathPartsBuffer - 1);
    WCHAR* out = parts.directory;
    if (kept == parts.directoryLength) {
        if (addBackslash)
            *out++ = WSTR('\\');
    } else {
        folder += folderLength - kept;
        folderLength = kept;
    }
    for (size_t i = 0; i < folderLength; ++i)
        out[i] = IsSeparator(folder[i]) ? WSTR('\\') : folder[i];
    parts.directory[kept] = 0;
    parts.directoryKept = kept;
    UpperCaseInPlace(parts.directory, kept);

    parts.nameLength = length - split.nameStart;
    parts.nameFits = parts.nameLength < kPathPartsBuffer;
    if (!parts.nameFits) {
        parts.nameLength = 0;
        parts.name[0] = 0;
        return;
    }
    for (size_t i = 0; i < parts.nameLength; ++i)
        parts.name[i] = path[split.nameStart + i];
    parts.name[parts.nameLength] = 0;
    UpperCaseInPlace(parts.name, parts.nameLength);
}

bool PathMatchesEntry(const PathParts& parts, const PatternEntry& entry)
{
    if (!parts.nameFits)
        return false;
    const uint64_t wanted = entry.directoryLength;
    if (wanted > entry.directory.size() || wanted > parts.directoryKept)
        return false;
    const bool anchored = !entry.pattern.empty() && IsSeparator(entry.pattern[0]);
    if (anchored ? parts.directoryLength != wanted : parts.directoryLength < wanted)
        return false;
    const WCHAR* tail = parts.directory + (parts.directoryKept - wanted);
    if (!SameCharacters(tail, entry.directory.data(), static_cast<size_t>(wanted)))
        return false;
    if (entry.hasWildcard) {
        // A pattern that ends in a plain character can only match a name
        // that ends in it: most names fail here, before the full match.
        const WCHAR last = entry.name.empty() ? WCHAR(0) : entry.name.back();
        if (last != WSTR('*') && last != WSTR('?') &&
            (parts.nameLength == 0 || parts.name[parts.nameLength - 1] != last))
            return false;
        return WildcardMatch(parts.name, entry.name.c_str());
    }
    return parts.nameLength == entry.name.size() &&
           SameCharacters(parts.name, entry.name.data(), parts.nameLength);
}

bool PathMatchesList(const PathParts& parts, const PatternList& list)
{
    const int32_t count = std::min<int32_t>(list.count, static_cast<int32_t>(list.entries.size()));
    for (int32_t i = 0; i < count; ++i) {
        if (PathMatchesEntry(parts, list.entries[static_cast<size_t>(i)]))
            return true;
    }
    return false;
}

bool WildcardMatch(const WCHAR* name, const WCHAR* pattern)
{
    const WCHAR* text = name;
    const WCHAR* wild = pattern;
    while (*text != 0) {
        if (*wild == WSTR('*'))
            break;
        if (*wild == 0 || (*wild != *text && *wild != WSTR('?')))
            return false;
        ++text;
        ++wild;
    }
    // After a star: try the rest of the pattern at each later text position.
    const WCHAR* wildRestart = nullptr;
    const WCHAR* textRestart = nullptr;
    while (*text != 0) {
        if (*wild == WSTR('*')) {
            ++wild;
            if (*wild == 0)
                return true;
            wildRestart = wild;
            textRestart = text + 1;
        } else if (*wild != 0 && (*wild == *text || *wild == WSTR('?'))) {
            ++wild;
            ++text;
        } else {
            text = textRestart;
            wild = wildRestart;
            ++textRestart;
        }
    }
    while (*wild == WSTR('*'))
        ++wild;
    return *wild == 0;
}

DWORD HandleCaptureMessage(TaskState& task, DWORD messageId, WPARAM wParam, LPARAM lParam)
{
    switch (messageId) {
    case WIM_MSG_PROGRESS:
        SetProgressPercent(task, static_cast<UINT>(wParam));
        UpdateTimeStatus(task, static_cast<DWORD>(lParam));
        ShowCounter(task, 208, task.itemsDone, task.fileCount);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_PROCESS:
        return DecideInclusion(task, wParam, lParam);
    case WIM_MSG_SCANNING:
        task.folderCount += static_cast<uint32_t>(wParam);
        task.itemsDone = std::max(task.itemsDone, static_cast<uint32_t>(lParam));
        if (task.itemsDone % 32 == 0)
            ShowCounter(task, 209, task.itemsDone, task.folderCount);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_SETRANGE:
        LogMessage(task, 207, task.folderCount, static_cast<uint32_t>(lParam));
        task.fileCount = static_cast<uint32_t>(lParam);
        task.itemsDone = 0;
        ShowCounter(task, 208, 0u, task.fileCount);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_COMPRESS:
        DecideCompression(task, wParam, lParam);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_ERROR:
        AppendLog(task, DiagnosticLine(WSTR("ERROR: "), wParam, lParam));
        return WIM_MSG_SUCCESS;
    case WIM_MSG_RETRY:
        AppendLog(task, DiagnosticLine(WSTR("RETRY: "), wParam, lParam));
        return WIM_MSG_SUCCESS;
    case WIM_MSG_INFO:
        if (static_cast<DWORD>(lParam) == kEasNotSupported) {
            if (!task.eaNoticeShown) {
                task.eaNoticeShown = true;
                AppendLog(task, kEaNotice);
            }
        } else {
            AppendLog(task, DiagnosticLine(WSTR("INFO: "), wParam, lParam));
        }
        return WIM_MSG_SUCCESS;
    case WIM_MSG_WARNING:
        AppendLog(task, DiagnosticLine(WSTR("WARNING: "), wParam, lParam));
        return WIM_MSG_SUCCESS;
    case WIM_MSG_QUERY_ABORT:
        return task.abortRequested ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
    case kMsgVerifyingIntegrity:
        if (!task.verifyNoticeShown) {
            task.verifyNoticeShown = true;
            LogMessage(task, 250);
        }
        UpdateTimeStatus(task, 0);
        return WIM_MSG_SUCCESS;
    case kMsgAddingIntegrity:
        LogMessage(task, 172);
        UpdateTimeStatus(task, 0);
        return WIM_MSG_SUCCESS;
    default:
        return WIM_MSG_SUCCESS;
    }
}

DWORD CALLBACK CaptureMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    (void)userData;
    return HandleCaptureMessage(Task(), messageId, wParam, lParam);
}
