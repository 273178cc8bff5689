#include "base/log.h"

#include "base/language.h"
#include "base/resource.h"
#include "base/text_box.h"

#include <atomic>
#include <commctrl.h>
#include <mmsystem.h>

#include <vector>

namespace {

// The formatter's argument-list type differs between the two builds' headers.
#if defined(CORVANE_WINELIB)
using FormatArguments = __ms_va_list;
#else
using FormatArguments = va_list;
#endif

const WCHAR kUnknownText[] = WSTR("???");

// The elapsed second last shown on the status line (process-wide, never reset).
std::atomic<DWORD> lastShownSecond{0};

void SetUnknown(WCHAR* buffer)
{
    CopyToBuffer(buffer, kTextBufferSize, kUnknownText);
}

// Entry `id` in the chosen language, else in Chinese (the complete table).
bool LoadChosenString(UINT id, WCHAR* buffer)
{
    if (LoadStringOfLanguage(id, CurrentLanguage(), buffer, kTextBufferSize) > 0)
        return true;
    return CurrentLanguage() != kLanguageChinese &&
           LoadStringOfLanguage(id, kLanguageChinese, buffer, kTextBufferSize) > 0;
}

bool OnWindowThread(HWND window)
{
    return GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

// Makes `change` to what is pending and asks the window's thread to show
// it; one request at a time, since the window takes everything pending.
template <typename Change>
void LeavePending(TaskState& task, HWND window, Change change)
{
    {
        std::lock_guard<std::mutex> hold(task.pendingLock);
        change(task.pending);
    }
    if (!task.refreshPosted.exchange(true))
        PostMessageW(window, WM_PROGRESS_REFRESH, 0, 0);
}

// The pending text of `control`, added empty when there is none.
WString& PendingText(TaskState::PendingProgress& pending, int control)
{
    for (auto& [id, text] : pending.texts) {
        if (id == control)
            return text;
    }
    return pending.texts.emplace_back(control, WString()).second;
}

void ShowBar(HWND window, UINT percent)
{
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETPOS, percent, 0);
    PostMessageW(window, WM_PROGRESS_PERCENT, percent, 0);
    WCHAR label[kTextBufferSize];
    wsprintfW(label, WSTR("%d%%"), static_cast<int>(percent));
    SetDlgItemTextW(window, IDC_PROGRESS_PERCENT, label);
}

}  // namespace

void ShowPendingProgress(TaskState& task, HWND window)
{
    // Cleared before taking, so that a change made meanwhile asks again.
    task.refreshPosted = false;
    TaskState::PendingProgress taken;
    {
        std::lock_guard<std::mutex> hold(task.pendingLock);
        std::swap(taken, task.pending);
    }
    for (const auto& [control, text] : taken.texts)
        SetDlgItemTextW(window, control, text.c_str());
    if (taken.barMoved)
        ShowBar(window, taken.barPercent);
    if (taken.logChanged)
        ShowLog(task, window);
}

void DropPendingProgress(TaskState& task)
{
    std::lock_guard<std::mutex> hold(task.pendingLock);
    task.pending = TaskState::PendingProgress();
}

WCHAR* LoadTableString(UINT id, WCHAR* buffer)
{
    if (!LoadChosenString(id, buffer))
        SetUnknown(buffer);
    return buffer;
}

WCHAR* LoadMessageArgs(WCHAR* buffer, UINT id, std::initializer_list<DWORD_PTR> inserts)
{
    if (!LoadChosenString(id, buffer)) {
        SetUnknown(buffer);
        return buffer;
    }
    // The formatter reads inserts as an array of pointer-sized values, which
    // keeps this independent of the C variadic conventions of either build.
    std::vector<DWORD_PTR> arguments(inserts);
    arguments.resize(arguments.size() + 1);
    WCHAR* expanded = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, buffer,
        0, 0, reinterpret_cast<LPWSTR>(&expanded), 0, reinterpret_cast<FormatArguments*>(arguments.data()));
    if (length == 0 || expanded == nullptr) {
        SetUnknown(buffer);
    } else {
        // A line too long for the log loses its middle, not its end, which
        // holds a path's file name.
        CopyToBuffer(buffer, kTextBufferSize,
                     ShortenedInMiddle(WStringView(expanded, length), kTextBufferSize - 1));
    }
    if (expanded != nullptr)
        LocalFree(expanded);
    return buffer;
}

namespace {

DWORD FormatSystemText(WCHAR* buffer, DWORD code, LANGID language)
{
    return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language,
                          buffer, kTextBufferSize, nullptr);
}

}  // namespace

WCHAR* SystemErrorText(WCHAR* buffer, DWORD code)
{
    return SystemErrorTextIn(buffer, code, CurrentLanguage());
}

WCHAR* SystemErrorTextIn(WCHAR* buffer, DWORD code, LANGID language)
{
    // The reason in the interface's language, so that an English log never
    // carries a Chinese sentence; where the system lacks that language's
    // texts, in the system's own.
    DWORD length = FormatSystemText(buffer, code, language);
    if (length == 0)
        length = FormatSystemText(buffer, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT));
    if (length == 0) {
        SetUnknown(buffer);
        return buffer;
    }
    // The system's texts end with CR LF; a log line must not carry either.
    while (length > 0 && length < kTextBufferSize &&
           (buffer[length - 1] == WSTR('\n') || buffer[length - 1] == WSTR('\r')))
        buffer[--length] = 0;
    return buffer;
}

void AppendLog(TaskState& task, const WCHAR* text)
{
    AppendLog(task, WString(text));
}

void AppendLog(TaskState& task, WString text)
{
    HWND window = nullptr;
    {
        std::lock_guard<std::mutex> hold(task.logLock);
        task.logText += text;
        task.logText += WSTR("\r\n");
        ++task.logVersion;
        window = task.progressWindow;
    }
    if (window == nullptr)
        return;
    if (OnWindowThread(window))
        ShowLog(task, window);
    else
        LeavePending(task, window, [](TaskState::PendingProgress& pending) { pending.logChanged = true; });
}

void ShowLog(TaskState& task, HWND window)
{
    // The control is set outside the lock: the window's thread may be waiting
    // for the lock to add the abort notice while this thread waits for it to
    // take the text. Both threads set the control, so a copy taken before the
    // other thread's append can land after that thread's newer one: whoever
    // finds the log changed since its copy shows it again.
    for (;;) {
        WString shown;
        uint64_t version = 0;
        {
            std::lock_guard<std::mutex> hold(task.logLock);
            shown = task.logText;
            version = task.logVersion;
        }
        SetLogText(GetDlgItem(window, IDC_PROGRESS_LOG), shown.c_str());
        std::lock_guard<std::mutex> hold(task.logLock);
        if (task.logVersion == version)
            return;
    }
}

void LogLastError(TaskState& task)
{
    LogErrorText(task, GetLastError());
}

void LogErrorText(TaskState& task, DWORD code)
{
    WCHAR systemText[kTextBufferSize];
    SystemErrorText(systemText, code);
    LogMessage(task, IDS_ERROR_REASON, static_cast<const WCHAR*>(systemText));
}

WCHAR* FormatDuration(DWORD milliseconds, WCHAR* buffer)
{
    DWORD seconds = milliseconds / 1000;
    if (milliseconds != 0 && seconds >= 60) {
        wsprintfW(buffer, WSTR("%dm%.2ds"), static_cast<int>(milliseconds / 60000),
                  static_cast<int>(seconds % 60));
    } else if (milliseconds != 0 && seconds >= 1) {
        wsprintfW(buffer, WSTR("%ds"), static_cast<int>(seconds));
    } else {
        WCHAR text[kTextBufferSize];
        LoadTableString(IDS_CALCULATING, text);
        CopyToBuffer(buffer, kDurationBufferSize, text);
    }
    return buffer;
}

void SetProgressPercent(TaskState& task, UINT percent)
{
    if (percent == task.lastPercent)
        return;
    task.lastPercent = percent;
    HWND window = task.progressWindow;
    if (window == nullptr)
        return;
    if (OnWindowThread(window)) {
        {
            // No older pending position may follow this one.
            std::lock_guard<std::mutex> hold(task.pendingLock);
            task.pending.barMoved = false;
        }
        ShowBar(window, percent);
        return;
    }
    LeavePending(task, window, [percent](TaskState::PendingProgress& pending) {
        pending.barMoved = true;
        pending.barPercent = percent;
    });
}

namespace {

// Whether the elapsed second is new; remembers it when it is.
bool NewElapsedSecond(const TaskState& task, DWORD now)
{
    if (now == task.startTime)
        return true;
    const DWORD second = (now - task.startTime) / 1000;
    return lastShownSecond.exchange(second) != second;
}

void ShowTimeStatus(TaskState& task, DWORD remainingMilliseconds)
{
    WCHAR elapsed[kDurationBufferSize];
    WCHAR remaining[kDurationBufferSize];
    FormatDuration(timeGetTime() - task.startTime, elapsed);
    FormatDuration(remainingMilliseconds, remaining);
    WCHAR line[kTextBufferSize];
    LoadMessage(line, IDS_TIME_STATUS, static_cast<const WCHAR*>(elapsed),
                static_cast<const WCHAR*>(remaining));
    SetProgressText(task, IDC_PROGRESS_STATUS, line);
}

}  // namespace

void UpdateTimeStatus(TaskState& task, DWORD remainingMilliseconds)
{
    const DWORD now = timeGetTime();
    {
        std::lock_guard<std::mutex> hold(task.timeLock);
        task.timeTicking = true;
        task.remainingEstimate = remainingMilliseconds;
        task.remainingEstimateAt = now;
    }
    if (NewElapsedSecond(task, now))
        ShowTimeStatus(task, remainingMilliseconds);
}

void TickTimeStatus(TaskState& task)
{
    // Held while the text is set, so that the end's empty line, left after
    // StopTimeStatus, always comes after the last tick.
    std::lock_guard<std::mutex> hold(task.timeLock);
    const DWORD now = timeGetTime();
    if (!task.timeTicking || !NewElapsedSecond(task, now))
        return;
    const DWORD since = now - task.remainingEstimateAt;
    ShowTimeStatus(task, task.remainingEstimate > since ? task.remainingEstimate - since : 0);
}

void StopTimeStatus(TaskState& task)
{
    std::lock_guard<std::mutex> hold(task.timeLock);
    task.timeTicking = false;
}

void LogClosingLine(TaskState& task, UINT quickId, UINT timedId, DWORD count)
{
    DWORD elapsed = timeGetTime() - task.startTime;
    if (elapsed < 1000) {
        LogMessage(task, quickId, count);
    } else {
        WCHAR duration[kDurationBufferSize];
        LogMessage(task, timedId, static_cast<const WCHAR*>(FormatDuration(elapsed, duration)), count);
    }
}

void SetProgressText(TaskState& task, int control, const WCHAR* text)
{
    HWND window = task.progressWindow;
    if (window == nullptr)
        return;
    if (!OnWindowThread(window)) {
        LeavePending(task, window, [control, text](TaskState::PendingProgress& pending) {
            PendingText(pending, control) = text;
        });
        return;
    }
    {
        // No older pending text of the control may follow this one.
        std::lock_guard<std::mutex> hold(task.pendingLock);
        std::erase_if(task.pending.texts, [control](const auto& entry) { return entry.first == control; });
    }
    SetDlgItemTextW(window, control, text);
}
