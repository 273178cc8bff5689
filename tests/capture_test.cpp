// The capture operation against the scripted library: the settings lines,
// each failure's log, the calls and their flags, the image's texts and the
// closing lines.
#include "base/log.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/xml_notice.h"

#include <mmsystem.h>

namespace {

// TMP and TEMP pointed elsewhere for as long as it lives.
class TempVariables {
public:
    explicit TempVariables(const WString& value)
    {
        for (int i = 0; i < 2; ++i) {
            const DWORD length = GetEnvironmentVariableW(kNames[i], saved_[i], kTextBufferSize);
            had_[i] = length > 0 && length < kTextBufferSize;
            SetEnvironmentVariableW(kNames[i], value.c_str());
        }
    }
    ~TempVariables()
    {
        for (int i = 0; i < 2; ++i)
            SetEnvironmentVariableW(kNames[i], had_[i] ? saved_[i] : nullptr);
    }

private:
    static constexpr const WCHAR* kNames[2] = {WSTR("TMP"), WSTR("TEMP")};
    WCHAR saved_[2][kTextBufferSize] = {};
    bool had_[2] = {};
};

class CaptureTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.info.ImageCount = 1;
        library.imageXml[2] =
            WSTR("<IMAGE INDEX=\"2\"><DIRCOUNT>3</DIRCOUNT><FILECOUNT>9</FILECOUNT></IMAGE>");
        source = DosPath(folder / "");
        source.pop_back();
        destination = DosPath(folder / "images.wim");
        Prepare(task);
    }

    // The page as these tests start from: no texts, no options, LZX.
    void Prepare(TaskState& run) const
    {
        run.captureSource = source;
        run.captureDestination = destination;
        run.captureCompression = WSTR("最大壓縮率(LZX)");
        for (WString* text : {&run.captureName, &run.captureDescription, &run.captureDisplayName,
                              &run.captureDisplayDescription, &run.captureFlags})
            text->clear();
        run.captureVerify = false;
        run.startTime = timeGetTime();
    }

    std::string Log() const { return Narrow(task.logText); }

    // The settings block every run that passes the configuration starts with.
    // An append's compression line (nullptr here) follows the file's opening.
    std::string Settings(const char* compressionLine = "壓縮率:\t\t最大壓縮率(LZX)") const
    {
        return "映像檔來源:\t" + Narrow(source) + "\r\n映像檔儲存到:\t" + Narrow(destination) + "\r\n" +
               (compressionLine ? std::string(compressionLine) + "\r\n" : std::string()) +
               "驗證:\t\t不啟用\r\n檢查:\t\t不啟用\r\n暫存資料夾:\t" + Narrow(source) + "\r\n\r\n";
    }

    XmlNoticeCounter notices;
    ScratchFolder folder;
    ScriptedImaging library;
    TaskState task;
    WString source;
    WString destination;
};

TEST_F(CaptureTest, CreateLogsTheSettingsCapturesAndClosesQuickly)
{
    task.captureName = WSTR("Base & more");
    task.captureDisplayName = WSTR("Shown");
    EXPECT_TRUE(RunCapture(task, false));
    EXPECT_EQ(Log(), Settings() + "開啟映像檔中...\r\n\r\n成功讀取映像檔,內含 2 映像卷.\r\n");
    const std::string wim = HandleText(ScriptedImaging::kWimHandle);
    const std::string image = HandleText(ScriptedImaging::ImageHandle(2));
    ASSERT_EQ(library.storedInformation.size(), 2u);
    const std::vector<std::string> expected = {
        "WIMRegisterMessageCallback(0x0, ptr, null)",
        "WIMCreateFile(\"" + Narrow(destination) + "\", 0x40000000, 2, 0, 2, ptr)",
        "WIMSetTemporaryPath(" + wim + ", \"" + Narrow(source) + "\")",
        "WIMCaptureImage(" + wim + ", \"" + Narrow(source) + "\", 0)",
        "WIMGetImageCount(" + wim + ")",
        "WIMGetImageInformation(" + image + ", ptr, ptr)",
        "WIMSetImageInformation(" + image + ", ptr, " + std::to_string(library.storedInformation[0].size()) +
            ")",
        "WIMGetImageInformation(" + image + ", ptr, ptr)",
        "WIMSetImageInformation(" + image + ", ptr, " + std::to_string(library.storedInformation[1].size()) +
            ")",
        "WIMCloseHandle(" + image + ")",
        "WIMCloseHandle(" + wim + ")",
        "WIMUnregisterMessageCallback(0x0, ptr)",
    };
    EXPECT_EQ(library.calls, expected);
    // Texts are escaped for XML, in the page's order, the library's counts kept.
    const std::string xml = Narrow(library.imageXml[2]);
    EXPECT_NE(xml.find("<DIRCOUNT>3</DIRCOUNT>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<NAME>Base &amp; more</NAME>"), std::string::npos) << xml;
    EXPECT_LT(xml.find("<NAME>"), xml.find("<DISPLAYNAME>Shown</DISPLAYNAME>")) << xml;
    EXPECT_EQ(xml.find("DESCRIPTION"), std::string::npos) << xml;
    EXPECT_EQ(library.bootIndex, 0u);
    EXPECT_EQ(task.lastPercent, 100u);
    EXPECT_EQ(notices.count(), 0);
}

TEST_F(CaptureTest, AppendOpensTheFileAndMarksTheNewLastImageBootable)
{
    task.captureBoot = true;
    task.startTime = timeGetTime() - 65000;
    task.captureFlags = WSTR("Professional");
    library.info.CompressionType = WIM_COMPRESS_XPRESS;  // the file's own, not the page's LZX
    EXPECT_TRUE(RunCapture(task, true));
    EXPECT_EQ(library.calls[1],
              "WIMCreateFile(\"" + Narrow(destination) + "\", 0xC0000000, 3, 536870912, 2, ptr)");
    EXPECT_EQ(library.bootIndex, 2u);
    EXPECT_NE(Narrow(library.imageXml[2]).find("<FLAGS>Professional</FLAGS>"), std::string::npos);
    EXPECT_EQ(Log(), Settings(nullptr) +
                         "開啟映像檔中...\r\n壓縮率:\t\t快速壓縮(XPRESS)\r\n"
                         "目的映像檔保留原有的壓縮率,不使用所選的 \"最大壓縮率(LZX)\".\r\n\r\n"
                         "成功讀取映像檔,內含 2 映像卷, 費時 1m05s.\r\n");
}

TEST_F(CaptureTest, CompressionTextAndOptionsChooseTypesFlagsAndLines)
{
    const struct {
        const char* combo;
        DWORD type;
        const char* line;
        const char* createFlags;  // LZMS files are created solid
    } cases[] = {
        {"最大壓縮率(LZX)", WIM_COMPRESS_LZX, "壓縮率:\t\t最大壓縮率(LZX)", "0"},
        {"快速壓縮(XPRESS)", WIM_COMPRESS_XPRESS, "壓縮率:\t\t快速壓縮(XPRESS)", "0"},
        {"LZMS", WIM_COMPRESS_LZMS, "壓縮率: LZMS", "536870912"},
        {"無壓縮(None)", WIM_COMPRESS_NONE, "壓縮率:\t\t無壓縮(None)", "0"},
        {"lzx", WIM_COMPRESS_NONE, "壓縮率:\t\t無壓縮(None)", "0"},
        {"", WIM_COMPRESS_NONE, "壓縮率:\t\t無壓縮(None)", "0"},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 0;
        TaskState run;
        Prepare(run);
        run.captureCompression = WideFromUtf8(c.combo);
        EXPECT_TRUE(RunCapture(run, false)) << c.combo;
        EXPECT_EQ(Narrow(run.logText),
                  Settings(c.line) + "開啟映像檔中...\r\n\r\n成功讀取映像檔,內含 1 映像卷.\r\n")
            << c.combo;
        EXPECT_EQ(scripted.calls[1], "WIMCreateFile(\"" + Narrow(destination) + "\", 0x40000000, 2, " +
                                         c.createFlags + ", " + std::to_string(c.type) + ", ptr)")
            << c.combo;
    }

    // Verify, check and the reparse-point fix reach their calls and lines.
    task.captureVerify = true;
    task.captureCheck = true;
    task.captureNoRpFix = true;
    EXPECT_TRUE(RunCapture(task, false));
    EXPECT_EQ(library.calls[1], "WIMCreateFile(\"" + Narrow(destination) + "\", 0x40000000, 2, 2, 2, ptr)");
    EXPECT_EQ(library.calls[3], "WIMCaptureImage(" + HandleText(ScriptedImaging::kWimHandle) + ", \"" +
                                    Narrow(source) + "\", 258)");
    EXPECT_NE(Log().find("驗證:\t\t啟用\r\n檢查:\t\t啟用\r\n停用標記修正.\r\n暫存資料夾:"), std::string::npos)
        << Log();
}

TEST_F(CaptureTest, EachFailureLogsItsLinesReleasesAndEndsWith202)
{
    const std::string opening = "開啟映像檔中...\r\n";
    const std::string opened = opening + "壓縮率:\t\t最大壓縮率(LZX)\r\n";  // an append's line, once open
    const std::string denied = "錯誤: " + SystemText(ERROR_ACCESS_DENIED) + "\r\n";
    const struct {
        const char* call;
        DWORD error;
        std::string tail;    // after the settings
        std::string reason;  // after the closing failure line
        int closes;
        bool unregisters;
    } cases[] = {
        {"WIMRegisterMessageCallback", ERROR_NOT_ENOUGH_MEMORY, "錯誤: 無法註冊回調函數.\r\n", "", 0, false},
        {"WIMCreateFile", ERROR_ACCESS_DENIED,
         opening + "錯誤: 無法寫入到 \"" + Narrow(destination) + "\".\r\n" + denied, "", 0, true},
        {"WIMSetTemporaryPath", ERROR_ACCESS_DENIED, opened + "錯誤: 無法建立暫存資料夾.\r\n" + denied, "", 1,
         true},
        // The capture's own failure: one failure line, then its reason.
        {"WIMCaptureImage", ERROR_ACCESS_DENIED, opened, denied, 1, true},
        {"WIMCaptureImage", ERROR_REQUEST_ABORTED, opened,
         "錯誤: " + SystemText(ERROR_REQUEST_ABORTED) + "\r\n", 1, true},
    };
    for (const auto& c : cases) {
        ScriptedImaging scripted;
        scripted.Fail(c.call, c.error);
        scripted.info.CompressionType = WIM_COMPRESS_LZX;
        TaskState run;
        Prepare(run);
        run.captureName = WSTR("never written");
        run.captureBoot = true;
        EXPECT_FALSE(RunCapture(run, true)) << c.call;
        EXPECT_EQ(Narrow(run.logText),
                  Settings(nullptr) + c.tail + "\r\n錯誤: 映像檔讀取錯誤.\r\n" + c.reason)
            << c.call;
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), c.closes) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMUnregisterMessageCallback"), c.unregisters ? 1 : 0) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMSetImageInformation"), 0) << c.call;
        EXPECT_EQ(scripted.CallCount("WIMSetBootImage"), 0) << c.call;
        EXPECT_EQ(run.lastPercent, 100u) << c.call;
    }
}

TEST_F(CaptureTest, AFailedCloseIsAFailedCaptureWithTheCloseReason)
{
    // The library writes the image, its texts and its boot mark as the
    // handles close: the image's close first, then the file's.
    for (const int nth : {1, 2}) {
        ScriptedImaging scripted;
        scripted.FailOnce("WIMCloseHandle", nth == 1 ? ERROR_INVALID_HANDLE : ERROR_DISK_FULL, nth);
        scripted.info.CompressionType = WIM_COMPRESS_LZX;
        scripted.info.ImageCount = 1;
        scripted.imageXml[2] = library.imageXml[2];
        TaskState run;
        Prepare(run);
        run.captureName = WSTR("kept until the close");
        EXPECT_FALSE(RunCapture(run, true)) << nth;
        EXPECT_EQ(Narrow(run.logText), Settings(nullptr) +
                                           "開啟映像檔中...\r\n壓縮率:\t\t最大壓縮率(LZX)\r\n\r\n" +
                                           "錯誤: 映像檔讀取錯誤.\r\n" +
                                           ReasonLine(nth == 1 ? ERROR_INVALID_HANDLE : ERROR_DISK_FULL))
            << nth;
        EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), 2) << nth;
        EXPECT_EQ(scripted.CallCount("WIMUnregisterMessageCallback"), 1) << nth;
    }
}

TEST_F(CaptureTest, NoWritableTemporaryFolderStillShowsTheListsThenFails)
{
    TempVariables temp(DosPath(folder / "missing/deeper/"));
    task.captureTempDir = DosPath(folder / "missing/temp");
    task.captureDestination = DosPath(folder / "missing/images.wim");
    task.captureShowSettings = true;
    EXPECT_FALSE(RunCapture(task, false));
    const std::string expected =
        "映像檔來源:\t" + Narrow(source) + "\r\n映像檔儲存到:\t" +
        Narrow(DosPath(folder / "missing/images.wim")) +
        "\r\n壓縮率:\t\t最大壓縮率(LZX)\r\n驗證:\t\t不啟用\r\n檢查:\t\t不啟用\r\n暫存資料夾:\t\r\n"
        "錯誤: 無法建立暫存資料夾.\r\n錯誤: " +
        SystemText(ERROR_DIRECTORY) +
        "\r\n"
        "\r\n[ExclusionList]\r\n\\$WINDOWS.~BT\r\n\\$WINDOWS.~LS\r\n\\WINPEPGE.SYS\r\n\\WINDOWS\\CSC\r\n"
        "\\RECYCLED\r\n\\RECYCLER\r\n\\$RECYCLE.BIN\\*\r\n\\SYSTEM VOLUME INFORMATION\r\n\\SWAPFILE.SYS\r\n"
        "\\PAGEFILE.SYS\r\n\\HIBERFIL.SYS\r\n"
        "\r\n[CompressionExclusionList]\r\n*.MP3\r\n*.ZIP\r\n*.CAB\r\n*.RAR\r\n*.7Z\r\n*.PNF\r\n*.WIM\r\n"
        "\r\n\r\n錯誤: 映像檔讀取錯誤.\r\n";
    EXPECT_EQ(Log(), expected);
    EXPECT_TRUE(library.calls.empty()) << library.CallText();
    EXPECT_EQ(task.lastPercent, 100u);
    EXPECT_EQ(task.exclusions.count, 11);
}

TEST_F(CaptureTest, UnreadableConfigurationStopsBeforeAnythingIsOpened)
{
    task.captureConfigFile = DosPath(folder / "absent.ini");
    EXPECT_FALSE(RunCapture(task, false));
    const std::string settings = Settings();
    EXPECT_EQ(Log(), settings.substr(0, settings.size() - 2) + "設定檔:\t" + Narrow(task.captureConfigFile) +
                         "\r\n錯誤: 無法讀取設定檔.\r\n");
    EXPECT_TRUE(library.calls.empty()) << library.CallText();
    EXPECT_EQ(task.lastPercent, 0u);
}

TEST_F(CaptureTest, RefusedTextsAndBootAreLoggedButTheCaptureStands)
{
    library.Fail("WIMSetImageInformation", ERROR_INVALID_DATA);
    library.Fail("WIMSetBootImage", ERROR_ACCESS_DENIED);
    task.captureName = WSTR("Name");
    task.captureDescription = WSTR("Description");
    task.captureBoot = true;
    library.info.CompressionType = WIM_COMPRESS_LZX;
    EXPECT_TRUE(RunCapture(task, true));
    const std::string invalid = "錯誤: " + SystemText(ERROR_INVALID_DATA) + "\r\n";
    EXPECT_EQ(Log(), Settings(nullptr) + "開啟映像檔中...\r\n壓縮率:\t\t最大壓縮率(LZX)\r\n" + invalid +
                         invalid + "錯誤: " + SystemText(ERROR_ACCESS_DENIED) +
                         "\r\n\r\n成功讀取映像檔,內含 2 映像卷.\r\n");
}

TEST_F(CaptureTest, PathsThatDoNotFitAreRefusedWithTheReason)
{
    const std::string tooLong = "錯誤: " + SystemText(ERROR_FILENAME_EXCED_RANGE) + "\r\n";
    WString longName(300, WSTR('a'));

    TaskState run;
    Prepare(run);
    run.captureDestination = destination + WSTR("\\") + longName + WSTR(".wim");
    run.captureTempDir = source;
    EXPECT_FALSE(RunCapture(run, false));
    EXPECT_EQ(library.CallCount("WIMCreateFile"), 0);
    EXPECT_NE(Narrow(run.logText).find("開啟映像檔中...\r\n錯誤: 無法寫入到 \""), std::string::npos);
    EXPECT_NE(Narrow(run.logText).find(tooLong + "\r\n錯誤: 映像檔讀取錯誤.\r\n"), std::string::npos)
        << Narrow(run.logText);

    TaskState second;
    Prepare(second);
    second.captureSource = source + WSTR("\\") + longName;
    EXPECT_FALSE(RunCapture(second, false));
    EXPECT_EQ(library.CallCount("WIMCaptureImage"), 0);
    EXPECT_TRUE(
        Narrow(second.logText).ends_with("開啟映像檔中...\r\n\r\n錯誤: 映像檔讀取錯誤.\r\n" + tooLong))
        << Narrow(second.logText);
}

}  // namespace
