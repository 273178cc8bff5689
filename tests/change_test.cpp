// Changing an image's information: transcripts against the scripted library.
#include "base/log.h"
#include "metadata/image_info.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"

#include <mmsystem.h>

namespace {

class ChangeTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.info.ImageCount = 2;
        library.imageXml[1] = WSTR("<IMAGE INDEX=\"1\"><NAME>One</NAME></IMAGE>");
        library.imageXml[2] = WSTR("<IMAGE INDEX=\"2\"><DIRCOUNT>3</DIRCOUNT><NAME>Two</NAME></IMAGE>");
        task.changeSource = WSTR("C:\\w.wim");
        task.changeIndex = 2;
        task.startTime = timeGetTime();
    }
    std::string Log() const { return Narrow(task.logText); }

    ScriptedImaging library;
    TaskState task;
};

TEST_F(ChangeTest, NothingToChangeOpensLoadsAndClosesOnly)
{
    EXPECT_TRUE(RunChange(task));
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n\r\n映像操作已成功完成.\r\n");
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(library.CallText(), "WIMCreateFile(\"C:\\w.wim\", 0xC0000000, 3, 536870912, 0, ptr)\n"
                                  "WIMSetTemporaryPath(0x1000, \"" +
                                      Narrow(temp) +
                                      "\")\n"
                                      "WIMGetAttributes(0x1000, ptr, 560)\n"
                                      "WIMLoadImage(0x1000, 2)\n"
                                      "WIMCloseHandle(0x2002)\n"
                                      "WIMCloseHandle(0x1000)\n");
}

TEST_F(ChangeTest, EveryTextInItsOrderWithBootAndCheck)
{
    task.changeName = WSTR("Name & more");
    task.changeDescription = WSTR("Desc");
    task.changeDisplayName = WSTR("Shown");
    task.changeDisplayDescription = WSTR("Shown desc");
    task.changeFlags = WSTR("Professional");
    task.changeBoot = true;
    task.changeCheck = true;
    task.startTime = timeGetTime() - 45000;
    EXPECT_TRUE(RunChange(task));
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n"
                     "正在儲存啟動映像: \t\t2\r\n"
                     "正在儲存標識:\t\t Professional\r\n"
                     "正在儲存映像描述: \t\tShown desc\r\n"
                     "正在儲存映像名稱: \t\tShown\r\n"
                     "正在儲存映像描述: \t\tDesc\r\n"
                     "正在儲存映像名稱: \t\tName & more\r\n"
                     "\r\n"
                     "正在添加完整訊息...\r\n"
                     "映像檔操作已完成,費時 45s.\r\n");
    EXPECT_EQ(library.bootIndex, 2u);
    EXPECT_EQ(library.CallCount("WIMSetImageInformation"), 5);
    EXPECT_EQ(library.calls.front(), "WIMCreateFile(\"C:\\w.wim\", 0xC0000000, 3, 536870914, 0, ptr)");
    EXPECT_EQ(Narrow(library.imageXml[2]), "<IMAGE INDEX=\"2\">\r\n"
                                           "  <DIRCOUNT>3</DIRCOUNT>\r\n"
                                           "  <NAME>Name &amp; more</NAME>\r\n"
                                           "  <FLAGS>Professional</FLAGS>\r\n"
                                           "  <DISPLAYDESCRIPTION>Shown desc</DISPLAYDESCRIPTION>\r\n"
                                           "  <DISPLAYNAME>Shown</DISPLAYNAME>\r\n"
                                           "  <DESCRIPTION>Desc</DESCRIPTION>\r\n"
                                           "</IMAGE>\r\n");
    EXPECT_EQ(Narrow(library.imageXml[1]), "<IMAGE INDEX=\"1\"><NAME>One</NAME></IMAGE>");  // untouched
}

TEST_F(ChangeTest, EachTextAloneChangesOnlyItsElement)
{
    struct Case {
        WString TaskState::*field;
        const char* line;
        const char* element;
    };
    const Case cases[] = {
        {&TaskState::changeFlags, "正在儲存標識:\t\t     ", "<FLAGS>    </FLAGS>"},
        {&TaskState::changeDisplayDescription, "正在儲存映像描述: \t\t    ",
         "<DISPLAYDESCRIPTION>    </DISPLAYDESCRIPTION>"},
        {&TaskState::changeDisplayName, "正在儲存映像名稱: \t\t    ", "<DISPLAYNAME>    </DISPLAYNAME>"},
        {&TaskState::changeDescription, "正在儲存映像描述: \t\t    ", "<DESCRIPTION>    </DESCRIPTION>"},
        {&TaskState::changeName, "正在儲存映像名稱: \t\t    ", "<NAME>    </NAME>"},
    };
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 1;
        scripted.imageXml[1] = WSTR("<IMAGE INDEX=\"1\"><NAME>One</NAME></IMAGE>");
        TaskState run;
        run.changeIndex = 1;
        run.startTime = timeGetTime();
        run.*c.field = WSTR("    ");  // only spaces is not empty
        EXPECT_TRUE(RunChange(run));
        EXPECT_EQ(Narrow(run.logText),
                  std::string("開啟映像檔中...\r\n") + c.line + "\r\n\r\n映像操作已成功完成.\r\n");
        EXPECT_EQ(scripted.CallCount("WIMSetImageInformation"), 1);
        EXPECT_NE(Narrow(scripted.imageXml[1]).find(c.element), std::string::npos) << c.element;
        EXPECT_EQ(scripted.CallCount("WIMSetBootImage"), 0);  // boot clear never resets it
    }
}

TEST_F(ChangeTest, IndexChecksAndLoadFailure)
{
    task.changeIndex = 3;
    EXPECT_FALSE(RunChange(task));
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n錯誤: 此映像檔 \"3\" 沒有任何映像卷.\r\n");
    EXPECT_EQ(library.CallCount("WIMLoadImage"), 0);
    EXPECT_EQ(library.CallCount("WIMCloseHandle"), 1);

    ScriptedImaging scripted;
    scripted.info.ImageCount = 2;
    scripted.Fail("WIMLoadImage", ERROR_INVALID_PARAMETER);
    TaskState run;
    run.changeIndex = 2;
    EXPECT_FALSE(RunChange(run));
    EXPECT_EQ(Narrow(run.logText), "開啟映像檔中...\r\n錯誤: 此映像檔 \"2\" 無法掛載映像卷.\r\n" +
                                       ReasonLine(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), 1);
}

TEST_F(ChangeTest, RefusedWriteBackIsReportedAndTheRestIsStillAttempted)
{
    task.changeName = WSTR("N");
    task.changeFlags = WSTR("F");
    library.Fail("WIMSetImageInformation", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(RunChange(task));
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n"
                     "正在儲存標識:\t\t F\r\n" +
                         ReasonLine(ERROR_ACCESS_DENIED) + "正在儲存映像名稱: \t\tN\r\n" +
                         ReasonLine(ERROR_ACCESS_DENIED) + "\r\n");
    EXPECT_EQ(library.CallCount("WIMSetImageInformation"), 2);
    EXPECT_EQ(library.CallCount("WIMCloseHandle"), 2);
}

TEST_F(ChangeTest, EachStepThatDoesNotReachTheFileFailsTheChangeWithItsReason)
{
    // One call fails once; everything else succeeds, so only that step can
    // make the change fail. The boot image is set before the texts, the
    // image handle is closed before the file's.
    struct Case {
        const char* call;
        int nth;
        DWORD error;
        const char* log;
    };
    const Case cases[] = {
        {"WIMSetBootImage", 1, ERROR_INVALID_PARAMETER,
         "正在儲存啟動映像: \t\t2\r\n%s正在儲存映像名稱: \t\tN\r\n\r\n"},
        {"WIMCloseHandle", 1, ERROR_WRITE_FAULT,
         "正在儲存啟動映像: \t\t2\r\n正在儲存映像名稱: \t\tN\r\n\r\n錯誤: 無法將變更寫入映像檔.\r\n%s"},
        {"WIMCloseHandle", 2, ERROR_DISK_FULL,
         "正在儲存啟動映像: \t\t2\r\n正在儲存映像名稱: \t\tN\r\n\r\n錯誤: 無法將變更寫入映像檔.\r\n%s"},
    };
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 2;
        scripted.imageXml[2] = WSTR("<IMAGE INDEX=\"2\"><NAME>Two</NAME></IMAGE>");
        scripted.FailOnce(c.call, c.error, c.nth);
        TaskState run;
        run.changeIndex = 2;
        run.changeBoot = true;
        run.changeName = WSTR("N");
        run.startTime = timeGetTime();
        EXPECT_FALSE(RunChange(run)) << c.call << c.nth;
        std::string expected = c.log;
        expected.replace(expected.find("%s"), 2, ReasonLine(c.error));
        EXPECT_EQ(Narrow(run.logText), "開啟映像檔中...\r\n" + expected) << c.call << c.nth;
        // Both handles are closed whatever failed.
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), 2) << c.call << c.nth;
    }
}

TEST_F(ChangeTest, NameAnotherImageHasIsRefusedInPlainWords)
{
    // wimlib keeps names unique and answers with "already exists".
    task.changeName = WSTR("One");
    task.changeDescription = WSTR("D");
    library.Fail("WIMSetImageInformation", ERROR_ALREADY_EXISTS, 2);
    EXPECT_FALSE(RunChange(task));
    EXPECT_EQ(Log(), "開啟映像檔中...\r\n"
                     "正在儲存映像描述: \t\tD\r\n"
                     "正在儲存映像名稱: \t\tOne\r\n"
                     "錯誤: 此映像檔中已有另一個映像卷使用這個名稱.\r\n"
                     "\r\n");

    // The same code for another element keeps the system's text.
    ScriptedImaging scripted;
    scripted.imageXml[1] = WSTR("<IMAGE INDEX=\"1\"/>");
    scripted.Fail("WIMSetImageInformation", ERROR_ALREADY_EXISTS);
    TaskState run;
    run.changeIndex = 1;
    run.changeDescription = WSTR("D");
    EXPECT_FALSE(RunChange(run));
    EXPECT_EQ(Narrow(run.logText),
              "開啟映像檔中...\r\n正在儲存映像描述: \t\tD\r\n" + ReasonLine(ERROR_ALREADY_EXISTS) + "\r\n");
}

}  // namespace
