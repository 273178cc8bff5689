// Exporting an image: the log of every branch against the scripted library,
// the callback's answers, and what happens to a destination it created.
#include "base/log.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/scripted_imaging.h"

#include <mmsystem.h>

namespace {

class ExportTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.info.ImageCount = 3;
        Fresh();
    }
    TaskState& Fresh()
    {
        FreshTask();
        task.exportSource = DosPath(folder / "source.wim");
        task.exportDestination = DosPath(folder / "dest.wim");
        task.exportIndex = 2;
        task.exportCompression = WSTR("最大壓縮率(LZX)");
        return task;
    }
    // The settings block as logged for this suite's inputs.
    std::string Settings(const char* check = "檢查:\t\t不啟用")
    {
        return "映像檔來源:\t" + Narrow(DosPath(folder / "source.wim")) +
               "\r\n映像卷:\t\t2\r\n映像檔儲存到:\t" + Narrow(DosPath(folder / "dest.wim")) + "\r\n" + check +
               "\r\n暫存資料夾:\t" + Narrow(DosPath(folder.path())) + "\r\n";
    }
    // The opening line and, once the destination is open, the compression
    // it is written with.
    static std::string Opened(const std::string& compression = "壓縮率:\t\t最大壓縮率(LZX)")
    {
        return "\r\n開啟映像檔中...\r\n" + compression + "\r\n";
    }
    std::string Log() const { return Narrow(task.logText); }

    ScratchFolder folder;
    ScriptedImaging library;
    TaskState& task = Task();
};

TEST_F(ExportTest, ExportsWithTheChosenCompressionAndClosesEverything)
{
    EXPECT_TRUE(RunExport(task));
    EXPECT_EQ(Log(),
              Settings() + Opened() + "正在從這映像檔中拆分 \"映像卷 2\" ...\r\n\r\n成功拆分映像檔.\r\n");
    const std::string source = Narrow(DosPath(folder / "source.wim"));
    const std::string destination = Narrow(DosPath(folder / "dest.wim"));
    const std::string temporary = Narrow(DosPath(folder.path()));
    EXPECT_EQ(library.CallText(), "WIMRegisterMessageCallback(0x0, ptr, null)\n"
                                  "WIMCreateFile(\"" +
                                      source +
                                      "\", 0x80000000, 3, 536870912, 0, ptr)\n"
                                      "WIMGetAttributes(0x1000, ptr, 560)\n"
                                      "WIMCreateFile(\"" +
                                      destination +
                                      "\", 0xC0000000, 4, 536870912, 2, ptr)\n"
                                      "WIMSetTemporaryPath(0x1000, \"" +
                                      temporary +
                                      "\")\n"
                                      "WIMSetTemporaryPath(0x1000, \"" +
                                      temporary +
                                      "\")\n"
                                      "WIMLoadImage(0x1000, 2)\n"
                                      "WIMExportImage(0x2002, 0x1000, 1)\n"
                                      "WIMCloseHandle(0x2002)\n"
                                      "WIMCloseHandle(0x1000)\n"
                                      "WIMCloseHandle(0x1000)\n"
                                      "WIMUnregisterMessageCallback(0x0, ptr)\n");
    EXPECT_EQ(task.lastPercent, 100u);
}

TEST_F(ExportTest, CompressionTextsAndTheCheckOption)
{
    const struct {
        const char* text;
        const char* line;
        int type;
        const char* destinationFlags;  // the check, and the solid flag, which every open passes
    } cases[] = {
        {"快速壓縮(XPRESS)", "壓縮率:\t\t快速壓縮(XPRESS)", 1, "536870914"},
        {"LZMS", "壓縮率: LZMS", 3, "536870914"},
        {"無壓縮(None)", "壓縮率:\t\t無壓縮(None)", 0, "536870914"},
        {"lzx", "壓縮率:\t\t無壓縮(None)", 0, "536870914"},
        {"", "壓縮率:\t\t無壓縮(None)", 0, "536870914"},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 2;
        TaskState& run = Fresh();
        run.exportCompression = WideFromUtf8(c.text);
        run.exportCheck = true;
        run.startTime = timeGetTime() - 125000;
        EXPECT_TRUE(RunExport(run)) << c.text;
        EXPECT_EQ(Narrow(run.logText), Settings("檢查:\t\t啟用") + Opened(c.line) +
                                           "正在從這映像檔中拆分 \"映像卷 2\" ...\r\n\r\n"
                                           "成功拆分映像檔,費時 2m05s.\r\n")
            << c.text;
        EXPECT_TRUE(scripted.calls[1].ends_with(", 0x80000000, 3, 536870914, 0, ptr)")) << scripted.calls[1];
        EXPECT_TRUE(scripted.calls[3].ends_with(", 0xC0000000, 4, " + std::string(c.destinationFlags) + ", " +
                                                std::to_string(c.type) + ", ptr)"))
            << scripted.calls[3];
    }
}

TEST_F(ExportTest, EachFailureIsLoggedWhereItHappensAndEndsWith227)
{
    const DWORD kCode = ERROR_ACCESS_DENIED;
    const std::string reason = "錯誤: " + SystemText(kCode) + "\r\n";
    const std::string opened = Opened().substr(2);
    const struct {
        const char* call;
        int nth;
        std::string log;
        std::string closing;  // after the closing failure line
        int closes;
        int unregisters;
    } cases[] = {
        {"WIMRegisterMessageCallback", 1, "錯誤: 無法註冊回調函數.\r\n", "", 0, 0},
        {"WIMCreateFile", 1, "開啟映像檔中...\r\n錯誤: 無法開啟映像檔.\r\n" + reason, "", 0, 1},
        {"WIMGetAttributes", 1, "開啟映像檔中...\r\n錯誤: 無法變更映像檔屬性.\r\n" + reason, "", 1, 1},
        // A destination that cannot be opened says why.
        {"WIMCreateFile", 2, "開啟映像檔中...\r\n錯誤: 無法開啟映像檔.\r\n" + reason, "", 1, 1},
        {"WIMSetTemporaryPath", 1, opened + "錯誤: 無法建立暫存資料夾.\r\n" + reason, "", 2, 1},
        {"WIMSetTemporaryPath", 2, opened + "錯誤: 無法建立暫存資料夾.\r\n" + reason, "", 2, 1},
        {"WIMLoadImage", 1, opened + "錯誤: 此映像檔 \"2\" 無法掛載映像卷.\r\n" + reason, "", 2, 1},
        // The export's own failure: one failure line, then its reason.
        {"WIMExportImage", 1, opened + "正在從這映像檔中拆分 \"映像卷 2\" ...\r\n", reason, 3, 1},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        scripted.Fail(c.call, kCode, c.nth);
        TaskState& run = Fresh();
        EXPECT_FALSE(RunExport(run)) << c.call << c.nth;
        EXPECT_EQ(Narrow(run.logText),
                  Settings() + "\r\n" + c.log + "\r\n錯誤: 拆分映像檔出錯.\r\n" + c.closing)
            << c.call << c.nth;
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), c.closes) << c.call << c.nth;
        EXPECT_EQ(scripted.CallCount("WIMUnregisterMessageCallback"), c.unregisters) << c.call << c.nth;
        EXPECT_EQ(run.lastPercent, 100u);
    }
}

TEST_F(ExportTest, IndexBeyondTheCountOpensNothingForWriting)
{
    task.exportIndex = 4;
    EXPECT_FALSE(RunExport(task));
    const std::string indexLine = "映像卷:\t\t2";
    EXPECT_EQ(
        Log(),
        Settings().replace(Settings().find(indexLine), indexLine.size(), "映像卷:\t\t4") +
            "\r\n開啟映像檔中...\r\n錯誤: 此映像檔 \"4\" 沒有任何映像卷.\r\n\r\n錯誤: 拆分映像檔出錯.\r\n");
    EXPECT_EQ(library.CallCount("WIMCreateFile"), 1);
}

TEST_F(ExportTest, NoWritableTemporaryFolderStopsBeforeTheLibrary)
{
    // A folder that does not exist, and a system temporary folder that
    // cannot be used either.
    task.exportDestination = DosPath(folder / "missing/dest.wim");
    WCHAR savedTemp[kTextBufferSize];
    GetEnvironmentVariableW(WSTR("TMP"), savedTemp, kTextBufferSize);
    WCHAR savedTemp2[kTextBufferSize];
    GetEnvironmentVariableW(WSTR("TEMP"), savedTemp2, kTextBufferSize);
    const WString nowhere = DosPath(folder / "missing");
    SetEnvironmentVariableW(WSTR("TMP"), nowhere.c_str());
    SetEnvironmentVariableW(WSTR("TEMP"), nowhere.c_str());
    const bool result = RunExport(task);
    SetEnvironmentVariableW(WSTR("TMP"), savedTemp);
    SetEnvironmentVariableW(WSTR("TEMP"), savedTemp2);
    EXPECT_FALSE(result);
    const std::string log = Log();
    EXPECT_NE(log.find("暫存資料夾:\t\r\n錯誤: 無法建立暫存資料夾.\r\n錯誤: "), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("\r\n\r\n錯誤: 拆分映像檔出錯.\r\n")) << log;
    EXPECT_EQ(library.CallText(), "");
}

TEST_F(ExportTest, AbortAfterOpeningStopsSilentlyAndRemovesTheNewDestination)
{
    // The destination "made" by the scripted library is a real file here, so
    // its removal can be seen; an existing destination is left alone.
    for (bool created : {true, false}) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        scripted.openAlwaysCreates = created;
        scripted.info.CompressionType = WIM_COMPRESS_LZX;  // an existing file's, as chosen
        TaskState& run = Fresh();
        ShellOutput("echo destination > " + Quoted(folder / "dest.wim"));
        run.abortRequested = true;
        EXPECT_FALSE(RunExport(run));
        EXPECT_EQ(Narrow(run.logText), Settings() + Opened() + "\r\n錯誤: 拆分映像檔出錯.\r\n");
        EXPECT_EQ(scripted.CallCount("WIMExportImage"), 0);
        EXPECT_EQ(FileBytes(folder / "dest.wim").empty(), created) << created;
    }
}

TEST_F(ExportTest, ADestinationThatDoesNotCloseIsAFailure)
{
    // The destination is the third handle closed; closing it is when the
    // library writes it.
    library.Fail("WIMCloseHandle", ERROR_DISK_FULL, 3);
    ShellOutput("echo partial > " + Quoted(folder / "dest.wim"));
    EXPECT_FALSE(RunExport(task));
    EXPECT_TRUE(
        Log().ends_with("正在從這映像檔中拆分 \"映像卷 2\" ...\r\n\r\n錯誤: 拆分映像檔出錯.\r\n錯誤: " +
                        SystemText(ERROR_DISK_FULL) + "\r\n"))
        << Log();
    EXPECT_EQ(FileBytes(folder / "dest.wim"), "");
}

TEST_F(ExportTest, CallbackAnswersAbortAndLogsLibraryLinesAndNotices)
{
    const WCHAR path[] = WSTR("D:\\dest.wim");
    const WPARAM text = reinterpret_cast<WPARAM>(path);
    library.DeliverDuring("WIMExportImage", {
                                                {WIM_MSG_PROGRESS, 30, 1000},
                                                {WIM_MSG_PROCESS, text, 0},
                                                {WIM_MSG_VERIFYING_INTEGRITY, 0, 0},
                                                {WIM_MSG_VERIFYING_INTEGRITY, 0, 0},
                                                {WIM_MSG_ADDING_INTEGRITY, 0, 0},
                                                {WIM_MSG_ADDING_INTEGRITY, 0, 0},
                                                {WIM_MSG_WARNING, text, 183},
                                                {WIM_MSG_INFO, text, 0},
                                            });
    EXPECT_TRUE(RunExport(task));
    EXPECT_NE(Log().find("正在從這映像檔中拆分 \"映像卷 2\" ...\r\n"
                         "驗證完整性訊息...\r\n"
                         "正在添加完整訊息...\r\n"
                         "正在添加完整訊息...\r\n"
                         "WARNING: D:\\dest.wim [err = 183]\r\n"
                         "INFO: D:\\dest.wim [err = 0]\n\r\n"
                         "\r\n成功拆分映像檔.\r\n"),
              std::string::npos)
        << Log();
    EXPECT_EQ(library.verdicts, std::vector<DWORD>(8, WIM_MSG_SUCCESS));

    // With the abort pressed, both the item and the query are refused.
    Fresh();
    task.abortRequested = true;
    EXPECT_EQ(ExportMessageCallback(WIM_MSG_PROCESS, text, 0, nullptr), WIM_MSG_ABORT_IMAGE);
    EXPECT_EQ(ExportMessageCallback(WIM_MSG_QUERY_ABORT, 0, 0, nullptr), WIM_MSG_ABORT_IMAGE);
    EXPECT_EQ(ExportMessageCallback(WIM_MSG_PROGRESS, 10, 0, nullptr), WIM_MSG_SUCCESS);
}

}  // namespace

namespace {

// Typed paths reach the library and the log made full: ".." steps gone.
TEST_F(ExportTest, TypedPathsAreMadeFullForTheLibraryAndTheLog)
{
    ShellOutput("mkdir -p " + Quoted(folder / "sub"));
    task.exportSource = DosPath(folder / "sub") + WSTR("\\..\\source.wim");
    task.exportDestination = DosPath(folder / "sub") + WSTR("\\..\\dest.wim");
    EXPECT_TRUE(RunExport(task));
    EXPECT_EQ(Log().substr(0, Settings().size()), Settings());
    EXPECT_NE(library.CallText().find("WIMCreateFile(\"" + Narrow(DosPath(folder / "source.wim")) + "\""),
              std::string::npos);
    EXPECT_NE(library.CallText().find("WIMCreateFile(\"" + Narrow(DosPath(folder / "dest.wim")) + "\""),
              std::string::npos);
}

}  // namespace

namespace {

// Every image at once: the calls in order, the boot mark moved past the
// images the destination held, one closing line with the count, and where a
// failure part way stops it (every image is loaded before the first goes).
TEST_F(ExportTest, AllImagesGoInOrderWithTheBootMarkAndOneClosingLine)
{
    const struct {
        const char* name;
        DWORD images;
        DWORD boot;
        int failingExport;     // 0: none
        const char* loads;     // the images loaded, in order
        const char* bootCall;  // the WIMSetBootImage line, or "" for none
        const char* closing;
    } cases[] = {
        {"three, boot 2", 3, 2, 0, "1 2 3", "WIMSetBootImage(0x1000, 5)", "成功拆分映像檔,共 3 映像卷.\r\n"},
        {"two, no boot", 2, 0, 0, "1 2", "", "成功拆分映像檔,共 2 映像卷.\r\n"},
        {"second fails", 3, 1, 2, "1 2 3", "", "錯誤: 拆分映像檔出錯.\r\n"},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = c.images;
        scripted.info.BootIndex = c.boot;
        if (c.failingExport != 0)
            scripted.FailOnce("WIMExportImage", ERROR_DISK_FULL, c.failingExport);
        TaskState& run = Fresh();
        run.exportAllImages = true;
        run.exportIndex = 7;  // ignored
        EXPECT_EQ(RunExport(run), c.failingExport == 0) << c.name;

        std::string loads;
        std::string lines;
        std::string bootCall;
        int exports = 0;
        for (const std::string& call : scripted.calls) {
            if (call.starts_with("WIMLoadImage(0x1000, "))
                loads += (loads.empty() ? "" : " ") + call.substr(21, call.size() - 22);
            if (call.starts_with("WIMExportImage"))
                lines += "正在從這映像檔中拆分 \"映像卷 " + std::to_string(++exports) + "\" ...\r\n";
            if (call.starts_with("WIMSetBootImage"))
                bootCall = call;
        }
        EXPECT_EQ(loads, c.loads) << c.name;
        EXPECT_EQ(bootCall, c.bootCall) << c.name;
        const std::string log = Narrow(run.logText);
        EXPECT_NE(log.find("\r\n映像卷:\t\t全部映像卷\r\n"), std::string::npos) << log;
        EXPECT_NE(log.find(Opened() + lines), std::string::npos) << log;
        EXPECT_TRUE(log.ends_with(c.failingExport
                                      ? "\r\n錯誤: 拆分映像檔出錯.\r\n" + ReasonLine(ERROR_DISK_FULL)
                                      : std::string("\r\n") + c.closing))
            << log;
        EXPECT_EQ(scripted.CallCount("WIMExportImage"), c.failingExport ? c.failingExport : int(c.images));
    }
}

// One bar for all images: each image's percentage is its share of the whole.
TEST_F(ExportTest, AllImagesShareOneProgressBar)
{
    ScriptedImaging scripted;
    scripted.info.ImageCount = 3;
    scripted.DeliverDuring("WIMExportImage", {{WIM_MSG_PROGRESS, 50, 1000}});
    TaskState& run = Fresh();
    run.exportAllImages = true;
    std::vector<UINT> seen;  // the bar as each export starts: after the image before
    scripted.Hook("WIMExportImage", [&] { seen.push_back(run.lastPercent); });
    ASSERT_TRUE(RunExport(run));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1], 16u);  // half of the first of three
    EXPECT_EQ(seen[2], 50u);  // the first whole and half of the second
}

// A source with no image has nothing for "every image" either; nothing is
// opened for writing.
TEST_F(ExportTest, AllImagesOfAnEmptySourceOpenNothingForWriting)
{
    ScriptedImaging scripted;
    scripted.info.ImageCount = 0;
    TaskState& run = Fresh();
    run.exportAllImages = true;
    EXPECT_FALSE(RunExport(run));
    EXPECT_EQ(scripted.CallCount("WIMCreateFile"), 1);
    EXPECT_NE(Narrow(run.logText).find("錯誤: 此映像檔 \"1\" 沒有任何映像卷."), std::string::npos);
}

}  // namespace

namespace {

// A failed export removes the file the library made for it, but never a file
// that another program put under that name meanwhile (the file is replaced
// while the export runs, as a second program would).
TEST_F(ExportTest, AFailedExportRemovesOnlyTheFileItMade)
{
    const struct {
        const char* name;
        bool replaced;
        const char* failing;
        int nth;
        const char* left;  // the destination's bytes afterwards, or "" when it is gone
    } cases[] = {
        {"made, the export fails", false, "WIMExportImage", 1, ""},
        {"replaced, the export fails", true, "WIMExportImage", 1, "another program's\n"},
        {"replaced, the close fails", true, "WIMCloseHandle", 3, "another program's\n"},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        scripted.Fail(c.failing, ERROR_DISK_FULL, c.nth);
        TaskState& run = Fresh();
        const std::string destination = folder / "dest.wim";
        ShellOutput("echo made by the library > " + Quoted(destination));
        if (c.replaced)
            scripted.Hook("WIMExportImage", [&] {
                ShellOutput("echo \"another program's\" > " + Quoted(destination + ".other") + " && mv " +
                            Quoted(destination + ".other") + " " + Quoted(destination));
            });
        EXPECT_FALSE(RunExport(run)) << c.name;
        EXPECT_EQ(Shell("test -e " + Quoted(destination)), *c.left ? 0 : 1) << c.name;
        EXPECT_EQ(FileBytes(destination), c.left) << c.name;
    }
}

// The compression line names what the file is written with: a new file the
// page's choice, an existing one its own, with a word when they differ.
TEST_F(ExportTest, TheCompressionLineNamesTheDestinationsOwn)
{
    const struct {
        bool created;
        DWORD fileType;
        const char* chosen;
        const char* lines;
    } cases[] = {
        {true, WIM_COMPRESS_LZX, "LZMS", "壓縮率: LZMS"},
        {false, WIM_COMPRESS_LZX, "LZMS",
         "壓縮率:\t\t最大壓縮率(LZX)\r\n目的映像檔保留原有的壓縮率,不使用所選的 \"LZMS\"."},
        {false, WIM_COMPRESS_LZMS, "LZMS", "壓縮率: LZMS"},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        scripted.info.CompressionType = c.fileType;
        scripted.openAlwaysCreates = c.created;
        TaskState& run = Fresh();
        run.exportCompression = WideFromUtf8(c.chosen);
        EXPECT_TRUE(RunExport(run)) << c.lines;
        EXPECT_EQ(Narrow(run.logText),
                  Settings() + Opened(c.lines) +
                      "正在從這映像檔中拆分 \"映像卷 2\" ...\r\n\r\n成功拆分映像檔.\r\n");
    }
}

}  // namespace
