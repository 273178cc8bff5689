// The capture's message callback: path matching, the inclusion and
// compression answers, and the log and status transcripts of scripted
// message sequences.
#include "base/log.h"
#include "base/resource.h"
#include "capture_config/capture_config.h"
#include "capture_config/path_match.h"
#include "operations/capture_messages.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"

#include <mmsystem.h>

namespace {

TEST(WildcardMatchTest, StarsQuestionMarksAndBacktracking)
{
    struct Case {
        const char* name;
        const char* pattern;
        bool match;
    };
    const Case cases[] = {
        {"A.MP3", "*.MP3", true},
        {".MP3", "*.MP3", true},
        {"A.MP3X", "*.MP3", false},
        {"A.MP", "*.MP3", false},
        {"", "*", true},
        {"ANYTHING AT ALL", "*", true},
        {"", "?", false},
        {"A", "A?", false},  // '?' never matches an empty position
        {"AB", "A?", true},
        {"ABC", "A?", false},
        {"", "", true},
        {"A", "", false},
        {"", "**", true},
        {"XY", "X**Y", true},
        {"ABCBCD", "A*BCD", true},  // the first BC is a false start
        {"ABCBCE", "A*BCD", false},
        {"MISSISSIPPI", "M*SS*PI", true},
        {"MISSISSIPPI", "M*SS*PX", false},
        {"AAA", "A*A*A*A", false},
        {"AAAA", "A*A*A*A", true},
        {"FILE.TXT", "F?LE.*", true},
        {"FILE", "FILE*", true},
        {"FILE", "FILE*?", false},
        {"XAB", "*?B", true},
        {"B", "*?B", false},
        {"S-1-5-21", "S-*-21", true},
        {"PAGEFILE.SYS", "PAGEFILE.SYS", true},
        {"PAGEFILE.SYS", "pagefile.sys", false},  // both sides are upper-cased before
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WildcardMatch(WideFromUtf8(c.name).c_str(), WideFromUtf8(c.pattern).c_str()), c.match)
            << c.name << " against " << c.pattern;
    }
}

PatternList ListOf(std::initializer_list<const char*> patterns)
{
    PatternList list;
    ResetPatternList(list);
    for (const char* pattern : patterns)
        AddUniquePattern(list, WideFromUtf8(pattern));
    return list;
}

bool Matches(const WString& path, const PatternList& list)
{
    PathParts parts;
    BuildPathParts(parts, path.c_str());
    return PathMatchesList(parts, list);
}

TEST(PathMatchesEntryTest, AnchoredFromTheDriveRootAndTrailingFoldersOtherwise)
{
    struct Case {
        const char* pattern;
        const char* path;
        bool match;
    };
    const Case cases[] = {
        {"\\pagefile.sys", "C:\\pagefile.sys", true},
        {"\\pagefile.sys", "C:\\sub\\pagefile.sys", false},
        {"\\pagefile.sys", "D:\\PageFile.Sys", true},  // a drive mapped to a folder: its root
        {"\\pagefile.sys", "D:\\sub\\pagefile.sys", false},
        {"\\pagefile.sys", "\\\\server\\share\\pagefile.sys", false},
        {"\\System Volume Information", "D:\\Data\\System Volume Information", false},
        {"\\System Volume Information", "D:\\System Volume Information", true},
        {"\\$Recycle.Bin\\*", "C:\\$Recycle.Bin\\desktop.ini", true},
        {"\\$Recycle.Bin\\*", "C:\\$Recycle.Bin", false},  // the folder itself stays
        {"\\$Recycle.Bin\\*", "C:\\$Recycle.Bin\\S-1-5\\x", false},
        {"\\Windows\\CSC", "c:\\windows\\csc", true},
        {"\\Windows\\CSC", "C:\\Windows\\CSC\\v2.0.6", false},
        {"\\Windows\\CSC", "C:\\Old\\Windows\\CSC", false},
        {"Windows\\CSC", "C:\\Old\\Windows\\CSC", true},
        {"temp\\*.log", "C:\\a\\temp\\x.log", true},
        {"temp\\*.log", "C:\\a\\mytemp\\x.log", false},  // whole folder names only
        {"temp\\*.log", "C:\\temp\\x.log", true},
        {"temp\\*.log", "temp\\x.log", true},  // a relative path gets its leading backslash
        {"a\\temp\\*.log", "C:\\temp\\x.log", false},
        {"*.mp3", "C:\\Music\\Song.MP3", true},
        {"*.mp3", "C:\\Music\\Song.mp3x", false},
        {"*.mp3", "C:\\Music.mp3\\cover.jpg", false},
        {"c:\\boot\\bcd", "E:\\x\\boot\\BCD", true},  // a drive in a pattern does not anchor it
        {"\\Windows\\Temp\\", "C:\\Windows\\Temp", false},
        {"\\Windows/CSC", "C:/Windows/CSC", true},
        {"\\caf\xc3\xa9", "C:\\CAF\xc3\x89", true},
    };
    for (const Case& c : cases) {
        PatternEntry entry;
        ASSERT_TRUE(MakePatternEntry(entry, WideFromUtf8(c.pattern)));
        PathParts parts;
        BuildPathParts(parts, WideFromUtf8(c.path).c_str());
        EXPECT_EQ(PathMatchesEntry(parts, entry), c.match) << c.pattern << " on " << c.path;
    }
}

TEST(PathMatchesEntryTest, PathsLongerThanTheBuffersAreStillFilteredExactly)
{
    // A directory far beyond 260 characters: only its end is kept, its length
    // stays whole.
    WString deep = WSTR("C:");
    for (int i = 0; i < 60; ++i)
        deep += WSTR("\\folder") + DecimalText(i);
    PatternList list = ListOf({"*.tmp", "folder59\\keep.me", "\\pagefile.sys", "folder0\\*"});
    EXPECT_TRUE(Matches(deep + WSTR("\\x.TMP"), list));
    EXPECT_TRUE(Matches(deep + WSTR("\\KEEP.ME"), list));
    EXPECT_FALSE(Matches(deep + WSTR("\\pagefile.sys"), list));
    EXPECT_FALSE(Matches(deep + WSTR("\\x"), list));

    // A directory whose kept end is exactly as long as an anchored pattern's.
    WString exact = WSTR("\\") + WString(kMaxPatternLength - 6, WSTR('d'));
    PatternList anchored;
    ResetPatternList(anchored);
    ASSERT_TRUE(AddUniquePattern(anchored, exact + WSTR("\\a.b")));
    EXPECT_TRUE(Matches(WSTR("C:") + exact + WSTR("\\A.B"), anchored));
    EXPECT_FALSE(Matches(WSTR("C:\\x") + exact + WSTR("\\A.B"), anchored));

    // A name no file system allows is left alone rather than half-matched.
    EXPECT_FALSE(Matches(WSTR("C:\\") + WString(2000, WSTR('n')) + WSTR(".tmp"), list));
}

class CaptureMessagesTest : public testing::Test {
public:
    void SetUp() override
    {
        task.startTime = timeGetTime();
        task.captureConfigFile = WSTR("C:\\no such folder\\none.ini");
        LoadCaptureConfig(task);  // the defaults; the file's failure is beside the point here
        task.logText.clear();
    }
    void TearDown() override
    {
        if (window != nullptr)
            DestroyWindow(window);
    }

    // A window with the counter control, standing in for the progress window.
    void ShowCounterIn()
    {
        window = CreateWindowExW(0, WSTR("STATIC"), WSTR(""), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        ASSERT_NE(CreateWindowExW(0, WSTR("STATIC"), WSTR(""), WS_CHILD, 0, 0, 10, 10, window,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS_COUNTER)),
                                  nullptr, nullptr),
                  nullptr);
        task.progressWindow = window;
    }
    std::string Counter() const
    {
        WCHAR text[kTextBufferSize] = {};
        GetDlgItemTextW(window, IDC_PROGRESS_COUNTER, text, kTextBufferSize);
        return Narrow(text);
    }

    DWORD Send(DWORD id, WPARAM wParam, LPARAM lParam)
    {
        return HandleCaptureMessage(task, id, wParam, lParam);
    }
    DWORD Send(DWORD id, const WString& path, BOOL& flag)
    {
        return Send(id, reinterpret_cast<WPARAM>(path.c_str()), reinterpret_cast<LPARAM>(&flag));
    }
    // The include answer for one scanned path.
    BOOL Included(const char* path)
    {
        BOOL include = TRUE;
        EXPECT_EQ(Send(WIM_MSG_PROCESS, WideFromUtf8(path), include), WIM_MSG_SUCCESS);
        return include;
    }
    BOOL Compressed(const char* path)
    {
        BOOL compress = TRUE;
        EXPECT_EQ(Send(WIM_MSG_COMPRESS, WideFromUtf8(path), compress), WIM_MSG_SUCCESS);
        return compress;
    }
    std::string Log() const { return Narrow(task.logText); }
    static std::string ErrorText(DWORD code)
    {
        WCHAR text[kTextBufferSize];
        return Narrow(SystemErrorText(text, code));
    }

    TaskState task;
    HWND window = nullptr;
};

TEST_F(CaptureMessagesTest, ScanningFiltersAgainstDefaultsAndExceptionsAndLogsEachExclusion)
{
    ASSERT_TRUE(AddUniquePattern(task.exclusions, WSTR("*.tmp")));
    ASSERT_TRUE(AddUniquePattern(task.exclusionExceptions, WSTR("\\keep\\*")));
    EXPECT_TRUE(Included("C:\\"));
    EXPECT_FALSE(Included("C:\\pagefile.sys"));
    EXPECT_TRUE(Included("C:\\sub\\pagefile.sys"));
    EXPECT_FALSE(Included("C:\\Work\\Build.TMP"));
    EXPECT_TRUE(Included("C:\\keep\\Build.tmp"));  // an exception wins, and is not logged
    EXPECT_TRUE(Included("C:\\$Recycle.Bin"));
    EXPECT_FALSE(Included("C:\\$Recycle.Bin\\S-1-5-18"));
    EXPECT_EQ(Log(), "正在掃描檔案...\r\n"
                     "\t不包含: C:\\pagefile.sys\r\n"
                     "\t不包含: C:\\Work\\Build.TMP\r\n"
                     "\t不包含: C:\\$Recycle.Bin\\S-1-5-18\r\n");
    EXPECT_TRUE(task.scanNoticeShown);
    EXPECT_EQ(task.itemsDone, 0u);  // scanned files are counted by the scanning messages
}

// The scanning and capture counts; `counter` checks the texts of the progress
// window's counter control as well (it needs a display).
void RunCountingTranscript(CaptureMessagesTest& test, bool counter);

TEST_F(CaptureMessagesTest, ScanningCountsAccumulateThenTheRangeStartsTheCapture)
{
    RunCountingTranscript(*this, false);
}

class CaptureCounterWindowTest : public CaptureMessagesTest {};

TEST_F(CaptureCounterWindowTest, ScanningCountsShowEvery32FilesThenItemsAgainstTheRange)
{
    ShowCounterIn();
    RunCountingTranscript(*this, true);
}

void RunCountingTranscript(CaptureMessagesTest& test, bool counter)
{
    struct Step {
        WPARAM folders;
        LPARAM files;
        const char* shown;  // nullptr: not refreshed
    };
    const Step steps[] = {
        {1, 0, "檔案:0  資料夾:1"},  // 0 is a multiple of 32
        {2, 31, nullptr},
        {0, 32, "檔案:32  資料夾:3"},
        {4, 20, "檔案:32  資料夾:7"},  // a smaller count keeps the larger one
        {0, 63, nullptr},
        {1, 0x100000040, "檔案:64  資料夾:8"},  // only the low 32 bits count
    };
    for (const Step& step : steps) {
        if (counter)
            SetDlgItemTextW(test.window, IDC_PROGRESS_COUNTER, WSTR("-"));
        EXPECT_EQ(test.Send(WIM_MSG_SCANNING, step.folders, step.files), WIM_MSG_SUCCESS);
        if (counter) {
            EXPECT_EQ(test.Counter(), step.shown != nullptr ? step.shown : "-") << step.files;
        }
    }
    EXPECT_EQ(test.task.folderCount, 8u);
    EXPECT_EQ(test.task.itemsDone, 64u);
    EXPECT_EQ(test.Log(), "");

    EXPECT_EQ(test.Send(WIM_MSG_SETRANGE, 0, 1234), WIM_MSG_SUCCESS);
    EXPECT_EQ(test.Log(), "其中包含 8 資料夾和 1234 檔案.\r\n正在讀取...\r\n\r\n");
    EXPECT_EQ(test.task.fileCount, 1234u);
    EXPECT_EQ(test.task.itemsDone, 0u);
    if (counter) {
        EXPECT_EQ(test.Counter(), "檔案: 0 / 1234");
    }

    // From now on PROCESS only counts; even a default exclusion is kept.
    EXPECT_TRUE(test.Included("C:\\pagefile.sys"));
    EXPECT_TRUE(test.Included("C:\\a.txt"));
    EXPECT_EQ(test.task.itemsDone, 2u);
    EXPECT_EQ(test.Send(WIM_MSG_PROGRESS, 42, 5000), WIM_MSG_SUCCESS);
    EXPECT_EQ(test.task.lastPercent, 42u);
    if (counter) {
        EXPECT_EQ(test.Counter(), "檔案: 2 / 1234");
    }
    EXPECT_EQ(test.Log(), "其中包含 8 資料夾和 1234 檔案.\r\n正在讀取...\r\n\r\n");

    // Files without data of their own are told after the last progress
    // message: the last of them still shows, so the counter ends at the whole.
    EXPECT_EQ(test.Send(WIM_MSG_SETRANGE, 0, 3), WIM_MSG_SUCCESS);
    EXPECT_EQ(test.Send(WIM_MSG_PROGRESS, 100, 0), WIM_MSG_SUCCESS);
    for (const char* path : {"C:\\a.txt", "C:\\empty.txt", "C:\\link"}) {
        if (counter)
            SetDlgItemTextW(test.window, IDC_PROGRESS_COUNTER, WSTR("-"));
        EXPECT_TRUE(test.Included(path));
    }
    EXPECT_EQ(test.task.itemsDone, 3u);
    if (counter) {
        EXPECT_EQ(test.Counter(), "檔案: 3 / 3");
    }
}

TEST_F(CaptureMessagesTest, CompressionIsDecidedInEveryPhaseAndIgnoresAbort)
{
    EXPECT_FALSE(Compressed("C:\\Music\\Song.MP3"));
    EXPECT_FALSE(Compressed("C:\\dl\\x.zip"));
    EXPECT_FALSE(Compressed("C:\\dl\\X.ZIP"));
    EXPECT_TRUE(Compressed("C:\\dl\\x.zipx"));
    EXPECT_TRUE(Compressed("C:\\dl\\readme.txt"));
    Send(WIM_MSG_SETRANGE, 0, 10);
    task.abortRequested = true;
    EXPECT_FALSE(Compressed("C:\\Sources\\install.wim"));
    EXPECT_TRUE(Compressed("C:\\Sources\\install.esd"));
    EXPECT_EQ(Log(), "其中包含 0 資料夾和 10 檔案.\r\n正在讀取...\r\n\r\n");
}

TEST_F(CaptureMessagesTest, LibraryDiagnosticsCarryThePathAndTheSystemText)
{
    const WString path = WSTR("C:\\data\\locked.txt");
    const WPARAM at = reinterpret_cast<WPARAM>(path.c_str());
    Send(WIM_MSG_ERROR, at, ERROR_ACCESS_DENIED);
    Send(WIM_MSG_RETRY, at, ERROR_SHARING_VIOLATION);
    Send(WIM_MSG_WARNING, at, static_cast<LPARAM>(0x700000000 | ERROR_FILE_NOT_FOUND));
    Send(WIM_MSG_INFO, at, ERROR_DISK_FULL);
    Send(WIM_MSG_LEFTOVER_REMOVED, at, 0);
    EXPECT_EQ(Log(), "ERROR: C:\\data\\locked.txt    [Code=" + ErrorText(ERROR_ACCESS_DENIED) + "]\n\r\n" +
                         "RETRY: C:\\data\\locked.txt    [Code=" + ErrorText(ERROR_SHARING_VIOLATION) +
                         "]\n\r\n" +
                         "WARNING: C:\\data\\locked.txt    [Code=" + ErrorText(ERROR_FILE_NOT_FOUND) +
                         "]\n\r\n" + "INFO: C:\\data\\locked.txt    [Code=" + ErrorText(ERROR_DISK_FULL) +
                         "]\n\r\n" + "已移除先前寫入中斷時遺留的暫存檔: C:\\data\\locked.txt\r\n");
    EXPECT_EQ(ErrorText(ERROR_ACCESS_DENIED).find("???"), std::string::npos);

    // A path longer than any buffer reaches the log whole.
    task.logText.clear();
    WString longPath = WSTR("C:\\") + WString(700, WSTR('p'));
    Send(WIM_MSG_ERROR, reinterpret_cast<WPARAM>(longPath.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Log(),
              "ERROR: " + Narrow(longPath) + "    [Code=" + ErrorText(ERROR_ACCESS_DENIED) + "]\n\r\n");
}

TEST_F(CaptureMessagesTest, OneTimeNoticesAppearOncePerCapture)
{
    const WString path = WSTR("C:\\ea\\file");
    const WPARAM at = reinterpret_cast<WPARAM>(path.c_str());
    for (int i = 0; i < 3; ++i) {
        Send(WIM_MSG_INFO, at, 282);
        Send(WIM_MSG_VERIFYING_INTEGRITY, 0, 0);
        Send(WIM_MSG_ADDING_INTEGRITY, 0, 0);
        Included("C:\\x");
    }
    const std::string ea = "INFO: Extended attributes found, these will not be captured. This is how DISM "
                           "and ImageX operate.\n\r\n";
    EXPECT_EQ(Log(), ea + "驗證完整性訊息...\r\n正在添加完整訊息...\r\n正在掃描檔案...\r\n"
                          "正在添加完整訊息...\r\n正在添加完整訊息...\r\n");

    // The next capture clears the two per-capture flags; the scan notice is
    // reset by the progress window, not here.
    task.logText.clear();
    task.eaNoticeShown = false;
    task.verifyNoticeShown = false;
    Send(WIM_MSG_INFO, at, 282);
    Send(WIM_MSG_VERIFYING_INTEGRITY, 0, 0);
    Included("C:\\x");
    EXPECT_EQ(Log(), ea + "驗證完整性訊息...\r\n");
}

TEST_F(CaptureMessagesTest, AbortIsAnsweredToQueriesAndScannedPaths)
{
    BOOL include = TRUE;
    const WString path = WSTR("C:\\pagefile.sys");
    EXPECT_EQ(Send(WIM_MSG_QUERY_ABORT, 0, 0), WIM_MSG_SUCCESS);
    task.abortRequested = true;
    EXPECT_EQ(Send(WIM_MSG_QUERY_ABORT, 0, 0), WIM_MSG_ABORT_IMAGE);
    EXPECT_EQ(Send(WIM_MSG_PROCESS, path, include), WIM_MSG_ABORT_IMAGE);
    EXPECT_EQ(include, TRUE);  // not decided, not logged
    Send(WIM_MSG_SETRANGE, 0, 5);
    task.logText.clear();
    EXPECT_EQ(Send(WIM_MSG_PROCESS, path, include), WIM_MSG_ABORT_IMAGE);
    EXPECT_EQ(task.itemsDone, 0u);
    // Other messages go on as usual.
    EXPECT_EQ(Send(WIM_MSG_PROGRESS, 10, 0), WIM_MSG_SUCCESS);
    EXPECT_EQ(Send(WIM_MSG + 1, 0, 0), WIM_MSG_SUCCESS);
    EXPECT_EQ(Log(), "");
}

TEST_F(CaptureMessagesTest, UnknownMessagesAndMissingPointersChangeNothing)
{
    for (DWORD id : {WIM_MSG, WIM_MSG_TEXT, WIM_MSG_SETPOS, WIM_MSG_STEPIT, WIM_MSG_ALIGNMENT, WIM_MSG_SPLIT,
                     WIM_MSG_FILEINFO, WIM_MSG_CHK_PROCESS, WIM_MSG + 30, 0u})
        EXPECT_EQ(Send(id, 1, 1), WIM_MSG_SUCCESS) << id;
    EXPECT_EQ(Send(WIM_MSG_PROCESS, 0, 0), WIM_MSG_SUCCESS);
    EXPECT_EQ(Send(WIM_MSG_COMPRESS, 0, 0), WIM_MSG_SUCCESS);
    EXPECT_EQ(task.itemsDone, 0u);
    EXPECT_EQ(task.folderCount, 0u);
}

// The callback as the library sees it: registered process-wide, reaching the
// shared record.
TEST(CaptureCallbackTest, ScriptedCaptureReachesTheSharedRecord)
{
    TaskState& task = Task();
    task.logText.clear();
    task.fileCount = task.itemsDone = task.folderCount = 0;
    task.scanNoticeShown = task.eaNoticeShown = false;
    task.abortRequested = false;
    task.captureConfigFile = WSTR("C:\\no such folder\\none.ini");
    LoadCaptureConfig(task);
    task.logText.clear();

    ScriptedImaging library;
    const WString excluded = WSTR("D:\\hiberfil.sys");
    const WString kept = WSTR("D:\\sub\\hiberfil.sys");
    BOOL includeExcluded = TRUE;
    BOOL includeKept = TRUE;
    library.DeliverDuring("WIMCaptureImage", {{WIM_MSG_SCANNING, 1, 2},
                                              {WIM_MSG_PROCESS, reinterpret_cast<WPARAM>(excluded.c_str()),
                                               reinterpret_cast<LPARAM>(&includeExcluded)},
                                              {WIM_MSG_PROCESS, reinterpret_cast<WPARAM>(kept.c_str()),
                                               reinterpret_cast<LPARAM>(&includeKept)},
                                              {WIM_MSG_SETRANGE, 0, 1},
                                              {WIM_MSG_QUERY_ABORT, 0, 0}});
    ASSERT_NE(WIMRegisterMessageCallback(nullptr, CaptureMessageCallback, nullptr), INVALID_CALLBACK_VALUE);
    HANDLE image = WIMCaptureImage(ScriptedImaging::kWimHandle, WSTR("D:\\"), 0);
    WIMUnregisterMessageCallback(nullptr, CaptureMessageCallback);
    if (image != nullptr)
        WIMCloseHandle(image);

    EXPECT_EQ(includeExcluded, FALSE);
    EXPECT_EQ(includeKept, TRUE);
    EXPECT_EQ(library.verdicts, (std::vector<DWORD>{0, 0, 0, 0, 0}));
    EXPECT_EQ(Narrow(task.logText), "正在掃描檔案...\r\n\t不包含: D:\\hiberfil.sys\r\n"
                                    "其中包含 1 資料夾和 1 檔案.\r\n正在讀取...\r\n\r\n");
    task.logText.clear();
    task.fileCount = task.itemsDone = task.folderCount = 0;
    task.scanNoticeShown = false;
}

}  // namespace
