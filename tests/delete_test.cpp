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

TEST_F(DeleteTest, EachFailureLogsItsLineThenItsReasonAndClosesWhatIsOpen)
{
    // A different cause at each step, so a reason taken from the wrong
    // moment (or lost while logging the line) shows.
    struct Case {
        const char* call;
        DWORD error;
        const char* line;
        int closes;
    };
    const Case cases[] = {
        {"WIMCreateFile", ERROR_FILE_NOT_FOUND, "錯誤: 無法開啟映像檔.\r\n", 0},
        {"WIMSetTemporaryPath", ERROR_PATH_NOT_FOUND, "錯誤: 無法建立暫存資料夾.\r\n", 1},
        {"WIMGetAttributes", ERROR_INVALID_DATA, "錯誤: 無法變更映像檔屬性.\r\n", 1},
        {"WIMDeleteImage", ERROR_DISK_FULL,
         "正在從這映像檔中刪除 \"映像卷 2\"...\r\n錯誤: 無法從映像檔中刪除 \"映像卷 \"2.\"\r\n", 1},
    };
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        scripted.Fail(c.call, c.error);
        TaskState run;
        run.deleteSource = task.deleteSource;
        run.deleteIndex = 2;
        EXPECT_FALSE(RunDelete(run)) << c.call;
        EXPECT_EQ(Narrow(run.logText), std::string("開啟映像檔中...\r\n") + c.line + ReasonLine(c.error))
            << c.call;
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), c.closes) << c.call;
        EXPECT_EQ(run.lastPercent, 0u) << c.call;
    }
}

TEST_F(DeleteTest, PathTooLongForTheBuffersIsRefusedBeforeAnythingOpens)
{
    // 259 characters still fit; one more would have been cut to a name that
    // may belong to another file.
    const WString folder = WSTR("D:\\") + WString(240, WSTR('d')) + WSTR("\\");
    const WString fits = folder + WString(259 - folder.size() - 4, WSTR('f')) + WSTR(".wim");
    ASSERT_EQ(fits.size(), 259u);
    task.deleteSource = fits;
    EXPECT_TRUE(RunDelete(task));
    EXPECT_EQ(library.calls.front(), "WIMCreateFile(\"" + Narrow(fits) + "\", 0xC0000000, 3, 0, 0, ptr)");

    for (const WString& tooLong : {fits + WSTR(".copy"), fits + WSTR("x")}) {
        ScriptedImaging scripted;
        TaskState run;
        run.deleteSource = tooLong;
        run.deleteIndex = 1;
        EXPECT_FALSE(RunDelete(run));
        EXPECT_EQ(Narrow(run.logText),
                  "開啟映像檔中...\r\n錯誤: 無法開啟映像檔.\r\n" + ReasonLine(ERROR_FILENAME_EXCED_RANGE));
        EXPECT_TRUE(scripted.calls.empty()) << scripted.CallText();
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
                     "錯誤: 無法從映像檔中刪除 \"映像卷 \"0.\"\r\n" +
                         ReasonLine(ERROR_INVALID_PARAMETER));
}

}  // namespace
