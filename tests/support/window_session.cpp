#include "tests/support/window_session.h"

#include "app/main_window.h"
#include "base/log.h"
#include "base/resource.h"
#include "base/task_state.h"

#include <commctrl.h>

#include <vector>

void ResetTaskState()
{
    TaskState& task = Task();
    task.mainWindow = nullptr;
    task.pageWindow = nullptr;
    task.progressWindow = nullptr;
    task.pageIndex = -1;
    task.logText.clear();
    task.RestoreInputDefaults();
}

double MillisecondsNow()
{
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(5);
    }
    return true;
}

namespace {

struct WindowSearch {
    WString caption;
    HWND found;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    if (IsWindowVisible(window) && WindowText(window) == search->caption) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter)
{
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
    return TRUE;
}

}  // namespace

HWND FindThreadWindow(DWORD threadId, WStringView caption)
{
    WindowSearch search{WString(caption), nullptr};
    EnumThreadWindows(threadId, MatchCaption, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int RowCount(HWND list)
{
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

std::string Cell(HWND list, int row, int column)
{
    WCHAR text[kTextBufferSize] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = kTextBufferSize;
    SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return Utf8FromWide(text);
}

WString WindowText(HWND window)
{
    int length = GetWindowTextLengthW(window);
    WString text(static_cast<size_t>(length) + 1, WCHAR{});
    int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

std::string Text(HWND window)
{
    return Utf8FromWide(WindowText(window));
}

void TypeText(HWND control, WStringView text)
{
    for (WCHAR c : text)
        SendMessageW(control, WM_CHAR, static_cast<WPARAM>(c), 1);
}

void TypeOver(HWND edit, WStringView text)
{
    SendMessageW(edit, EM_SETSEL, 0, -1);
    if (text.empty())
        SendMessageW(edit, WM_CHAR, VK_BACK, 1);
    TypeText(edit, text);
}

bool Click(HWND button, DWORD timeoutMs)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
}

void PostClick(HWND button)
{
    PostMessageW(button, BM_CLICK, 0, 0);
}

void ClickProgressButton(HWND progressWindow)
{
    PostMessageW(progressWindow, WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_BUTTON, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(progressWindow, IDC_PROGRESS_BUTTON)));
}

MainWindowSession::MainWindowSession()
{
    ResetTaskState();
    thread_ = CreateThread(nullptr, 0, Run, nullptr, 0, &threadId_);
    if (thread_ == nullptr)
        return;
    const WString caption = WSTR("Corvane v2.2.0 (Built against Win10 1803 ADK) x64");
    HWND found = nullptr;
    WaitFor([&] {
        found = FindThreadWindow(threadId_, caption);
        return found != nullptr;
    });
    window_ = found;
}

MainWindowSession::~MainWindowSession()
{
    if (thread_ == nullptr)
        return;
    // Whatever a failed test left open goes first: the picker closes only on
    // its own button, the progress window and message boxes on IDCANCEL.
    std::vector<HWND> windows;
    EnumThreadWindows(threadId_, CollectWindow, reinterpret_cast<LPARAM>(&windows));
    for (HWND window : windows) {
        if (window == window_ || !IsWindowVisible(window))
            continue;
        if (GetDlgItem(window, IDC_PICKER_SELECT) != nullptr)
            PostMessageW(window, WM_COMMAND, IDC_PICKER_SELECT, 0);
        else
            PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    }
    if (window_ != nullptr)
        PostMessageW(window_, WM_COMMAND, IDCANCEL, 0);
    WaitForSingleObject(thread_, 15000);
    CloseHandle(thread_);
    // The record outlives the window; later sessions and tests must not see
    // its handles.
    Task().mainWindow = nullptr;
    Task().pageIndex = -1;
    Task().pageWindow = nullptr;
}

DWORD WINAPI MainWindowSession::Run(LPVOID)
{
    RunMainWindow();
    return 0;
}

HWND MainWindowSession::tabs() const
{
    return GetDlgItem(window_, IDC_TABS);
}

HWND MainWindowSession::page() const
{
    return Task().pageWindow;
}

HWND MainWindowSession::control(int id) const
{
    return GetDlgItem(page(), id);
}

void MainWindowSession::SelectTab(int index)
{
    RECT item = {};
    SendMessageW(tabs(), TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item));
    LPARAM point = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
    SendMessageW(tabs(), WM_LBUTTONDOWN, MK_LBUTTON, point);
    SendMessageW(tabs(), WM_LBUTTONUP, 0, point);
}

HWND MainWindowSession::WaitForWindow(WStringView caption, DWORD timeoutMs) const
{
    HWND found = nullptr;
    WaitFor(
        [&] {
            found = FindThreadWindow(threadId_, caption);
            return found != nullptr;
        },
        timeoutMs);
    return found;
}
