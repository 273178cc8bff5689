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
    static inline HANDLE gate = nullptr;
    static inline const ImagingLibrary* real = nullptr;
    static BOOL WINAPI Delete(HANDLE wim, DWORD index)
    {
        WaitForSingleObject(gate, 30000);
        return real->deleteImage(wim, index);
    }
};

std::string Text(HWND window)
{
    WCHAR text[4096];
    GetWindowTextW(window, text, 4096);
    return Narrow(text);
}

TEST(ProgressWindowTest, DeleteRunsWithTheButtonDisabledThenCloses)
{
    ScratchFolder folder;
    std::string wim = folder / "three.wim";
    MakeSampleWim(wim, 3);

    ImagingLibrary gated = PlatformImagingLibrary();
    GatedLibrary::real = &PlatformImagingLibrary();
    GatedLibrary::gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gated.deleteImage = GatedLibrary::Delete;
    const ImagingLibrary* previous = SetImagingLibrary(&gated);

    TaskState& task = Task();
    task.deleteSource = DosPath(wim);
    task.deleteIndex = 2;
    task.deleteCheck = false;

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
        SetEvent(GatedLibrary::gate);
        WaitFor([&] { return !task.busy && IsWindowEnabled(button); });
        seen.enabledAfter = IsWindowEnabled(button) != FALSE;
        seen.closingText = Text(button);
        seen.log = Text(GetDlgItem(window, IDC_PROGRESS_LOG));
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_BUTTON, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    });
    INT_PTR result = RunProgressWindow(nullptr, IDC_DELETE_RUN);
    driver.join();
    SetImagingLibrary(previous);
    CloseHandle(GatedLibrary::gate);

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

    std::string info = ShellOutput("wimlib-imagex info " + Quoted(wim));
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
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_BUTTON, BN_CLICKED), 0);
    });
    EXPECT_EQ(RunProgressWindow(nullptr, 4242), 0);
    closer.join();
    EXPECT_FALSE(task.busy);
    EXPECT_TRUE(task.logText.empty());
}

}  // namespace
