// The progress window running a real delete on its worker thread, driven
// from a second thread while the window's own thread runs its modal loop.
#include "app/descriptors.h"
#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"

#include <atomic>
#include <functional>

namespace {

// The platform library with its delete held at a gate, so the test can look
// at the window while the operation is still running.
struct GatedLibrary {
    GatedLibrary() : table(PlatformImagingLibrary())
    {
        real = &PlatformImagingLibrary();
        gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        table.deleteImage = Delete;
        previous = SetImagingLibrary(&table);
    }
    ~GatedLibrary()
    {
        SetEvent(gate);
        SetImagingLibrary(previous);
        CloseHandle(gate);
    }
    static BOOL WINAPI Delete(HANDLE wim, DWORD index)
    {
        WaitForSingleObject(gate, 30000);
        return real->deleteImage(wim, index);
    }
    void Open() { SetEvent(gate); }

    static inline HANDLE gate = nullptr;
    static inline const ImagingLibrary* real = nullptr;
    ImagingLibrary table;
    const ImagingLibrary* previous = nullptr;
};

// A sample WIM of `images` images, and the Delete page's fields set to delete
// image `index` of it.
TaskState& PrepareDelete(const ScratchFolder& folder, int images, int index)
{
    std::string wim = folder / "sample.wim";
    MakeSampleWim(wim, images);
    TaskState& task = Task();
    task.deleteSource = DosPath(wim);
    task.deleteIndex = index;
    task.deleteCheck = false;
    return task;
}

TEST(ProgressWindowTest, DeleteRunsWithTheButtonDisabledThenCloses)
{
    ScratchFolder folder;
    TaskState& task = PrepareDelete(folder, 3, 2);
    GatedLibrary gated;

    struct Seen {
        bool disabledDuringRun = false;
        std::string runningText, closingText, log;
        bool enabledAfter = false;
    } seen;
    DriverThread driver([&] {
        HWND window = nullptr;
        if (!WaitFor([&] { return (window = task.progressWindow) != nullptr; }))
            return;
        HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
        // The worker disables the button, then marks itself busy.
        seen.disabledDuringRun = WaitFor([&] { return !IsWindowEnabled(button) && task.busy; });
        seen.runningText = Text(button);
        gated.Open();
        WaitFor([&] { return !task.busy && IsWindowEnabled(button); });
        seen.enabledAfter = IsWindowEnabled(button) != FALSE;
        seen.closingText = Text(button);
        seen.log = Text(GetDlgItem(window, IDC_PROGRESS_LOG));
        ClickProgressButton(window);
    });
    INT_PTR result = RunProgressWindow(nullptr, IDC_DELETE_RUN);
    driver.join();

    EXPECT_EQ(result, 0);
    EXPECT_TRUE(seen.disabledDuringRun);
    EXPECT_EQ(seen.runningText, "中止");
    EXPECT_TRUE(seen.enabledAfter);
    EXPECT_EQ(seen.closingText, "關閉");
    // The closing line has a time when the run took a second or more.
    std::string before;
    EXPECT_TRUE(SplitClosingLine(seen.log, &before)) << seen.log;
    EXPECT_EQ(before, "開啟映像檔中...\r\n正在從這映像檔中刪除 \"映像卷 2\"...\r\n\r\n");
    EXPECT_EQ(Narrow(task.logText), seen.log);
    EXPECT_EQ(task.progressWindow, nullptr);
    EXPECT_EQ(task.workerThread, nullptr);

    std::string info = ShellOutput("wimlib-imagex info " + Quoted(folder / "sample.wim"));
    EXPECT_NE(info.find("Image Count:    2"), std::string::npos) << info;
    EXPECT_EQ(info.find("Image 2"), std::string::npos);
}

TEST(ProgressWindowTest, CommandWithoutOperationLeavesAnIdleWindowThatCloses)
{
    // A command with no operation leaves the window open and idle: the
    // button closes it at once.
    TaskState& task = Task();
    DriverThread closer([&] {
        HWND window = nullptr;
        if (WaitFor([&] { return (window = task.progressWindow) != nullptr; }))
            ClickProgressButton(window);
    });
    EXPECT_EQ(RunProgressWindow(nullptr, 4242), 0);
    closer.join();
    EXPECT_FALSE(task.busy);
    EXPECT_TRUE(task.logText.empty());
}

// Every way a user or the system asks the window to close or abort, from
// any thread: the cancel command sent at once, then posted keys, clicks and
// close requests, which the window's modal loop takes in order. A marker
// posted last tells when the loop has taken them all.
constexpr UINT kMarker = WM_APP + 77;
std::atomic<int> markersTaken{0};

void RequestClose(HWND window)
{
    HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(button, WM_KEYDOWN, VK_SPACE, 0x00390001);
    PostMessageW(button, WM_KEYUP, VK_SPACE, 0xC0390001);
    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(window, WM_CLOSE, 0, 0);
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ClickProgressButton(window);
    PostMessageW(window, kMarker, 0, 0);
}

// Hooks on the window's thread: the requests go in the moment the window's
// initialisation returns, before the worker can have done anything; the
// marker is counted as the loop takes it.
class CloseRequestHooks {
public:
    explicit CloseRequestHooks(bool atOpen)
    {
        markersTaken = 0;
        requestAtOpen = atOpen;
        initHook_ = SetWindowsHookExW(WH_CALLWNDPROCRET, AfterMessage, nullptr, GetCurrentThreadId());
        queueHook_ = SetWindowsHookExW(WH_GETMESSAGE, TakenMessage, nullptr, GetCurrentThreadId());
    }
    ~CloseRequestHooks()
    {
        UnhookWindowsHookEx(initHook_);
        UnhookWindowsHookEx(queueHook_);
    }
    // Waits until the loop has taken the `count`-th marker.
    static bool Taken(int count)
    {
        return WaitFor([&] { return markersTaken >= count; }, 5000);
    }

private:
    static LRESULT CALLBACK AfterMessage(int code, WPARAM wParam, LPARAM lParam)
    {
        const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (code == HC_ACTION && requestAtOpen && message->message == WM_INITDIALOG &&
            message->hwnd == Task().progressWindow)
            RequestClose(message->hwnd);
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static LRESULT CALLBACK TakenMessage(int code, WPARAM wParam, LPARAM lParam)
    {
        const auto* message = reinterpret_cast<const MSG*>(lParam);
        // A dialog answers WM_CLOSE by posting IDCANCEL, which lands behind
        // the first marker: the requests are all taken once a marker posted
        // then comes through.
        if (code == HC_ACTION && wParam == PM_REMOVE && message->message == kMarker) {
            if (message->wParam == 0)
                PostMessageW(message->hwnd, kMarker, 1, 0);
            else
                ++markersTaken;
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline bool requestAtOpen = false;
    HHOOK initHook_ = nullptr;
    HHOOK queueHook_ = nullptr;
};

TEST(ProgressWindowTest, NothingClosesOrAbortsADeleteWhileItRuns)
{
    ScriptedImaging library;
    library.info.ImageCount = 3;
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    library.Hook("WIMDeleteImage", [&] {
        SetEvent(entered);
        WaitForSingleObject(gate, 30000);
    });
    TaskState& task = Task();
    task.deleteSource = WSTR("C:\\three.wim");
    task.deleteIndex = 2;
    task.deleteCheck = false;

    struct Seen {
        bool openAfterEarlyRequests = false, openWhileDeleting = false, aborted = true;
        std::string buttonWhileDeleting, logWhileDeleting;
    } seen;
    DriverThread driver([&] {
        HWND window = task.progressWindow;
        // The requests made as the window opened have all been taken.
        if (!CloseRequestHooks::Taken(1))
            return;
        window = task.progressWindow;
        // (The dialog is shown once its queue is empty: not visible yet.)
        seen.openAfterEarlyRequests = window != nullptr && IsWindow(window) && task.progressWindow == window;
        if (window == nullptr || WaitForSingleObject(entered, 10000) != WAIT_OBJECT_0)
            return;
        RequestClose(window);
        if (!CloseRequestHooks::Taken(2))
            return;
        seen.openWhileDeleting = IsWindow(window) && task.progressWindow == window;
        seen.aborted = task.abortRequested;
        seen.buttonWhileDeleting = Text(GetDlgItem(window, IDC_PROGRESS_BUTTON));
        seen.logWhileDeleting = Text(GetDlgItem(window, IDC_PROGRESS_LOG));
        SetEvent(gate);
        HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
        if (WaitFor([&] { return !task.busy && IsWindowEnabled(button); }))
            ClickProgressButton(window);
    });
    CloseRequestHooks hooks(true);
    RunProgressWindow(nullptr, IDC_DELETE_RUN);
    SetEvent(gate);
    driver.join();
    CloseHandle(entered);
    CloseHandle(gate);

    EXPECT_TRUE(seen.openAfterEarlyRequests);
    EXPECT_TRUE(seen.openWhileDeleting);
    EXPECT_FALSE(seen.aborted);
    EXPECT_EQ(seen.buttonWhileDeleting, "中止");
    EXPECT_EQ(seen.logWhileDeleting, "開啟映像檔中...\r\n正在從這映像檔中刪除 \"映像卷 2\"...\r\n");
    // The delete was never asked to stop, and says it completed.
    std::string before;
    EXPECT_TRUE(SplitClosingLine(Narrow(task.logText), &before)) << Narrow(task.logText);
    EXPECT_EQ(before, "開啟映像檔中...\r\n正在從這映像檔中刪除 \"映像卷 2\"...\r\n\r\n");
    EXPECT_EQ(library.info.ImageCount, 2u);
}

// An operation that can be aborted: it runs until asked to stop, then waits
// at a gate so that the test sees the aborting state.
HANDLE abortGate = nullptr;
bool RunUntilAborted(TaskState& task)
{
    AppendLog(task, WSTR("working"));
    WaitFor([&] { return task.abortRequested.load(); }, 10000);
    WaitForSingleObject(abortGate, 10000);
    AppendLog(task, WSTR("stopped"));
    return false;
}

TEST(ProgressWindowTest, AbortIsAskedOnceAndItsNoticeStaysInTheLog)
{
    const OperationEntry abortable = {.commandId = 0,
                                      .run = RunUntilAborted,
                                      .englishButtonTexts = true,
                                      .abortable = true,
                                      .clearsCounter = true};
    abortGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    TaskState& task = Task();
    struct Seen {
        bool openWhileAborting = false, buttonEnabledWhileAborting = true, closeEnabled = false;
        std::string abortingText, closeText, shownLog;
    } seen;
    DriverThread driver([&] {
        HWND window = nullptr;
        if (!WaitFor([&] { return (window = task.progressWindow) != nullptr && task.busy; }))
            return;
        HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
        if (!WaitFor([&] { return Text(GetDlgItem(window, IDC_PROGRESS_LOG)) == "working\r\n"; }))
            return;
        // The first request aborts; the others add nothing.
        RequestClose(window);
        if (!CloseRequestHooks::Taken(1))
            return;
        seen.openWhileAborting = IsWindow(window) && task.progressWindow == window;
        seen.abortingText = Text(button);
        seen.buttonEnabledWhileAborting = IsWindowEnabled(button) != FALSE;
        SetEvent(abortGate);
        if (!WaitFor([&] { return !task.busy && IsWindowEnabled(button); }))
            return;
        seen.closeText = Text(button);
        seen.closeEnabled = true;
        seen.shownLog = Text(GetDlgItem(window, IDC_PROGRESS_LOG));
        ClickProgressButton(window);
    });
    CloseRequestHooks hooks(false);
    RunProgressWindow(nullptr, abortable);
    SetEvent(abortGate);
    driver.join();
    CloseHandle(abortGate);

    EXPECT_TRUE(seen.openWhileAborting);
    EXPECT_EQ(seen.abortingText, "正在中止...");
    EXPECT_FALSE(seen.buttonEnabledWhileAborting);
    EXPECT_EQ(seen.closeText, "Close");
    EXPECT_TRUE(seen.closeEnabled);
    EXPECT_EQ(Narrow(task.logText), "working\r\n正在中止映像檔操作...\r\nstopped\r\n");
    EXPECT_EQ(seen.shownLog, Narrow(task.logText));
}

// An operation that gives one estimate and then stays silent, as the
// library does while it compresses a solid chunk.
HANDLE clockGate = nullptr;
bool RunWithOneEstimate(TaskState& task)
{
    UpdateTimeStatus(task, 60000);
    WaitForSingleObject(clockGate, 10000);
    return true;
}

TEST(ProgressWindowTest, TheTimeLineMovesWhileTheOperationIsSilentAndClearsAtItsEnd)
{
    const OperationEntry silent = {.commandId = 0,
                                   .run = RunWithOneEstimate,
                                   .englishButtonTexts = true,
                                   .abortable = false,
                                   .clearsCounter = true};
    clockGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    TaskState& task = Task();
    std::string moved, atEnd = "not seen";
    DriverThread driver([&] {
        HWND window = nullptr;
        if (!WaitFor([&] { return (window = task.progressWindow) != nullptr && task.busy; }))
            return;
        HWND status = GetDlgItem(window, IDC_PROGRESS_STATUS);
        WaitFor(
            [&] {
                moved = Text(status);
                return moved.find("剩餘: 5") != std::string::npos;  // 59 s or less of the 60
            },
            5000);
        SetEvent(clockGate);
        if (!WaitFor([&] { return !task.busy; }))
            return;
        Sleep(1300);  // a tick or more after the end
        atEnd = Text(status);
        ClickProgressButton(window);
    });
    RunProgressWindow(nullptr, silent);
    SetEvent(clockGate);
    driver.join();
    CloseHandle(clockGate);
    EXPECT_NE(moved.find("剩餘: 5"), std::string::npos) << moved;
    EXPECT_EQ(atEnd, "");
}

// The counter's texts as the window's thread sets them.
std::atomic<int> counterShows{0};
WNDPROC counterProc = nullptr;
LRESULT CALLBACK CountingCounter(HWND control, UINT message, WPARAM wParam, LPARAM lParam)
{
    counterShows += message == WM_SETTEXT;
    return CallWindowProcW(counterProc, control, message, wParam, lParam);
}

bool RunWithManyChanges(TaskState& task)
{
    for (int i = 1; i <= 300; ++i, Sleep(1))
        SetProgressText(task, IDC_PROGRESS_COUNTER, DecimalText(i).c_str());
    return true;
}

// A worker that changes the counter every millisecond is shown while it
// runs, not once per change, and its last change shows by Close.
TEST(ProgressWindowTest, ManyChangesAreShownLiveAndTheLastByTheEnd)
{
    const OperationEntry busy = {0, RunWithManyChanges, true, false, false};
    std::string counterAtClose;
    counterShows = 0;
    DriverThread driver([&] {
        HWND window = nullptr;
        if (!WaitFor([&] { return (window = Task().progressWindow) != nullptr; }))
            return;
        HWND counter = GetDlgItem(window, IDC_PROGRESS_COUNTER);
        counterProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(counter, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingCounter)));
        WaitFor([&] { return Text(GetDlgItem(window, IDC_PROGRESS_BUTTON)) == "Close"; }, 20000);
        counterAtClose = Text(counter);
        ClickProgressButton(window);
    });
    RunProgressWindow(nullptr, busy);
    driver.join();
    EXPECT_EQ(counterAtClose, "300");
    EXPECT_GE(counterShows.load(), 3);
    EXPECT_LE(counterShows.load(), 100);
}

}  // namespace
