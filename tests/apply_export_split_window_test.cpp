// Abort pressed in the progress window while an apply, an export or a split
// is writing: the operation stops, says why, and leaves what the sound-write
// rules promise. A listener holds the worker at a chosen message until the
// button has been pressed, so the press always lands mid-operation.
#include "app/descriptors.h"
#include "base/log.h"
#include "base/resource.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/message_listener.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"
#include "tests/support/xml_notice.h"

#include <atomic>

namespace {

void PressProgressButton(HWND window)
{
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_BUTTON, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDC_PROGRESS_BUTTON)));
}

std::string Aborted()
{
    WCHAR text[kTextBufferSize];
    return Narrow(SystemErrorText(text, ERROR_REQUEST_ABORTED));
}

struct AbortCase {
    const char* name;
    UINT command;
    // Fills the page fields of the shared record.
    std::function<void(TaskState&)> page;
    // The message at which the worker waits for the press.
    std::function<bool(DWORD message, WPARAM wParam)> holdAt;
    std::string ending;
    // What the folder holds afterwards, checked by the case.
    std::function<void()> check;
};

TEST(TransferWindowTest, AbortDuringApplyExportAndSplitStopsThemSoundly)
{
    XmlNoticeCounter notices;
    ScratchFolder folder;
    const std::string tree = folder / "tree";
    ShellOutput("mkdir -p " + Quoted(tree) + " && cd " + Quoted(tree) +
                " && for i in $(seq 1 300); do head -c 20000 /dev/urandom > f$i.bin; done");
    const std::string source = folder / "source.wim";
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(source) + " Source --compress=none");
    const std::string existing = folder / "existing.wim";
    MakeSampleWim(existing, 1);
    const std::string existingBytes = FileBytes(existing);
    const std::string sourceBytes = FileBytes(source);
    Shell("mkdir -p " + Quoted(folder / "applied") + " " + Quoted(folder / "parts"));

    std::atomic<int> parts{0};
    const AbortCase cases[] = {
        {"apply", IDC_APPLY_RUN,
         [&](TaskState& task) {
             task.applySource = DosPath(source);
             task.applyDestination = DosPath(folder / "applied");
             task.applyIndex = 1;
         },
         [](DWORD message, WPARAM) { return message == WIM_MSG_PROCESS && Task().itemsDone == 100; },
         "正在中止映像檔操作...\r\n錯誤: 還原映像檔時出錯.\r\n錯誤: " + Aborted() + "\r\n",
         [&] {
             const int applied = std::stoi(ShellOutput("ls " + Quoted(folder / "applied") + " | wc -l"));
             // Held at the 100th file: the write stops within a progress
             // step of it, not wherever it had run ahead to.
             EXPECT_LE(applied, 110);
         }},
        {"export into a new file", IDC_EXPORT_RUN,
         [&](TaskState& task) {
             task.exportSource = DosPath(source);
             task.exportDestination = DosPath(folder / "new.wim");
             task.exportIndex = 1;
             task.exportCompression = WSTR("快速壓縮(XPRESS)");
         },
         [](DWORD message, WPARAM wParam) { return message == WIM_MSG_PROGRESS && wParam > 0; },
         "正在中止映像檔操作...\r\n\r\n錯誤: 拆分映像檔出錯.\r\n錯誤: " + Aborted() + "\r\n",
         [&] { EXPECT_NE(access((folder / "new.wim").c_str(), F_OK), 0); }},
        {"export into an existing file", IDC_EXPORT_RUN,
         [&](TaskState& task) {
             task.exportSource = DosPath(source);
             task.exportDestination = DosPath(existing);
             task.exportIndex = 1;
         },
         [](DWORD message, WPARAM wParam) { return message == WIM_MSG_PROGRESS && wParam > 0; },
         "正在中止映像檔操作...\r\n\r\n錯誤: 拆分映像檔出錯.\r\n錯誤: " + Aborted() + "\r\n",
         [&] {
             EXPECT_EQ(FileBytes(existing), existingBytes);
             ShellOutput("wimlib-imagex verify " + Quoted(existing));
         }},
        {"split", IDC_SPLIT_RUN,
         [&](TaskState& task) {
             task.splitSource = DosPath(source);
             task.splitDestination = DosPath(folder / "parts/set.swm");
         },
         // The default part size is 256 MB: one part only, held at its start.
         [&](DWORD message, WPARAM) { return message == WIM_MSG_SPLIT && ++parts == 1; },
         "\r\n錯誤: 分割WIM錯誤.\r\n錯誤: " + Aborted() + "\r\n",
         [&] {
             EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder / "parts")), "");
             EXPECT_EQ(FileBytes(source), sourceBytes);
         }},
    };
    for (const AbortCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTaskState();
        TaskState& task = Task();
        c.page(task);
        std::atomic<bool> held{false};
        bool heldOnce = false;
        MessageListener hold([&](DWORD message, WPARAM wParam) {
            if (!heldOnce && c.holdAt(message, wParam)) {
                heldOnce = true;
                held = true;
                WaitFor([] { return Task().abortRequested.load(); }, 20000);
            }
            return WIM_MSG_SUCCESS;
        });
        std::string log, closing;
        DriverThread driver([&] {
            HWND window = nullptr;
            if (!WaitFor([&] { return (window = task.progressWindow) != nullptr && task.busy; }))
                return;
            WaitFor([&] { return held.load() || !task.busy; }, 60000);
            PressProgressButton(window);
            WaitFor([&] { return !task.busy; }, 60000);
            log = Narrow(WindowText(GetDlgItem(window, IDC_PROGRESS_LOG)));
            closing = Narrow(WindowText(GetDlgItem(window, IDC_PROGRESS_BUTTON)));
            PressProgressButton(window);
        });
        RunProgressWindow(nullptr, c.command);
        driver.join();

        EXPECT_TRUE(held.load());
        EXPECT_NE(log.find("正在中止映像檔操作...\r\n"), std::string::npos) << log;
        EXPECT_TRUE(log.ends_with(c.ending)) << log;
        EXPECT_EQ(log.find("成功"), std::string::npos) << log;
        EXPECT_EQ(closing, "Close");
        c.check();
    }
    // Nothing was left beside the files: no temporaries, no journal.
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())),
              "applied\nexisting.wim\nparts\nsource.wim\ntree\n");
}

}  // namespace
