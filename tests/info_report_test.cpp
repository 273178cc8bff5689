// The information report's text against the scripted library, and the
// temporary directory choice it starts with.
#include "base/language.h"
#include "base/resource.h"
#include "base/text_box.h"
#include "metadata/image_info.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"
#include "tests/support/xml_notice.h"

#include <commctrl.h>

#include <cstdio>
#include <iterator>
#include <vector>

namespace {

// The report's reason line has no line end of its own.
std::string Reason(DWORD code)
{
    std::string line = ReasonLine(code);
    return line.substr(0, line.size() - 2);
}

const GUID kGuid = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

class InfoReportTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.info.Guid = kGuid;
        library.info.ImageCount = 0;
        library.info.CompressionType = WIM_COMPRESS_LZX;
        library.fileXml = WSTR("<WIM><TOTALBYTES>0</TOTALBYTES></WIM>");
        task.infoSource = WSTR("C:\\x.wim");
    }

    std::string Report()
    {
        WString text;
        result = BuildInfoReportText(task, text);
        return Narrow(text);
    }

    XmlNoticeCounter notices;
    ScriptedImaging library;
    TaskState task;
    bool result = false;
};

const char kHeading[] =
    "映像訊息: \r\n---------------------\r\nGUID:\t\t{12345678-9ABC-DEF0-0123-456789ABCDEF}\r\n";
const char kXmlSection[] = "\r\n\r\n映像檔 XML 訊息:\r\n---------------------------\r\n"
                           "\xEF\xBB\xBF<WIM><TOTALBYTES>0</TOTALBYTES></WIM>";

TEST_F(InfoReportTest, FileWithoutImagesShowsItsHeaderAndXml)
{
    EXPECT_EQ(Report(), std::string(kHeading) +
                            "映像卷數量:\t0\r\n壓縮率:\tLZX\r\n卷編號:\t1/1\r\n屬性:\t0x0\r\n" + kXmlSection);
    EXPECT_TRUE(result);
    EXPECT_EQ(library.CallCount("WIMLoadImage"), 0);
    EXPECT_EQ(library.calls.back(), "WIMCloseHandle(0x1000)");
    EXPECT_EQ(library.calls.front(), "WIMCreateFile(\"C:\\x.wim\", 0x80000000, 3, 536870912, 0, ptr)");
    // The temporary folder goes to the log only.
    EXPECT_EQ(Narrow(task.logText).rfind("暫存資料夾:\t", 0), 0u);
}

TEST_F(InfoReportTest, SpannedPartBootIndexAttributesAndImageBlocks)
{
    library.info.ImageCount = 3;
    library.info.CompressionType = 7;  // unknown: nothing after the label
    library.info.PartNumber = 2;
    library.info.TotalParts = 3;
    library.info.BootIndex = 2;
    library.info.WimAttributes = WIM_ATTRIBUTE_SPANNED | WIM_ATTRIBUTE_VERIFY_DATA | 0x100;
    library.imageXml[1] = WSTR("<IMAGE INDEX=\"1\"><DIRCOUNT>4</DIRCOUNT><FILECOUNT>10</FILECOUNT>"
                               "<TOTALBYTES>1023</TOTALBYTES><NAME>One</NAME><DESCRIPTION>First</DESCRIPTION>"
                               "<FLAGS>Core</FLAGS></IMAGE>");
    library.imageXml[2] = WSTR("<IMAGE INDEX=\"2\"><TOTALBYTES>1610612735</TOTALBYTES></IMAGE>");
    library.imageXml[3] =
        WSTR("<IMAGE INDEX=\"3\"><TOTALBYTES>1048575</TOTALBYTES><NAME>Three</NAME></IMAGE>");
    library.Fail("WIMGetImageInformation", ERROR_INVALID_DATA, 4);  // the file's XML
    EXPECT_EQ(Report(), std::string(kHeading) +
                            "映像卷數量:\t3\r\n壓縮率:\t卷編號:\t2/3\r\n引導索引:\t2\r\n屬性:\t0x114\r\n"
                            "\t\tVERIFY_DATA\r\n\t\tSPANNED\r\n"
                            "\r\n映像卷: 1\r\n-------------------\r\n"
                            "名稱:\t\tOne\r\n描述:\t\tFirst\r\n標識:\t\tCore\r\n"
                            "檔案:\t\t10\r\n資料夾:\t\t4\r\n展開大小:\t\t1023 Bytes\r\n"
                            "\r\n映像卷: 2\r\n-------------------\r\n"
                            "檔案:\t\t0\r\n資料夾:\t\t0\r\n展開大小:\t\t1535 MB\r\n"
                            "\r\n映像卷: 3\r\n-------------------\r\n"
                            "名稱:\t\tThree\r\n"
                            "檔案:\t\t0\r\n資料夾:\t\t0\r\n展開大小:\t\t1023 KB\r\n");
    EXPECT_TRUE(result);  // a missing XML section is no failure
    EXPECT_EQ(library.CallCount("WIMCloseHandle"), 4);
}

TEST_F(InfoReportTest, UnloadableAndUnreadableImagesKeepWhatTheyCan)
{
    library.info.ImageCount = 2;
    library.imageXml[2] = WSTR("<IMAGE><NAME>x</IMAGE>");
    library.Fail("WIMLoadImage", ERROR_INVALID_PARAMETER);
    std::string report = Report();
    EXPECT_NE(report.find("映像卷: 1\r\n-------------------\r\n\r\n映像卷: 2\r\n-------------------\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(notices.count(), 0);

    ScriptedImaging second;
    second.info.ImageCount = 1;
    second.imageXml[1] = WSTR("<IMAGE><NAME>x</IMAGE>");
    report = Report();
    EXPECT_NE(
        report.find(
            "映像卷: 1\r\n-------------------\r\n檔案:\t\t0\r\n資料夾:\t\t0\r\n展開大小:\t\t0 Bytes\r\n"),
        std::string::npos);
    EXPECT_EQ(notices.count(), 1);
}

TEST_F(InfoReportTest, OpenHeaderAndTemporaryPathFailuresReplaceTheReportWithTheirReason)
{
    const struct {
        const char* call;
        DWORD error;
        const char* text;
        int closes;
    } cases[] = {
        {"WIMCreateFile", ERROR_FILE_NOT_FOUND, "錯誤: 無法開啟映像檔.", 0},
        {"WIMGetAttributes", ERROR_INVALID_DATA, "錯誤: 無法變更映像檔屬性.", 1},
        {"WIMSetTemporaryPath", ERROR_ACCESS_DENIED, "錯誤: 無法建立暫存資料夾.", 1},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.Fail(c.call, c.error);
        EXPECT_EQ(Report(), c.text + std::string("\r\n") + Reason(c.error));
        EXPECT_FALSE(result);
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), c.closes) << c.call;
    }

    // A path too long for the buffers opens nothing.
    ScriptedImaging scripted;
    task.infoSource = WSTR("C:\\") + WString(300, WSTR('x'));
    EXPECT_EQ(Report(), "錯誤: 無法開啟映像檔.\r\n" + Reason(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(scripted.calls.empty());
}

TEST_F(InfoReportTest, EachAttributeBitHasItsOwnLine)
{
    const struct {
        DWORD bit;
        const char* line;
    } bits[] = {
        {0x1, "\t\tRESOURCE_ONLY\r\n"},
        {0x2, "\t\tMETADATA_ONLY\r\n"},
        {0x4, "\t\tVERIFY_DATA\r\n"},
        {0x8, "\t\tRP_FIX\r\n"},
        {0x10, "\t\tSPANNED\r\n"},
        {0x20, "\t\tREADONLY\r\n"},
        {0x40, ""},
    };
    for (const auto& b : bits) {
        library.info.WimAttributes = b.bit;
        char header[64];
        std::snprintf(header, sizeof header, "屬性:\t0x%lX\r\n", static_cast<unsigned long>(b.bit));
        EXPECT_EQ(Report(), std::string(kHeading) + "映像卷數量:\t0\r\n壓縮率:\tLZX\r\n卷編號:\t1/1\r\n" +
                                header + b.line + kXmlSection)
            << b.bit;
    }
}

TEST_F(InfoReportTest, SizesChangeUnitAtOneKilobyteAndOneMegabyte)
{
    const struct {
        const WCHAR* bytes;
        const char* shown;
    } sizes[] = {
        {WSTR("0"), "0 Bytes"},       {WSTR("1023"), "1023 Bytes"},    {WSTR("1024"), "1 KB"},
        {WSTR("1048575"), "1023 KB"}, {WSTR("1048576"), "1 MB"},       {WSTR("1610612735"), "1535 MB"},
        {WSTR("-5"), "-5 Bytes"},     {WSTR("5368709120"), "5120 MB"},
    };
    library.info.ImageCount = static_cast<DWORD>(std::size(sizes));
    std::string expected;
    for (DWORD i = 0; i < library.info.ImageCount; ++i) {
        library.imageXml[i + 1] =
            WString(WSTR("<IMAGE><TOTALBYTES>")) + sizes[i].bytes + WSTR("</TOTALBYTES></IMAGE>");
        expected += "\r\n映像卷: " + std::to_string(i + 1) +
                    "\r\n-------------------\r\n檔案:\t\t0\r\n資料夾:\t\t0\r\n展開大小:\t\t" +
                    sizes[i].shown + "\r\n";
    }
    std::string report = Report();
    size_t start = report.find("\r\n映像卷: 1");
    size_t end = report.find("\r\n\r\n映像檔 XML");
    ASSERT_NE(start, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(report.substr(start, end - start), expected);
}

TEST_F(InfoReportTest, TextsShowAsTypedAndLongOnesKeepTheirLineEnd)
{
    library.info.ImageCount = 1;
    const WString longName(300, WSTR('n'));
    library.imageXml[1] = WSTR("<IMAGE><NAME>") + longName +
                          WSTR("</NAME><DESCRIPTION>A &amp; B &lt; C</DESCRIPTION>"
                               "<FLAGS>") +
                          WString(255, WSTR('f')) + WString{0xD83D, 0xDE00} + WSTR("</FLAGS></IMAGE>");
    std::string report = Report();
    // 259 characters each: the label, the start and the end of the text, CR LF.
    const std::string name = "名稱:\t\t" + std::string(124, 'n') + "…" + std::string(127, 'n') + "\r\n";
    // The end keeps the whole pair, the cut splits none.
    const std::string flags = "標識:\t\t" + std::string(124, 'f') + "…" + std::string(125, 'f') + "😀\r\n";
    EXPECT_NE(report.find("\r\n" + name + "描述:\t\tA & B < C\r\n" + flags + "檔案:"), std::string::npos)
        << report;
}

// The Info page's report box, from its own template, as the report's
// target; what it showed at each change is recorded with the log of the
// moment.
class InfoReportBoxWindowTest : public InfoReportTest {
protected:
    void SetUp() override
    {
        InfoReportTest::SetUp();
        // Page templates are child windows: they need a parent.
        parent = CreateWindowExW(0, WSTR("STATIC"), WSTR(""), WS_POPUP, 0, 0, 600, 400, nullptr, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(parent, nullptr);
        page = CreateDialogParamW(g_instance, MAKEINTRESOURCEW(IDD_PAGE_INFO), parent, PlainPage, 0);
        ASSERT_NE(page, nullptr);
        task.pageWindow = page;
        SetWindowSubclass(GetDlgItem(page, IDC_INFO_TEXT), Record, 1, reinterpret_cast<DWORD_PTR>(this));
    }
    void TearDown() override { DestroyWindow(parent); }

    static INT_PTR CALLBACK PlainPage(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
    static LRESULT CALLBACK Record(HWND box, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                   DWORD_PTR self)
    {
        auto* test = reinterpret_cast<InfoReportBoxWindowTest*>(self);
        if (message == WM_NCPAINT)
            ++test->framePaints;
        if (message == WM_SETTEXT)
            test->shown.push_back(
                {Narrow(reinterpret_cast<const WCHAR*>(lParam)), Narrow(test->task.logText)});
        return DefSubclassProc(box, message, wParam, lParam);
    }
    std::string Box()
    {
        WCHAR text[4096] = {};
        GetDlgItemTextW(page, IDC_INFO_TEXT, text, 4096);
        return Narrow(text);
    }

    HWND parent = nullptr;
    HWND page = nullptr;
    int framePaints = 0;
    struct Shown {
        std::string text, log;
    };
    std::vector<Shown> shown;
};

TEST_F(InfoReportBoxWindowTest, OpeningLineFollowsTheTemporaryFolderAndTheResultReplacesIt)
{
    EXPECT_TRUE(BuildInfoReport(task));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "開啟映像檔中...");
    EXPECT_EQ(shown[0].log.rfind("暫存資料夾:\t", 0), 0u) << "the temporary folder was not chosen first";
    EXPECT_EQ(Box(), shown[1].text);
    EXPECT_EQ(Box().rfind("映像訊息: \r\n", 0), 0u) << Box();

    // A failure shows in the box too, in place of the opening line.
    shown.clear();
    library.Fail("WIMCreateFile", ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(BuildInfoReport(task));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(Box(), "錯誤: 無法開啟映像檔.\r\n" + Reason(ERROR_FILE_NOT_FOUND));
}

// The report set into the box as a user sees it: whether the page is shown
// (and the box has the focus) or not, the box ends as it was, holding exactly
// the text, with its style, both scroll ranges and the focus.
TEST_F(InfoReportBoxWindowTest, SettingTheReportLeavesTheBoxAsItWasWithTheWholeText)
{
    WString text;
    for (int line = 1; line <= 200; ++line)
        text += WSTR("名稱:\t\tImage ") + DecimalText(line) + WSTR("\r\n");
    text += WString(400, WSTR('x'));
    const HWND box = GetDlgItem(page, IDC_INFO_TEXT);
    const LONG_PTR style = GetWindowLongPtrW(box, GWL_STYLE);
    struct Case {
        bool shown;
    } cases[] = {{true}, {false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown ? "shown" : "hidden");
        ShowWindow(parent, c.shown ? SW_SHOW : SW_HIDE);
        if (c.shown)
            SetFocus(box);
        SetWindowTextW(box, WSTR(""));
        SetReportText(box, text.c_str());
        WString shownText(GetWindowTextLengthW(box), 0);
        GetWindowTextW(box, shownText.data(), static_cast<int>(shownText.size()) + 1);
        EXPECT_TRUE(shownText == text);
        EXPECT_EQ(IsWindowVisible(box) != FALSE, c.shown);
        EXPECT_EQ(GetWindowLongPtrW(box, GWL_STYLE) & ~WS_VISIBLE, style & ~WS_VISIBLE);
        EXPECT_EQ(SendMessageW(box, EM_GETLINECOUNT, 0, 0), 201);
        if (c.shown) {
            EXPECT_EQ(GetFocus(), box);
        }
        SCROLLINFO vertical = {};
        vertical.cbSize = sizeof vertical;
        vertical.fMask = SIF_RANGE | SIF_PAGE;
        SCROLLINFO horizontal = vertical;
        ASSERT_TRUE(GetScrollInfo(box, SB_VERT, &vertical));
        ASSERT_TRUE(GetScrollInfo(box, SB_HORZ, &horizontal));
        EXPECT_GT(vertical.nMax - vertical.nMin + 1, static_cast<int>(vertical.nPage));
        EXPECT_GT(horizontal.nMax - horizontal.nMin + 1, static_cast<int>(horizontal.nPage));
        // As a log, the same text is shown at its end, shown box or not.
        SetLogText(box, text.c_str());
        EXPECT_GT(SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0), 0) << "the log's end is not shown";
    }
}

// A focused log's caret stays with its text: where the same text set and
// scrolled to its end in the shown box puts it, out of sight above.
TEST_F(InfoReportBoxWindowTest, AFocusedLogsCaretStaysWithItsText)
{
    WString tall;
    for (int line = 1; line <= 60; ++line)
        tall += WSTR("名稱:\t\t") + DecimalText(line) + WSTR("\r\n");
    const HWND box = GetDlgItem(page, IDC_INFO_TEXT);
    ShowWindow(parent, SW_SHOW);
    SetFocus(box);
    ASSERT_EQ(GetFocus(), box);
    SetWindowTextW(box, tall.c_str());
    SendMessageW(box, WM_VSCROLL, SB_BOTTOM, 0);
    POINT plain = {}, caret = {};
    GetCaretPos(&plain);
    SetWindowTextW(box, WSTR(""));
    SetLogText(box, tall.c_str());
    GetCaretPos(&caret);
    EXPECT_EQ(caret.x, plain.x);
    EXPECT_EQ(caret.y, plain.y);
    EXPECT_LT(caret.y, 0);
}

// A log that grows keeps what the user selected in it and shows its end,
// whole however long it gets; a text that does not go on from the shown one
// replaces it.
TEST_F(InfoReportBoxWindowTest, AGrowingLogKeepsTheUsersSelectionAndItsWholeText)
{
    const HWND box = GetDlgItem(page, IDC_INFO_TEXT);
    ShowWindow(parent, SW_SHOW);
    SetFocus(box);
    WString log;  // past the edit control's default limit of 30,000 characters
    for (int line = 1; line <= 2000; ++line)
        log += WSTR("\t不包含: C:\\Temp\\file") + DecimalText(line) + WSTR(".tmp\r\n");
    SetLogText(box, log.c_str());
    SendMessageW(box, EM_SETSEL, 5, 12);
    log += WSTR("\t不包含: C:\\Temp\\last.tmp\r\n");
    SetLogText(box, log.c_str());
    EXPECT_TRUE(WindowText(box) == log) << WindowText(box).size() << " of " << log.size();
    DWORD start = 0, end = 0;
    SendMessageW(box, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 5u);
    EXPECT_EQ(end, 12u);
    const LRESULT first = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
    SendMessageW(box, WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_EQ(SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0), first) << "the end is not shown";

    const WString other = WSTR("開啟映像檔中...\r\n");
    SetLogText(box, other.c_str());
    EXPECT_TRUE(WindowText(box) == other);
}

namespace {

// The box's pixels, frame and scroll bars included, as they are on screen.
std::vector<DWORD> ScreenPixels(HWND box)
{
    RECT rect = {};
    GetWindowRect(box, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetWindowDC(box), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    std::vector<DWORD> pixels(static_cast<size_t>(width * height));
    GetBitmapBits(bitmap, static_cast<LONG>(pixels.size() * sizeof(DWORD)), pixels.data());
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(box, screen);
    return pixels;
}

}  // namespace

// A new text in a shown box is on screen at once as a full repaint draws it,
// its frame (with the scroll bars) painted again only when the bars change.
TEST_F(InfoReportBoxWindowTest, ANewTextIsPaintedAsAFullRepaintWouldWithTheFrameOnlyWhenItsBarsChange)
{
    WString tall, tallAgain;
    for (int line = 1; line <= 60; ++line) {
        tall += WSTR("名稱:\t\t") + DecimalText(line) + WSTR("\r\n");
        tallAgain += WSTR("描述:\t\t") + DecimalText(line) + WSTR("\r\n");
    }
    const WString empty, opening = WSTR("開啟映像檔中...");
    const struct {
        const WString &before, &after;
        bool barsChange;
    } cases[] = {{empty, opening, false}, {opening, tall, true}, {tall, tallAgain, false}};
    const HWND box = GetDlgItem(page, IDC_INFO_TEXT);
    ShowWindow(parent, SW_SHOW);
    for (const auto& c : cases) {
        SetReportText(box, c.before.c_str());
        RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_UPDATENOW);
        framePaints = 0;
        SetReportText(box, c.after.c_str());
        const std::vector<DWORD> shown = ScreenPixels(box);
        EXPECT_EQ(framePaints > 0, c.barsChange) << Narrow(c.after);
        RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_UPDATENOW);
        EXPECT_TRUE(shown == ScreenPixels(box)) << "not as a full repaint: " << Narrow(c.after);
    }
}

// A box shown but not painted yet (its window has just opened) gets its
// frame with its next text, though its bars do not change.
TEST_F(InfoReportBoxWindowTest, ABoxNotPaintedYetGetsItsFrameWithItsText)
{
    const HWND box = GetDlgItem(page, IDC_INFO_TEXT);
    const WString opening = WSTR("開啟映像檔中...\r\n");
    for (const bool log : {true, false}) {
        SCOPED_TRACE(log ? "log" : "report");
        ShowWindow(parent, SW_HIDE);
        SetReportText(box, opening.c_str());
        ShowWindow(parent, SW_SHOW);
        const WString next = opening + WSTR("正在從這映像檔中刪除 \"映像卷 2\"...\r\n");
        if (log)
            SetLogText(box, next.c_str());
        else
            SetReportText(box, next.c_str());
        const std::vector<DWORD> shown = ScreenPixels(box);
        RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_UPDATENOW);
        EXPECT_TRUE(shown == ScreenPixels(box)) << "not as a full repaint";
    }
}

class TempDirectoryTest : public testing::Test {
protected:
    void SetUp() override
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        WCHAR unique[MAX_PATH];
        GetTempFileNameW(temp, WSTR("CRT"), 0, unique);
        DeleteFileW(unique);
        folder = unique;
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    void TearDown() override { RemoveDirectoryW(folder.c_str()); }

    std::string Normalised(const WString& path)
    {
        WCHAR buffer[kTextBufferSize];
        NormaliseDirectory(path.c_str(), buffer);
        return Narrow(buffer);
    }
    WString folder;
};

TEST_F(TempDirectoryTest, CandidatesBecomeTheirFolders)
{
    EXPECT_EQ(Normalised(WSTR("E:")), "E:\\");
    EXPECT_EQ(Normalised(WSTR("C:\\new.wim")), "C:\\");
    EXPECT_EQ(Normalised(folder + WSTR("\\new.wim")), Narrow(folder));
    EXPECT_EQ(Normalised(folder + WSTR("\\")), Narrow(folder));
    EXPECT_EQ(Normalised(folder), Narrow(folder));
}

TEST_F(TempDirectoryTest, FirstWritableCandidateWinsAndLeavesNoFileBehind)
{
    WCHAR chosen[kTextBufferSize];
    WString missing = folder + WSTR("\\absent\\deeper\\x.wim");
    ASSERT_TRUE(ChooseTempDirectory(missing.c_str(), (folder + WSTR("\\a.wim")).c_str(), chosen));
    EXPECT_EQ(Narrow(chosen), Narrow(folder));
    EXPECT_TRUE(RemoveDirectoryW(folder.c_str())) << "the probe left a file behind";
    CreateDirectoryW(folder.c_str(), nullptr);

    // Neither candidate: the system temporary directory.
    ASSERT_TRUE(ChooseTempDirectory(nullptr, nullptr, chosen));
    WCHAR system[MAX_PATH];
    GetTempPathW(MAX_PATH, system);
    WString expected = system;
    expected.pop_back();
    EXPECT_EQ(Narrow(chosen), Narrow(expected));
}

}  // namespace
