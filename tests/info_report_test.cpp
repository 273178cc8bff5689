// The information report's text against the scripted library, and the
// temporary directory choice it starts with.
#include "metadata/image_info.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/xml_notice.h"

namespace {

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
    EXPECT_EQ(library.calls.front(), "WIMCreateFile(\"C:\\x.wim\", 0x80000000, 3, 0, 0, ptr)");
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

TEST_F(InfoReportTest, OpenHeaderAndTemporaryPathFailuresReplaceTheReport)
{
    const struct {
        const char* call;
        const char* text;
        int closes;
    } cases[] = {
        {"WIMCreateFile", "錯誤: 無法開啟映像檔.", 0},
        {"WIMGetAttributes", "錯誤: 無法變更映像檔屬性.", 1},
        {"WIMSetTemporaryPath", "錯誤: 無法建立暫存資料夾.", 1},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.Fail(c.call, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Report(), c.text);
        EXPECT_FALSE(result);
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), c.closes) << c.call;
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
