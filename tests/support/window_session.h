// Drives the real main window from a test. The dialogs are modal, so the
// window runs on a thread of its own and the test talks to it with window
// messages, the way a user's clicks and keys would reach it.
#pragma once

#include "app/descriptors.h"
#include "base/resource.h"
#include "base/text.h"

#include <functional>

// Tab positions, as the page table orders them.
inline const int kPageCapture = PageIndexOf(IDD_PAGE_CAPTURE);
inline const int kPageApply = PageIndexOf(IDD_PAGE_APPLY);
inline const int kPageInfo = PageIndexOf(IDD_PAGE_INFO);
inline const int kPageMount = PageIndexOf(IDD_PAGE_MOUNT);
inline const int kPageExport = PageIndexOf(IDD_PAGE_EXPORT);
inline const int kPageSplit = PageIndexOf(IDD_PAGE_SPLIT);
inline const int kPageChange = PageIndexOf(IDD_PAGE_CHANGE);
inline const int kPageDelete = PageIndexOf(IDD_PAGE_DELETE);
inline const int kPageFiles = PageIndexOf(IDD_PAGE_FILES);
inline const int kPageAbout = PageIndexOf(IDD_PAGE_ABOUT);
inline const int kPageCount = static_cast<int>(PageDescriptors().size());

// Puts every page field, the picker fields and the window handles of the
// shared record back to their start-up values.
void ResetTaskState();

// Test drivers run on Win32 threads: a bare pthread has no Wine thread
// environment and cannot call the window functions.
class DriverThread {
public:
    explicit DriverThread(std::function<void()> body) : body_(std::move(body))
    {
        handle_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~DriverThread() { join(); }
    void join()
    {
        if (handle_) {
            WaitForSingleObject(handle_, INFINITE);
            CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    static DWORD WINAPI Run(LPVOID self)
    {
        static_cast<DriverThread*>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    HANDLE handle_ = nullptr;
};

// Milliseconds on the performance counter, for timing what the window does.
double MillisecondsNow();

// Polls `condition` every few milliseconds; false when `timeoutMs` passed first.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs = 10000);

// The visible top-level window of `threadId` whose caption is `caption`, or null.
HWND FindThreadWindow(DWORD threadId, WStringView caption);

// Text of a window or control, and the same in UTF-8.
WString WindowText(HWND window);
std::string Text(HWND window);

// A list view's rows, and the text of one cell (UTF-8).
int RowCount(HWND list);
std::string Cell(HWND list, int row, int column);

// Types `text` into a control, one WM_CHAR per character at the caret.
void TypeText(HWND control, WStringView text);

// Replaces an edit's whole text by typing over a full selection.
void TypeOver(HWND edit, WStringView text);

// Clicks a button and waits for what it does; false when that took longer
// than the timeout (a modal window stayed open: use PostClick for those).
bool Click(HWND button, DWORD timeoutMs = 20000);
void PostClick(HWND button);
// Posts a click on the progress window's one button, as Enter would.
void ClickProgressButton(HWND progressWindow);

// The main window, started by the constructor on its own thread from a reset
// record and closed by the destructor.
class MainWindowSession {
public:
    MainWindowSession();
    ~MainWindowSession();
    MainWindowSession(const MainWindowSession&) = delete;
    MainWindowSession& operator=(const MainWindowSession&) = delete;

    bool started() const { return window_ != nullptr; }
    HWND window() const { return window_; }
    HWND tabs() const;
    DWORD threadId() const { return threadId_; }

    // The page shown now and one of its controls.
    HWND page() const;
    HWND control(int id) const;

    // Clicks tab `index` as a user would; returns once the new page is shown.
    void SelectTab(int index);

    // A modal window of the session's thread with this caption, once it
    // appears (null after the timeout).
    HWND WaitForWindow(WStringView caption, DWORD timeoutMs = 10000) const;

private:
    static DWORD WINAPI Run(LPVOID);
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
};
