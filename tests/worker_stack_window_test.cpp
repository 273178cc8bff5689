// The progress window's worker runs the operation on a stack as large as the
// imaging library assumes.
#include "base/log.h"
#include "base/resource.h"
#include "imaging/stack_size.h"
#include "progress/progress_window.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"

namespace {

// The stack reserved for the calling thread: from the reservation's base to
// the top of the thread's stack.
SIZE_T StackReservation()
{
    MEMORY_BASIC_INFORMATION region = {};
    volatile int here = 0;
    VirtualQuery(const_cast<int*>(&here), &region, sizeof region);
    const auto* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
    return static_cast<SIZE_T>(static_cast<const char*>(tib->StackBase) -
                               static_cast<const char*>(region.AllocationBase));
}

SIZE_T seenStack = 0;
bool MeasureStack(TaskState&)
{
    seenStack = StackReservation();
    return true;
}

bool Fault(TaskState&)
{
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return true;
}

struct AfterRun {
    std::string log, buttonText;
    bool enabled = false;
};

// Runs `operation` in the progress window and presses its button once the
// run is over.
INT_PTR RunAndClose(bool (*operation)(TaskState&), AfterRun& seen)
{
    const OperationEntry entry{.commandId = 4243,
                               .run = operation,
                               .englishButtonTexts = true,
                               .abortable = true,
                               .clearsCounter = true};
    TaskState& task = Task();
    task.logText.clear();
    DriverThread driver([&] {
        HWND window = nullptr;
        if (!WaitFor([&] { return (window = task.progressWindow) != nullptr; }))
            return;
        HWND button = GetDlgItem(window, IDC_PROGRESS_BUTTON);
        if (!WaitFor([&] { return !task.busy && IsWindowEnabled(button); }))
            return;
        seen.enabled = true;
        seen.buttonText = Narrow(WindowText(button));
        seen.log = Narrow(task.logText);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_BUTTON, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    });
    const INT_PTR result = RunProgressWindow(nullptr, entry);
    driver.join();
    return result;
}

TEST(WorkerStackWindowTest, TheOperationRunsOnAStackAsLargeAsTheImagingLibraryAssumes)
{
    AfterRun seen;
    seenStack = 0;
    EXPECT_EQ(RunAndClose(MeasureStack, seen), 0);
    // wimlib sizes its tree depth for a Linux main thread's 8 MiB.
    EXPECT_GE(seenStack, SIZE_T{8} << 20);
}

// A fault inside the operation ends it as a failure with its reason, in a
// window whose button closes it.
TEST(WorkerStackWindowTest, AFaultEndsTheOperationWithAFailureLineAndTheWindowCloses)
{
    AfterRun seen;
    EXPECT_EQ(RunAndClose(Fault, seen), 0);
    EXPECT_TRUE(seen.enabled);
    EXPECT_EQ(seen.buttonText, "Close");
    EXPECT_TRUE(
        seen.log.ends_with("\r\n錯誤: 映像檔操作意外中止.\r\n錯誤: 程式內部錯誤 (例外代碼 0xC0000005), "
                           "操作未完成.\r\n"))
        << seen.log;
}

}  // namespace
