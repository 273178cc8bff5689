#include "operations/library_messages.h"

#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"

WString CodedMessageLine(WStringView prefix, const WCHAR* path, LPARAM code, WStringView suffix)
{
    const WString tail =
        WSTR(" [err = ") + DecimalText(static_cast<int32_t>(code)) + WSTR("]") + WString(suffix);
    WStringView item = path != nullptr ? WStringView(path) : WStringView(WSTR("(null)"));
    const size_t room = kTextBufferSize - 1 - prefix.size() - tail.size();
    WString line(prefix);
    if (item.size() > room) {
        line += WSTR("...");
        item = item.substr(item.size() - (room - 3));
    }
    line += item;
    line += tail;
    return line;
}

WString LibraryMessageLine(DWORD messageId, WPARAM wParam, LPARAM lParam)
{
    const WCHAR* path = reinterpret_cast<const WCHAR*>(wParam);
    switch (messageId) {
    case WIM_MSG_ERROR:
        return CodedMessageLine(WSTR("ERROR: "), path, lParam);
    case WIM_MSG_RETRY:
        return CodedMessageLine(WSTR("RETRY: "), path, lParam);
    case WIM_MSG_INFO:
        return CodedMessageLine(WSTR("INFO: "), path, lParam, WSTR("\n"));
    case WIM_MSG_WARNING:
        return CodedMessageLine(WSTR("WARNING: "), path, lParam);
    case WIM_MSG_LEFTOVER_REMOVED:
        return LeftoverRemovedLine(wParam);
    default:
        return {};
    }
}

WString LeftoverRemovedLine(WPARAM path)
{
    const WCHAR* shown = path != 0 ? reinterpret_cast<const WCHAR*>(path) : WSTR("(null)");
    WCHAR line[kTextBufferSize];
    return LoadMessage(line, IDS_LEFTOVER_REMOVED, shown);
}

WString DiagnosticLine(WStringView prefix, WPARAM path, LPARAM code)
{
    WCHAR systemText[kTextBufferSize];
    SystemErrorText(systemText, static_cast<DWORD>(code));
    WString line(prefix);
    if (path != 0)
        line += reinterpret_cast<const WCHAR*>(path);
    line += WSTR("    [Code=");
    line += systemText;
    line += WSTR("]\n");
    return line;
}

DWORD AnswerWritingOut(TaskState& task, DWORD messageId, WPARAM wParam, LPARAM lParam)
{
    switch (messageId) {
    case WIM_MSG_PROCESS:
        if (task.abortRequested)
            return WIM_MSG_ABORT_IMAGE;
        ++task.itemsDone;
        return WIM_MSG_SUCCESS;
    case WIM_MSG_QUERY_ABORT:
        return task.abortRequested ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
    case WIM_MSG_RETRY:
    case WIM_MSG_INFO:
    case WIM_MSG_WARNING:
        AppendLog(task, LibraryMessageLine(messageId, wParam, lParam));
        return WIM_MSG_SUCCESS;
    default:
        return WIM_MSG_SUCCESS;
    }
}
