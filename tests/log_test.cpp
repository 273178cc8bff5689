// The log and progress routines every operation relies on.
#include "base/language.h"
#include "base/log.h"
#include "base/resource.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"

#include <commctrl.h>
#include <mmsystem.h>

namespace {

std::string Duration(DWORD milliseconds)
{
    WCHAR buffer[kDurationBufferSize];
    return Narrow(FormatDuration(milliseconds, buffer));
}

TEST(FormatDurationTest, BoundariesBetweenCalculatingSecondsAndMinutes)
{
    EXPECT_EQ(Duration(0), "正在計算...");
    EXPECT_EQ(Duration(999), "正在計算...");
    EXPECT_EQ(Duration(1000), "1s");
    EXPECT_EQ(Duration(45000), "45s");
    EXPECT_EQ(Duration(59999), "59s");
    EXPECT_EQ(Duration(60000), "1m00s");
    EXPECT_EQ(Duration(125000), "2m05s");
    EXPECT_EQ(Duration(3725000), "62m05s");  // minutes are not folded into hours
    EXPECT_EQ(Duration(0xFFFFFFFF), "71582m47s");
}

TEST(LoadMessageTest, ExpandsTextSignedAndHexadecimalInserts)
{
    WCHAR buffer[kTextBufferSize];
    EXPECT_EQ(Narrow(LoadMessage(buffer, 201, WSTR("disk on fire"))), "錯誤: disk on fire");
    EXPECT_EQ(Narrow(LoadMessage(buffer, 166, -3)), "錯誤: 此映像檔 \"-3\" 沒有任何映像卷.");
    EXPECT_EQ(Narrow(LoadMessage(buffer, 178, 2, 3)), "卷編號:\t2/3\r\n");
    EXPECT_EQ(Narrow(LoadMessage(buffer, 180, 0x2Cu)), "屬性:\t0x2C\r\n");
    EXPECT_EQ(Narrow(LoadMessage(buffer, 180, 0u)), "屬性:\t0x0\r\n");
    EXPECT_EQ(Narrow(LoadMessage(buffer, 203, WSTR("2m05s"), 7)),
              "成功讀取映像檔,內含 7 映像卷, 費時 2m05s.");
}

TEST(LoadMessageTest, MissingEntryAndOverlongExpansion)
{
    WCHAR buffer[kTextBufferSize];
    EXPECT_EQ(Narrow(LoadMessage(buffer, 143)), "???");
    EXPECT_EQ(Narrow(LoadMessage(buffer, 9999, 1)), "???");
    EXPECT_EQ(Narrow(LoadTableString(160, buffer)), "???");

    // An insert longer than the buffer loses its middle, never overflows: the
    // start and a path's file name stay.
    const WString folder = WSTR("C:\\") + WString(300, WSTR('f'));
    const struct {
        WString insert;
        std::string end;
    } cases[] = {
        {WString(600, WSTR('x')), std::string(100, 'x')},
        {folder + WSTR("\\install.wim"), "ff\\install.wim"},
        {folder + WSTR("\\") + WString(240, WSTR('n')) + WSTR(".wim"), std::string(100, 'n') + ".wim"},
    };
    for (const auto& c : cases) {
        const std::string result = Narrow(LoadMessage(buffer, 190, c.insert.c_str()));
        EXPECT_EQ(WString(buffer).size(), 259u);
        EXPECT_EQ(result.rfind("映像檔儲存到:\t", 0), 0u) << result;
        EXPECT_EQ(result.substr(result.size() - c.end.size()), c.end) << result;
        EXPECT_NE(result.find("…"), std::string::npos) << result;
    }
    // One that fits is left whole.
    EXPECT_EQ(Narrow(LoadMessage(buffer, 190, WString(250, WSTR('y')).c_str())),
              "映像檔儲存到:\t" + std::string(250, 'y'));
}

TEST(StringTableTest, QuotedEntriesKeepTheirInnerQuotationMarksAndControlCharacters)
{
    WCHAR buffer[kTextBufferSize];
    EXPECT_EQ(Narrow(LoadMessage(buffer, 224, 4)), "錯誤: 無法從映像檔中刪除 \"映像卷 \"4.\"");
    EXPECT_EQ(Narrow(LoadMessage(buffer, 225, 4)), "正在從這映像檔中刪除 \"映像卷 4\"...");
    EXPECT_EQ(Narrow(LoadTableString(175, buffer)), "映像訊息: \r\n---------------------\r\n");
    EXPECT_EQ(Narrow(LoadMessage(buffer, 170, WSTR("Core"))), "正在儲存標識:\t\t Core");
    // Every entry the program uses between 133 and 253 exists, but the unused ones.
    for (UINT id = 133; id <= 253; ++id) {
        bool unused = id == 143 || id == 146 || id == 151 || id == 160 || id == 161;
        EXPECT_EQ(LoadStringW(g_instance, id, buffer, kTextBufferSize) > 0, !unused) << id;
    }
}

TEST(SystemErrorTextTest, KnownCodeLosesItsFinalLineEndAndUnknownCodeIsUnknown)
{
    WCHAR buffer[kTextBufferSize];
    WCHAR raw[kTextBufferSize];
    // Some texts end in LF alone, others in CR LF: neither may reach a log line.
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_DIRECTORY, ERROR_INVALID_DATA}) {
        DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      code, CurrentLanguage(), raw, kTextBufferSize, nullptr);
        ASSERT_GT(length, 1u);
        ASSERT_EQ(raw[length - 1], WSTR('\n'));
        WString expected(raw, length - 1);
        if (expected.back() == WSTR('\r'))
            expected.pop_back();
        EXPECT_EQ(WString(SystemErrorText(buffer, code)), expected) << code;
    }
    EXPECT_EQ(Narrow(SystemErrorText(buffer, 0x7654321)), "???");
}

TEST(SystemErrorTextTest, ReasonsComeInTheInterfaceLanguageWhateverTheSystemPrefers)
{
    WCHAR buffer[kTextBufferSize];
    const LANGID before = CurrentLanguage();
    std::string shown[2];
    const LANGID languages[2] = {kLanguageChinese, kLanguageEnglish};
    for (int i = 0; i < 2; ++i) {
        SetCurrentLanguage(languages[i]);
        shown[i] = Narrow(SystemErrorText(buffer, ERROR_FILE_NOT_FOUND));
    }
    SetCurrentLanguage(before);
    // Whichever language the system itself prefers, each interface gets its own.
    EXPECT_EQ(shown[0], "找不到檔案。");  // Wine's own texts
    EXPECT_EQ(shown[1], "File not found.");
    // A language whose texts the system lacks falls back to the system's own.
    const std::string fallback =
        Narrow(SystemErrorTextIn(buffer, ERROR_FILE_NOT_FOUND, MAKELANGID(LANG_YORUBA, SUBLANG_DEFAULT)));
    WCHAR own[kTextBufferSize];
    EXPECT_EQ(fallback, Narrow(SystemErrorTextIn(own, ERROR_FILE_NOT_FOUND,
                                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT))));
    EXPECT_NE(fallback, "???");
}

// Shows what workers leave pending, as the progress window does.
INT_PTR CALLBACK PlainDialog(HWND window, UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(window, DWLP_USER, lParam);
    if (message == WM_PROGRESS_REFRESH)
        ShowPendingProgress(*reinterpret_cast<TaskState*>(GetWindowLongPtrW(window, DWLP_USER)), window);
    return FALSE;
}

// A progress window made from its template, without a worker, so the
// routines' effect on its controls can be read back.
class ProgressControlsWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        window = CreateDialogParamW(g_instance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, PlainDialog,
                                    reinterpret_cast<LPARAM>(&task));
        ASSERT_NE(window, nullptr);
        task.progressWindow = window;
        // Count the label's redraws by watching its text changes.
        HWND label = GetDlgItem(window, IDC_PROGRESS_PERCENT);
        SetWindowSubclass(label, CountTextChanges, 1, reinterpret_cast<DWORD_PTR>(&labelChanges));
    }
    void TearDown() override { DestroyWindow(window); }

    static LRESULT CALLBACK CountTextChanges(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                             UINT_PTR, DWORD_PTR counter)
    {
        if (message == WM_SETTEXT)
            ++*reinterpret_cast<int*>(counter);
        return DefSubclassProc(control, message, wParam, lParam);
    }

    std::string ControlText(int id)
    {
        WCHAR text[kTextBufferSize];
        GetDlgItemTextW(window, id, text, kTextBufferSize);
        return Narrow(text);
    }

    TaskState task;
    HWND window = nullptr;
    int labelChanges = 0;
};

TEST_F(ProgressControlsWindowTest, RepeatedPercentageRedrawsOnce)
{
    task.lastPercent = 0;
    SetProgressPercent(task, 40);
    SetProgressPercent(task, 40);
    EXPECT_EQ(labelChanges, 1);
    EXPECT_EQ(ControlText(IDC_PROGRESS_PERCENT), "40%");
    EXPECT_EQ(SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0), 40);
    SetProgressPercent(task, 100);
    EXPECT_EQ(labelChanges, 2);
    EXPECT_EQ(task.lastPercent, 100u);
}

TEST_F(ProgressControlsWindowTest, LogShowsEveryLineAndStatusShowsTimes)
{
    AppendLog(task, WSTR("first"));
    AppendLog(task, WString(WSTR("second")));
    EXPECT_EQ(Narrow(task.logText), "first\r\nsecond\r\n");
    EXPECT_EQ(ControlText(IDC_PROGRESS_LOG), "first\r\nsecond\r\n");

    task.startTime = timeGetTime() - 125000;
    UpdateTimeStatus(task, 0);
    EXPECT_EQ(ControlText(IDC_PROGRESS_STATUS), "已用: 2m05s    剩餘: 正在計算...");
}

// Between the library's messages (a solid LZMS chunk takes many seconds) the
// window's clock moves the elapsed time on and counts the estimate down.
TEST_F(ProgressControlsWindowTest, TheClockKeepsTheTimesMovingBetweenEstimates)
{
    const auto passes = [&](DWORD milliseconds) {
        task.startTime -= milliseconds;
        task.remainingEstimateAt -= milliseconds;
    };
    SetDlgItemTextW(window, IDC_PROGRESS_STATUS, WSTR(""));
    task.startTime = timeGetTime() - 31400;
    TickTimeStatus(task);
    EXPECT_EQ(ControlText(IDC_PROGRESS_STATUS), "") << "no estimate yet";
    UpdateTimeStatus(task, 60500);  // half a second spare: the test's own time passes too
    EXPECT_EQ(ControlText(IDC_PROGRESS_STATUS), "已用: 31s    剩餘: 1m00s");
    passes(20000);
    TickTimeStatus(task);
    EXPECT_EQ(ControlText(IDC_PROGRESS_STATUS), "已用: 51s    剩餘: 40s");
    SetDlgItemTextW(window, IDC_PROGRESS_STATUS, WSTR("same second"));
    TickTimeStatus(task);
    EXPECT_EQ(ControlText(IDC_PROGRESS_STATUS), "same second");
    passes(50000);
    TickTimeStatus(task);
    EXPECT_EQ(ControlText(IDC_PROGRESS_STATUS), "已用: 1m41s    剩餘: 正在計算...") << "the estimate ran out";
    StopTimeStatus(task);
    passes(3000);
    TickTimeStatus(task);
    EXPECT_EQ(ControlText(IDC_PROGRESS_STATUS), "已用: 1m41s    剩餘: 正在計算...") << "stopped";
}

TEST_F(ProgressControlsWindowTest, LogIsScrolledToItsNewestLine)
{
    HWND log = GetDlgItem(window, IDC_PROGRESS_LOG);
    for (int i = 1; i <= 60; ++i)
        AppendLog(task, (WSTR("line ") + DecimalText(i)).c_str());
    // The last line (60, then the empty one after its line end) is in view.
    RECT area = {};
    SendMessageW(log, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&area));
    LRESULT last = SendMessageW(log, EM_GETLINECOUNT, 0, 0) - 1;
    LRESULT position = SendMessageW(log, EM_POSFROMCHAR, SendMessageW(log, EM_LINEINDEX, last - 1, 0), 0);
    EXPECT_GT(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    EXPECT_GE(static_cast<short>(HIWORD(position)), area.top);
    EXPECT_LT(static_cast<short>(HIWORD(position)), area.bottom);
}

// A worker's lines, bar and labels never wait for the window's thread: they
// are left pending and shown, newest last, once that thread runs again.
TEST_F(ProgressControlsWindowTest, AWorkerNeverWaitsForTheWindow)
{
    SetDlgItemTextW(window, IDC_PROGRESS_COUNTER, WSTR("old"));
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DriverThread worker([&] {
        AppendLog(task, WSTR("first"));
        SetProgressText(task, IDC_PROGRESS_COUNTER, WSTR("1 / 2"));
        SetProgressText(task, IDC_PROGRESS_STATUS, WSTR("status"));
        SetProgressPercent(task, 30);
        AppendLog(task, WSTR("second"));
        SetProgressText(task, IDC_PROGRESS_COUNTER, WSTR("2 / 2"));
        SetProgressPercent(task, 60);
        SetEvent(done);
    });
    // This thread handles no message until the worker is done (or, should
    // the worker wait for it after all, until it has waited long enough).
    const bool doneAlone = WaitForSingleObject(done, 5000) == WAIT_OBJECT_0;
    EXPECT_TRUE(doneAlone);
    MSG message;
    while (!doneAlone &&
           MsgWaitForMultipleObjects(1, &done, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
    worker.join();
    CloseHandle(done);
    if (!doneAlone)
        return;
    EXPECT_EQ(ControlText(IDC_PROGRESS_LOG), "");
    EXPECT_EQ(ControlText(IDC_PROGRESS_COUNTER), "old");
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    EXPECT_EQ(ControlText(IDC_PROGRESS_LOG), "first\r\nsecond\r\n");
    EXPECT_EQ(ControlText(IDC_PROGRESS_COUNTER), "2 / 2");
    EXPECT_EQ(ControlText(IDC_PROGRESS_STATUS), "status");
    EXPECT_EQ(ControlText(IDC_PROGRESS_PERCENT), "60%");
    EXPECT_EQ(SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0), 60);
    // A lone change after a refresh asks for one of its own.
    DriverThread lone([&] { SetProgressPercent(task, 90); });
    lone.join();
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    EXPECT_EQ(ControlText(IDC_PROGRESS_PERCENT), "90%");
    // The window's own change stands over an older pending one.
    DriverThread late([&] { SetProgressText(task, IDC_PROGRESS_COUNTER, WSTR("stale")); });
    late.join();
    SetProgressText(task, IDC_PROGRESS_COUNTER, WSTR(""));
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    EXPECT_EQ(ControlText(IDC_PROGRESS_COUNTER), "");
}

}  // namespace
