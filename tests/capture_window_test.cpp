// The progress window running a real capture of a few thousand files: the
// file counts, the range line and a moving bar while it runs, and Abort
// ending it with nothing written.
#include "app/descriptors.h"
#include "base/log.h"
#include "base/resource.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/message_listener.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"
#include "tests/support/xml_notice.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <set>

namespace {

// 3,000 files in 30 folders, half of them incompressible, about 18 MB.
std::string MakeTree(const ScratchFolder& folder)
{
    const std::string tree = folder / "tree";
    ShellOutput(
        "python3 -c \"import os,sys\nfor i in range(3000):\n d=os.path.join(sys.argv[1],'d%02d'%(i//100))\n"
        " os.makedirs(d,exist_ok=True)\n open(os.path.join(d,'f%04d'%i),'wb').write(os.urandom(12000) if i%2 "
        "else b'text line '*1200)\" " +
        Quoted(tree));
    return tree;
}

// Every text the window's thread puts into the counter: what was shown,
// however briefly, rather than what a poll happened to find.
std::set<std::string>* shownCounters = nullptr;
LRESULT CALLBACK RecordCounter(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_SETTEXT && shownCounters != nullptr &&
        GetDlgCtrlID(call->hwnd) == IDC_PROGRESS_COUNTER && call->lParam != 0)
        shownCounters->insert(Narrow(reinterpret_cast<const WCHAR*>(call->lParam)));
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TaskState& CapturePage(const std::string& tree, const std::string& wim)
{
    ResetTaskState();
    TaskState& task = Task();
    task.captureSource = DosPath(tree);
    task.captureDestination = DosPath(wim);
    task.captureVerify = false;
    return task;
}

TEST(CaptureWindowTest, ShowsTheFileCountsAndAMovingBar)
{
    XmlNoticeCounter notices;
    ScratchFolder folder;
    const std::string tree = MakeTree(folder);
    const std::string wim = folder / "out.wim";
    TaskState& task = CapturePage(tree, wim);

    std::set<std::string> counters;
    std::set<int> positions;
    std::string log, closing;
    DriverThread driver([&] {
        HWND window = nullptr;
        if (!WaitFor([&] { return (window = task.progressWindow) != nullptr && task.busy; }))
            return;
        HWND bar = GetDlgItem(window, IDC_PROGRESS_BAR);
        bool shot = false;
        WaitFor(
            [&] {
                const int position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
                positions.insert(position);
                if (!shot && position > 20 && std::getenv("CORVANE_SCREENSHOT") != nullptr) {
                    shot = true;
                    Shell(std::string("import -window root ") + std::getenv("CORVANE_SCREENSHOT"));
                }
                return !task.busy;
            },
            120000);
        positions.insert(static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)));
        log = Text(GetDlgItem(window, IDC_PROGRESS_LOG));
        closing = Text(GetDlgItem(window, IDC_PROGRESS_BUTTON));
        ClickProgressButton(window);
    });
    shownCounters = &counters;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, RecordCounter, nullptr, GetCurrentThreadId());
    RunProgressWindow(nullptr, IDC_CAPTURE_NEW);
    UnhookWindowsHookEx(hook);
    shownCounters = nullptr;
    driver.join();

    // "Files done / files" while writing, to the last file. The scan's own
    // counts (every 32 files, tested against the callback) reach the window
    // only when the scan outlasts the window's start; 3,000 files do not.
    const bool writing = std::any_of(counters.begin(), counters.end(), [](const std::string& text) {
        return text.rfind("檔案: ", 0) == 0 && text.find(" / 3000") != std::string::npos &&
               text != "檔案: 0 / 3000" && text != "檔案: 3000 / 3000";
    });
    EXPECT_TRUE(writing) << testing::PrintToString(counters);
    EXPECT_TRUE(counters.count("檔案: 3000 / 3000")) << counters.size();
    EXPECT_NE(log.find("正在掃描檔案...\r\n其中包含 31 資料夾和 3000 檔案.\r\n正在讀取...\r\n\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("成功讀取映像檔,內含 1 映像卷"), std::string::npos) << log;
    // The bar passes through values between the ends.
    EXPECT_TRUE(positions.count(100));
    EXPECT_GE(std::count_if(positions.begin(), positions.end(), [](int p) { return p > 0 && p < 100; }), 2)
        << positions.size();
    EXPECT_EQ(closing, "關閉");
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
}

TEST(CaptureWindowTest, AbortEndsTheCaptureAndLeavesNoFileOrTheOldOne)
{
    XmlNoticeCounter notices;
    ScratchFolder folder;
    const std::string tree = MakeTree(folder);
    const std::string existing = folder / "existing.wim";
    MakeSampleWim(existing, 1);
    const std::string before = FileBytes(existing);

    const struct {
        std::string wim;
        UINT command;
    } cases[] = {{folder / "new.wim", IDC_CAPTURE_NEW}, {existing, IDC_CAPTURE_APPEND}};
    for (const auto& c : cases) {
        TaskState& task = CapturePage(tree, c.wim);
        // The worker waits at the write's first figures until the button is
        // pressed, so the press lands mid-write however loaded the machine.
        bool held = false;
        MessageListener hold([&](DWORD message, WPARAM wParam) {
            if (!held && message == WIM_MSG_PROGRESS && wParam > 0) {
                held = true;
                WaitFor([&] { return task.abortRequested.load(); }, 20000);
            }
            return WIM_MSG_SUCCESS;
        });
        DWORD abortedAt = 0, endedAt = 0;
        std::string log;
        DriverThread driver([&] {
            HWND window = nullptr;
            if (!WaitFor([&] { return (window = task.progressWindow) != nullptr && task.busy; }))
                return;
            // Abort while the data is being written.
            WaitFor(
                [&] {
                    return Text(GetDlgItem(window, IDC_PROGRESS_LOG)).find("正在讀取") != std::string::npos;
                },
                60000);
            abortedAt = GetTickCount();
            ClickProgressButton(window);
            WaitFor([&] { return !task.busy; }, 60000);
            endedAt = GetTickCount();
            log = Text(GetDlgItem(window, IDC_PROGRESS_LOG));
            ClickProgressButton(window);
        });
        RunProgressWindow(nullptr, c.command);
        driver.join();

        WCHAR aborted[kTextBufferSize];
        const std::string ending = "正在中止映像檔操作...\r\n\r\n錯誤: 映像檔讀取錯誤.\r\n錯誤: " +
                                   Narrow(SystemErrorText(aborted, ERROR_REQUEST_ABORTED)) + "\r\n";
        EXPECT_EQ(log.substr(log.size() - std::min(log.size(), ending.size())), ending) << log;
        EXPECT_LT(endedAt - abortedAt, 1000u) << c.command;
        EXPECT_TRUE(held) << c.command;
    }
    EXPECT_NE(access((folder / "new.wim").c_str(), F_OK), 0);
    EXPECT_EQ(FileBytes(existing), before);
}

}  // namespace
