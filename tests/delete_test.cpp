// Deleting an image: every branch's log against the scripted library.
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"

#include <mmsystem.h>

namespace {

class DeleteTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.info.ImageCount = 3;
        task.deleteSource = WSTR("D:\\images\\base.wim");
        task.deleteIndex = 2;
        task.startTime = timeGetTime();
    }
    std::string Log() const { return Narrow(task.logText); }

    ScriptedImaging library;
    TaskState task;
};

TEST_F(DeleteTest, DeletesTheImageAndClosesQuickly)
{
    EXPECT_TRUE(RunDelete(task));
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n"
                     "正在從這映像檔中刪除 \"映像卷 2\"...\r\n"
                     "\r\n"
                     "映像操作已成功完成.\r\n");
    EXPECT_EQ(library.CallCount("WIMDeleteImage"), 1);
    EXPECT_EQ(library.calls.front(), "WIMCreateFile(\"D:\\images\\base.wim\", 0xC0000000, 3, 0, 0, ptr)");
    EXPECT_EQ(library.calls.back(), "WIMCloseHandle(0x1000)");
    EXPECT_EQ(library.info.ImageCount, 2u);
    EXPECT_EQ(task.lastPercent, 100u);
}

TEST_F(DeleteTest, IntegrityCheckOpensWithVerifyAndLogsItsLine)
{
    task.deleteCheck = true;
    task.startTime = timeGetTime() - 3725000;
    EXPECT_TRUE(RunDelete(task));
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n"
                     "正在從這映像檔中刪除 \"映像卷 2\"...\r\n"
                     "\r\n"
                     "正在添加完整訊息...\r\n"
                     "映像檔操作已完成,費時 62m05s.\r\n");
    EXPECT_EQ(library.calls.front(), "WIMCreateFile(\"D:\\images\\base.wim\", 0xC0000000, 3, 2, 0, ptr)");
}

TEST_F(DeleteTest, EachFailureLogsItsOneLineAndClosesWhatIsOpen)
{
    struct Case {
        const char* call;
        const char* log;
        int closes;
    };
    const Case cases[] = {
        {"WIMCreateFile", "開啟映像檔中...\r\n錯誤: 無法開啟映像檔.\r\n", 0},
        {"WIMSetTemporaryPath", "開啟映像檔中...\r\n錯誤: 無法建立暫存資料夾.\r\n", 1},
        {"WIMGetAttributes", "開啟映像檔中...\r\n錯誤: 無法變更映像檔屬性.\r\n", 1},
        {"WIMDeleteImage",
         "開啟映像檔中...\r\n正在從這映像檔中刪除 \"映像卷 2\"...\r\n錯誤: 無法從映像檔中刪除 \"映像卷 "
         "\"2.\"\r\n",
         1},
    };
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        scripted.Fail(c.call, ERROR_ACCESS_DENIED);
        TaskState run;
        run.deleteSource = task.deleteSource;
        run.deleteIndex = 2;
        EXPECT_FALSE(RunDelete(run)) << c.call;
        EXPECT_EQ(Narrow(run.logText), c.log) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), c.closes) << c.call;
        EXPECT_EQ(run.lastPercent, 0u) << c.call;
    }
}

TEST_F(DeleteTest, IndexBeyondTheCountIsRefusedBeforeAnyDelete)
{
    task.deleteIndex = 4;
    EXPECT_FALSE(RunDelete(task));
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n錯誤: 此映像檔 \"4\" 沒有任何映像卷.\r\n");
    EXPECT_EQ(library.CallCount("WIMDeleteImage"), 0);

    // An index edit without a number reaches the operation with a high word
    // set: an unsigned comparison refuses it too.
    TaskState invalid;
    invalid.deleteIndex = 0x10001;
    EXPECT_FALSE(RunDelete(invalid));
    EXPECT_EQ(library.CallCount("WIMDeleteImage"), 0);
}

TEST_F(DeleteTest, IndexZeroIsHandedToTheLibraryWhichRefusesIt)
{
    task.deleteIndex = 0;
    EXPECT_FALSE(RunDelete(task));
    EXPECT_EQ(library.calls[3], "WIMDeleteImage(0x1000, 0)");
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n"
                     "正在從這映像檔中刪除 \"映像卷 0\"...\r\n"
                     "錯誤: 無法從映像檔中刪除 \"映像卷 \"0.\"\r\n");
}

}  // namespace
