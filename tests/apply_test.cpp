// Applying an image: the log of every branch against the scripted library,
// and the callback's answers to the library's messages.
#include "base/log.h"
#include "operations/library_messages.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fresh_task.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/xml_notice.h"

#include <mmsystem.h>

namespace {

const char kSettings[] = "映像檔來源:\tD:\\images\\base.wim\r\n"
                         "映像檔儲存到:\tD:\\target\r\n"
                         "映像卷:\t\t2\r\n"
                         "驗證:\t\t不啟用\r\n"
                         "檢查:\t\t不啟用\r\n"
                         "暫存資料夾:\tD:\\target\r\n"
                         "\r\n";

class ApplyTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.info.ImageCount = 3;
        library.imageXml[2] =
            WSTR("<IMAGE INDEX=\"2\"><DIRCOUNT>4</DIRCOUNT><FILECOUNT>9</FILECOUNT></IMAGE>");
        Fresh();
    }
    // The shared record with this suite's inputs, for a new run.
    TaskState& Fresh()
    {
        FreshTask();
        task.applySource = WSTR("D:\\images\\base.wim");
        task.applyDestination = WSTR("D:\\target");
        task.applyIndex = 2;
        task.applyVerify = false;
        return task;
    }
    std::string Log() const { return Narrow(task.logText); }

    XmlNoticeCounter notices;
    ScriptedImaging library;
    TaskState& task = Task();
};

TEST_F(ApplyTest, AppliesTheImageAndReleasesImageThenFile)
{
    EXPECT_TRUE(RunApply(task));
    EXPECT_EQ(Log(), std::string(kSettings) + "開啟映像檔中...\r\n"
                                              "映像包含 4 資料夾和 9 檔案.\r\n正在還原...\r\n"
                                              "成功還原映像檔.\r\n");
    EXPECT_EQ(library.CallText(),
              "WIMRegisterMessageCallback(0x0, ptr, null)\n"
              "WIMCreateFile(\"D:\\images\\base.wim\", 0x80000000, 3, 536870912, 0, ptr)\n"
              "WIMSetTemporaryPath(0x1000, \"D:\\target\")\n"
              "WIMGetAttributes(0x1000, ptr, 560)\n"
              "WIMLoadImage(0x1000, 2)\n"
              "WIMGetImageInformation(0x2002, ptr, ptr)\n"
              "WIMApplyImage(0x2002, \"D:\\target\", 0)\n"
              "WIMCloseHandle(0x2002)\n"
              "WIMCloseHandle(0x1000)\n"
              "WIMUnregisterMessageCallback(0x0, ptr)\n");
    EXPECT_EQ(task.folderCount, 4u);
    EXPECT_EQ(task.fileCount, 9u);
    EXPECT_TRUE(library.callbacks.empty());
}

TEST_F(ApplyTest, VerifyAndCheckAreIndependentAndALongApplyShowsItsTime)
{
    const struct {
        bool verify, check;
        const char* openFlags;
        const char* applyFlags;
        const char* lines;
    } cases[] = {
        {true, false, "536870912", "2", "驗證:\t\t啟用\r\n檢查:\t\t不啟用\r\n"},
        {false, true, "536870914", "0", "驗證:\t\t不啟用\r\n檢查:\t\t啟用\r\n"},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 2;
        TaskState& run = Fresh();
        run.applyDestination = WSTR("D:\\target");
        run.applyVerify = c.verify;
        run.applyCheck = c.check;
        run.startTime = timeGetTime() - 65000;
        EXPECT_TRUE(RunApply(run));
        EXPECT_EQ(scripted.calls[1], std::string("WIMCreateFile(\"D:\\images\\base.wim\", 0x80000000, 3, ") +
                                         c.openFlags + ", 0, ptr)");
        EXPECT_EQ(scripted.calls[6],
                  std::string("WIMApplyImage(0x2002, \"D:\\target\", ") + c.applyFlags + ")");
        const std::string log = Narrow(run.logText);
        EXPECT_NE(log.find(c.lines), std::string::npos) << log;
        // No DIRCOUNT or FILECOUNT in this image's XML: both count 0.
        EXPECT_NE(log.find("映像包含 0 資料夾和 0 檔案.\r\n正在還原...\r\n成功還原映像檔,費時 1m05s.\r\n"),
                  std::string::npos)
            << log;
    }
}

TEST_F(ApplyTest, EachFailureLogsItsLineAndReleasesOnce)
{
    const DWORD kCode = ERROR_ACCESS_DENIED;
    const struct {
        const char* call;
        const char* log;
        int closes;
        int unregisters;
    } cases[] = {
        {"WIMRegisterMessageCallback", "錯誤: 無法註冊回調函數.\r\n", 0, 0},
        {"WIMCreateFile", "開啟映像檔中...\r\n錯誤: 無法開啟映像檔.\r\n", 0, 1},
        {"WIMSetTemporaryPath", "開啟映像檔中...\r\n錯誤: 無法建立暫存資料夾.\r\n", 1, 1},
        {"WIMGetAttributes", "開啟映像檔中...\r\n錯誤: 無法變更映像檔屬性.\r\n", 1, 1},
        {"WIMLoadImage", "開啟映像檔中...\r\n錯誤: 此映像檔 \"2\" 無法掛載映像卷.\r\n", 1, 1},
    };
    // Every failure line after the open is followed by the system's reason.
    const std::string reason = "錯誤: " + SystemText(kCode) + "\r\n";
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        scripted.Fail(c.call, kCode);
        TaskState& run = Fresh();
        EXPECT_FALSE(RunApply(run)) << c.call;
        const bool explained = std::string(c.call) != "WIMRegisterMessageCallback";
        EXPECT_EQ(Narrow(run.logText), kSettings + std::string(c.log) + (explained ? reason : "")) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), c.closes) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMUnregisterMessageCallback"), c.unregisters) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMApplyImage"), 0) << c.call;
    }

    // The apply itself: the system's reason follows string 214.
    Fresh();
    library.Fail("WIMApplyImage", kCode);
    EXPECT_FALSE(RunApply(task));
    EXPECT_EQ(Log(), std::string(kSettings) +
                         "開啟映像檔中...\r\n映像包含 4 資料夾和 9 檔案.\r\n正在還原...\r\n"
                         "錯誤: 還原映像檔時出錯.\r\n錯誤: " +
                         SystemText(kCode) + "\r\n");
    EXPECT_EQ(library.CallCount("WIMCloseHandle"), 2);
}

TEST_F(ApplyTest, IndexBeyondTheCountOrZeroNeverApplies)
{
    task.applyIndex = 4;
    EXPECT_FALSE(RunApply(task));
    EXPECT_NE(Log().find("開啟映像檔中...\r\n錯誤: 此映像檔 \"4\" 沒有任何映像卷.\r\n"), std::string::npos);
    EXPECT_EQ(library.CallCount("WIMLoadImage"), 0);

    ScriptedImaging scripted;
    TaskState& run = Fresh();
    run.applyIndex = 0;
    EXPECT_FALSE(RunApply(run));
    EXPECT_EQ(scripted.calls[4], "WIMLoadImage(0x1000, 0)");
    EXPECT_NE(Narrow(run.logText).find("錯誤: 此映像檔 \"0\" 無法掛載映像卷.\r\n錯誤: "), std::string::npos)
        << Narrow(run.logText);
}

TEST_F(ApplyTest, AbortBeforeOpeningStopsWithoutApplying)
{
    task.abortRequested = true;
    EXPECT_FALSE(RunApply(task));
    EXPECT_EQ(Log(), std::string(kSettings) + "開啟映像檔中...\r\n錯誤: 還原映像檔時出錯.\r\n");
    EXPECT_EQ(library.CallCount("WIMApplyImage"), 0);
    EXPECT_EQ(library.CallCount("WIMCloseHandle"), 1);
}

TEST_F(ApplyTest, CallbackCountsItemsShowsProgressAndLogsLibraryLines)
{
    const WCHAR path[] = WSTR("D:\\target\\sub\\file.txt");
    const WPARAM text = reinterpret_cast<WPARAM>(path);
    library.DeliverDuring("WIMApplyImage", {
                                               {WIM_MSG_PROCESS, text, 0},
                                               {WIM_MSG_PROCESS, text, 0},
                                               {WIM_MSG_PROGRESS, 40, 5000},
                                               {WIM_MSG_ERROR, text, ERROR_ACCESS_DENIED},
                                               {WIM_MSG_RETRY, text, 32},
                                               {WIM_MSG_INFO, text, 0},
                                               {WIM_MSG_WARNING, text, -5},
                                               {WIM_MSG_SCANNING, text, 0},
                                           });
    EXPECT_TRUE(RunApply(task));
    EXPECT_EQ(task.itemsDone, 2u);
    EXPECT_EQ(task.lastPercent, 40u);
    EXPECT_EQ(library.verdicts, std::vector<DWORD>(8, WIM_MSG_SUCCESS));
    EXPECT_NE(Log().find("正在還原...\r\n"
                         "ERROR: D:\\target\\sub\\file.txt [err = 5]\r\n"
                         "RETRY: D:\\target\\sub\\file.txt [err = 32]\r\n"
                         "INFO: D:\\target\\sub\\file.txt [err = 0]\n\r\n"
                         "WARNING: D:\\target\\sub\\file.txt [err = -5]\r\n"
                         "成功還原映像檔.\r\n"),
              std::string::npos)
        << Log();
}

TEST_F(ApplyTest, AbortDuringTheApplyIsAnsweredAndReportedAsFailure)
{
    library.Hook("WIMApplyImage", [this] { task.abortRequested = true; });
    library.DeliverDuring("WIMApplyImage", {{WIM_MSG_PROCESS, 0, 0}, {WIM_MSG_PROGRESS, 10, 0}});
    library.Fail("WIMApplyImage", ERROR_REQUEST_ABORTED);
    EXPECT_FALSE(RunApply(task));
    EXPECT_EQ(library.verdicts, (std::vector<DWORD>{WIM_MSG_ABORT_IMAGE, WIM_MSG_SUCCESS}));
    EXPECT_EQ(task.itemsDone, 0u);
    const std::string ending =
        "錯誤: 還原映像檔時出錯.\r\n錯誤: " + SystemText(ERROR_REQUEST_ABORTED) + "\r\n";
    EXPECT_TRUE(Log().ends_with(ending)) << Log();
    EXPECT_EQ(Log().find("成功"), std::string::npos);
}

TEST(LibraryMessageLineTest, LongPathsLoseTheirBeginningToFitTheLine)
{
    WString path = WSTR("D:\\");
    for (int i = 0; i < 40; ++i)
        path += WSTR("folder") + DecimalText(i) + WSTR("\\");
    path += WSTR("last.txt");
    const WString line = CodedMessageLine(WSTR("WARNING: "), path.c_str(), -1, WSTR("\n"));
    EXPECT_EQ(line.size(), 259u);
    const std::string text = Narrow(line);
    EXPECT_EQ(text.substr(0, 12), "WARNING: ...");
    EXPECT_TRUE(text.ends_with("\\folder39\\last.txt [err = -1]\n")) << text;

    EXPECT_EQ(Narrow(CodedMessageLine(WSTR("ERROR: "), nullptr, 2)), "ERROR: (null) [err = 2]");
    EXPECT_EQ(LibraryMessageLine(WIM_MSG_PROGRESS, 0, 0), WString());
}

}  // namespace
