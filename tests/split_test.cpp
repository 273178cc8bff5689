// Splitting a WIM file: the log of every branch against the scripted
// library, the part sizes, and the callback's steps of the bar.
#include "base/log.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/scripted_imaging.h"

namespace {

class SplitTest : public testing::Test {
protected:
    void SetUp() override { Fresh(); }
    TaskState& Fresh()
    {
        FreshTask();
        task.splitSource = DosPath(folder / "big.wim");
        task.splitDestination = DosPath(folder / "parts.swm");
        task.splitSize.clear();
        return task;
    }
    std::string Head(const char* check = "檢查:\t\t不啟用") const
    {
        return "映像檔來源:\t" + Narrow(DosPath(folder / "big.wim")) + "\r\n映像檔儲存到:\t" +
               Narrow(DosPath(folder / "parts.swm")) + "\r\n暫存資料夾:\t" + Narrow(DosPath(folder.path())) +
               "\r\n" + check + "\r\n";
    }
    std::string Log() const { return Narrow(task.logText); }

    ScratchFolder folder;
    ScriptedImaging library;
    TaskState& task = Task();
};

TEST_F(SplitTest, PartSizeChoices)
{
    const struct {
        const char* text;
        const char* logged;
        const char* bytes;
    } cases[] = {
        {"CD (600 MB)", "區塊大小:\tCD (600 MB)\r\n", "629145600"},
        {"FAT32 (4GB)", "區塊大小:\tFAT32 (4GB)\r\n", "4294967294"},
        {"", "", "268435456"},
        {"cd (600 mb)", "", "268435456"},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        TaskState& run = Fresh();
        run.splitSize = WideFromUtf8(c.text);
        run.splitCheck = true;
        EXPECT_TRUE(RunSplit(run)) << c.text;
        EXPECT_EQ(Narrow(run.logText),
                  Head("檢查:\t\t啟用") + c.logged + "\r\n開啟映像檔中...\r\n\r\n映像檔分割成功.\r\n")
            << c.text;
        const std::string source = Narrow(DosPath(folder / "big.wim"));
        const std::string parts = Narrow(DosPath(folder / "parts.swm"));
        EXPECT_EQ(scripted.CallText(), "WIMRegisterMessageCallback(0x0, ptr, null)\n"
                                       "WIMCreateFile(\"" +
                                           source +
                                           "\", 0x80000000, 3, 536870914, 0, ptr)\n"
                                           "WIMGetAttributes(0x1000, ptr, 560)\n"
                                           "WIMSplitFile(0x1000, \"" +
                                           parts + "\", " + c.bytes +
                                           ", 0)\n"
                                           "WIMCloseHandle(0x1000)\n"
                                           "WIMUnregisterMessageCallback(0x0, ptr)\n")
            << c.text;
        EXPECT_EQ(run.lastPercent, 100u);
    }
}

TEST_F(SplitTest, EachFailureIsLoggedWhereItHappensAndEndsWith247)
{
    const std::string opening = "\r\n開啟映像檔中...\r\n";
    const struct {
        const char* call;
        DWORD code;
        std::string log;
        std::string closing;  // after the closing failure line
        int closes;
        int unregisters;
    } cases[] = {
        {"WIMRegisterMessageCallback", ERROR_ACCESS_DENIED, "\r\n錯誤: 無法註冊回調函數.\r\n", "", 0, 0},
        {"WIMCreateFile", ERROR_FILE_NOT_FOUND,
         opening + "錯誤: 無法開啟映像檔.\r\n錯誤: " + SystemText(ERROR_FILE_NOT_FOUND) + "\r\n", "", 0, 1},
        {"WIMGetAttributes", ERROR_ACCESS_DENIED,
         opening + "錯誤: 無法變更映像檔屬性.\r\n錯誤: " + SystemText(ERROR_ACCESS_DENIED) + "\r\n", "", 1,
         1},
        // The split's own failure: one failure line, then its reason.
        {"WIMSplitFile", ERROR_MORE_DATA, opening, "錯誤: 需要更大的區塊大小才能分割.\r\n", 1, 1},
        {"WIMSplitFile", ERROR_REQUEST_ABORTED, opening,
         "錯誤: " + SystemText(ERROR_REQUEST_ABORTED) + "\r\n", 1, 1},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.Fail(c.call, c.code);
        TaskState& run = Fresh();
        EXPECT_FALSE(RunSplit(run)) << c.call;
        EXPECT_EQ(Narrow(run.logText), Head() + c.log + "\r\n錯誤: 分割WIM錯誤.\r\n" + c.closing) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), c.closes) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMUnregisterMessageCallback"), c.unregisters) << c.call;
        EXPECT_EQ(run.lastPercent, 100u) << c.call;
    }
}

TEST_F(SplitTest, APartOfASpannedSetIsRefusedBeforeTheLibrarySplits)
{
    library.info.PartNumber = 2;
    library.info.TotalParts = 3;
    EXPECT_FALSE(RunSplit(task));
    EXPECT_EQ(Log(),
              Head() + "\r\n開啟映像檔中...\r\n錯誤: WIM已被拆分.\r\n"
                       "錯誤: 這是分割映像檔的第 2 部分 (共 3 部分), 分割映像檔的各部分無法直接變更或再分割. "
                       "請先將其匯出成一個映像檔.\r\n\r\n錯誤: 分割WIM錯誤.\r\n");
    EXPECT_EQ(library.CallCount("WIMSplitFile"), 0);
}

TEST_F(SplitTest, NoWritableTemporaryFolderStopsBeforeTheLibrary)
{
    task.splitDestination = DosPath(folder / "missing/parts.swm");
    WCHAR saved[2][kTextBufferSize];
    const WCHAR* names[2] = {WSTR("TMP"), WSTR("TEMP")};
    const WString nowhere = DosPath(folder / "missing");
    for (int i = 0; i < 2; ++i) {
        GetEnvironmentVariableW(names[i], saved[i], kTextBufferSize);
        SetEnvironmentVariableW(names[i], nowhere.c_str());
    }
    const bool result = RunSplit(task);
    for (int i = 0; i < 2; ++i)
        SetEnvironmentVariableW(names[i], saved[i]);
    EXPECT_FALSE(result);
    EXPECT_NE(Log().find("暫存資料夾:\t\r\n錯誤: 無法建立暫存資料夾.\r\n錯誤: "), std::string::npos) << Log();
    EXPECT_TRUE(Log().ends_with("檢查:\t\t不啟用\r\n\r\n\r\n錯誤: 分割WIM錯誤.\r\n")) << Log();
    EXPECT_EQ(library.CallText(), "");
}

TEST_F(SplitTest, EachPartMovesTheBarByFiveUpTo75AndLogsItsFileName)
{
    const WString parts[] = {DosPath(folder / "parts.swm"), DosPath(folder / "parts2.swm"),
                             WSTR("relative12.swm")};
    const WCHAR* pointers[3] = {parts[0].c_str(), parts[1].c_str(), parts[2].c_str()};
    std::vector<ScriptedMessage> messages;
    for (int i = 0; i < 12; ++i)
        messages.push_back({WIM_MSG_SPLIT, reinterpret_cast<WPARAM>(&pointers[i < 2 ? i : 2]), 0});
    messages.push_back({WIM_MSG_QUERY_ABORT, 0, 0});
    library.DeliverDuring("WIMSplitFile", messages);
    EXPECT_TRUE(RunSplit(task));
    std::string expected =
        Head() + "\r\n開啟映像檔中...\r\nWriting file: parts.swm\r\nWriting file: parts2.swm\r\n";
    for (int i = 2; i < 12; ++i)
        expected += "Writing file: relative12.swm\r\n";
    EXPECT_EQ(Log(), expected + "\r\n映像檔分割成功.\r\n");
    EXPECT_EQ(library.verdicts, std::vector<DWORD>(13, WIM_MSG_SUCCESS));

    // The steps themselves, from the 25 set before the split.
    Fresh();
    task.lastPercent = 25;
    for (UINT want : {30u, 35u, 40u, 45u, 50u, 55u, 60u, 65u, 70u, 75u, 75u}) {
        SplitMessageCallback(WIM_MSG_SPLIT, reinterpret_cast<WPARAM>(&pointers[0]), 0, nullptr);
        EXPECT_EQ(task.lastPercent, want);
    }
    task.abortRequested = true;
    EXPECT_EQ(SplitMessageCallback(WIM_MSG_QUERY_ABORT, 0, 0, nullptr), WIM_MSG_ABORT_IMAGE);
    EXPECT_EQ(SplitMessageCallback(WIM_MSG_PROCESS, 0, 0, nullptr), WIM_MSG_SUCCESS);
}

}  // namespace

namespace {

// Typed paths reach the library and the log made full: ".." steps gone.
TEST_F(SplitTest, TypedPathsAreMadeFullForTheLibraryAndTheLog)
{
    ShellOutput("mkdir -p " + Quoted(folder / "sub"));
    task.splitSource = DosPath(folder / "sub") + WSTR("\\..\\big.wim");
    task.splitDestination = DosPath(folder / "sub") + WSTR("\\..\\parts.swm");
    RunSplit(task);
    EXPECT_EQ(Log().substr(0, Head().size()), Head());
    EXPECT_NE(library.CallText().find("WIMCreateFile(\"" + Narrow(DosPath(folder / "big.wim")) + "\""),
              std::string::npos);
}

}  // namespace
