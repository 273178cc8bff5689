// The progress window running a real delete on its worker thread, driven
// from a second thread while the window's own thread runs its modal loop.
#include "app/resource.h"
#include "imaging/wimgapi.h"
#include "progress/progress_window.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"

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

void ClickButton(HWND window)
{
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_BUTTON, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_PROGRESS_BUTTON)));
}

std::string Text(HWND window)
{
    return Narrow(WindowText(window));
}

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
        ClickButton(window);
    });
    INT_PTR result = RunProgressWindow(nullptr, IDC_DELETE_RUN);
    driver.join();

    EXPECT_EQ(result, 0);
    EXPECT_TRUE(seen.disabledDuringRun);
    EXPECT_EQ(seen.runningText, "中止");
    EXPECT_TRUE(seen.enabledAfter);
    EXPECT_EQ(seen.closingText, "關閉");
    EXPECT_EQ(seen.log,
              "開啟映像檔中...\r\n正在從這映像檔中刪除 \"映像卷 2\"...\r\n\r\n映像操作已成功完成.\r\n");
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
            ClickButton(window);
    });
    EXPECT_EQ(RunProgressWindow(nullptr, 4242), 0);
    closer.join();
    EXPECT_FALSE(task.busy);
    EXPECT_TRUE(task.logText.empty());
}

TEST(ProgressWindowTest, AbortWhileBusyLogsTheNoticeBetweenTheWorkersLines)
{
    ScratchFolder folder;
    TaskState& task = PrepareDelete(folder, 2, 1);
    GatedLibrary gated;

    std::string abortingText, closingText;
    bool abortingEnabled = true, closingEnabled = false, flagSet = false;
    DriverThread driver([&] {
        HWND window = nullptr;
        if (!WaitFor([&] { return (window = task.progressWindow) != nullptr && task.busy; }))
            return;
        HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
        // The worker is held inside the library's delete once it has
        // logged that it is deleting.
        WaitFor([&] { return Text(GetDlgItem(window, IDC_PROGRESS_LOG)).find("刪除") != std::string::npos; });
        // A click reaches the handler even while the button is disabled
        // (keyboard or a message); while busy it means abort.
        ClickButton(window);
        WaitFor([&] { return task.abortRequested.load(); });
        flagSet = task.abortRequested;
        WaitFor([&] { return Text(button) == "正在中止..."; });
        abortingText = Text(button);
        abortingEnabled = IsWindowEnabled(button) != FALSE;
        gated.Open();
        WaitFor([&] { return !task.busy && IsWindowEnabled(button); });
        closingText = Text(button);
        closingEnabled = IsWindowEnabled(button) != FALSE;
        ClickButton(window);
    });
    RunProgressWindow(nullptr, IDC_DELETE_RUN);
    driver.join();

    EXPECT_TRUE(flagSet);
    EXPECT_EQ(abortingText, "正在中止...");
    EXPECT_FALSE(abortingEnabled);
    EXPECT_EQ(closingText, "關閉");
    EXPECT_TRUE(closingEnabled);
    // The delete cannot be aborted: it completes, with the notice logged
    // while it ran.
    EXPECT_EQ(Narrow(task.logText), "開啟映像檔中...\r\n正在從這映像檔中刪除 \"映像卷 1\"...\r\n"
                                    "正在中止映像檔操作...\r\n\r\n映像操作已成功完成.\r\n");
}

}  // namespace
