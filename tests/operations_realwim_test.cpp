// Delete, change and the information report on real WIM files made and
// checked with wimlib-imagex, through the platform's imaging layer.
#include "metadata/image_info.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/xml_notice.h"

#include <mmsystem.h>

#include <map>
#include <regex>
#include <sstream>

namespace {

class RealWimOperations : public testing::Test {
protected:
    void SetUp() override { task.startTime = timeGetTime(); }

    XmlNoticeCounter notices;
    ScratchFolder folder;
    TaskState task;
};

using DeleteRealWim = RealWimOperations;

TEST_F(DeleteRealWim, DeletesOneImageAndKeepsTheOthersIntact)
{
    std::string wim = folder / "three.wim";
    MakeSampleWim(wim, 3);
    auto before = WimlibInfo(wim);
    size_t sizeBefore = FileBytes(wim).size();
    task.deleteSource = DosPath(wim);
    task.deleteIndex = 2;
    task.deleteCheck = true;
    const size_t descriptors = OpenDescriptorCount();
    EXPECT_TRUE(RunDelete(task));
    EXPECT_EQ(OpenDescriptorCount(), descriptors);  // the rebuilt-over file's too
    // On a loaded machine the rebuild may take a second: the closing line has a time then.
    std::string lines;
    EXPECT_TRUE(SplitClosingLine(Narrow(task.logText), &lines)) << Narrow(task.logText);
    EXPECT_EQ(lines,
              "開啟映像檔中...\r\n正在從這映像檔中刪除 \"映像卷 2\"...\r\n\r\n正在添加完整訊息...\r\n");
    auto after = WimlibInfo(wim);
    EXPECT_EQ(after[0]["Image Count"], "2");
    EXPECT_EQ(after[1]["Name"], "Image 1");
    EXPECT_EQ(after[2]["Name"], "Image 3");
    for (const char* key : {"Description", "Directory Count", "File Count", "Total Bytes", "Creation Time"}) {
        EXPECT_EQ(after[1][key], before[1][key]) << key;
        EXPECT_EQ(after[2][key], before[3][key]) << key;
    }
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
    // The file was rebuilt without the deleted image's data.
    EXPECT_LT(FileBytes(wim).size(), sizeBefore);
}

TEST_F(DeleteRealWim, BadFilesGiveTheirLineAndStayByteForByte)
{
    std::string good = folder / "good.wim";
    MakeSampleWim(good, 2);
    std::string content = FileBytes(good);

    std::string notWim = folder / "notes.wim";
    ShellOutput("head -c 5000 /dev/urandom > " + Quoted(notWim));
    std::string truncated = folder / "truncated.wim";
    ShellOutput("head -c " + std::to_string(content.size() / 2) + " " + Quoted(good) + " > " +
                Quoted(truncated));
    std::string readOnly = folder / "readonly.wim";
    // The header's read-only flag (0x4 in the flags word at offset 16).
    ShellOutput("cp " + Quoted(good) + " " + Quoted(readOnly));
    ShellOutput("python3 -c \"import sys; f=open(sys.argv[1],'r+b'); f.seek(16); "
                "v=int.from_bytes(f.read(4),'little');"
                " f.seek(16); f.write((v|0x4).to_bytes(4,'little'))\" " +
                Quoted(readOnly));

    // Each bad file says what is wrong with it.
    const struct {
        std::string path;
        DWORD reason;
    } cases[] = {
        {folder / "missing.wim", ERROR_FILE_NOT_FOUND},
        {folder / "absent/x.wim", ERROR_PATH_NOT_FOUND},
        {notWim, ERROR_BAD_FORMAT},
        {truncated, ERROR_FILE_CORRUPT},
        {readOnly, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        std::string original = FileBytes(c.path);
        TaskState run;
        run.deleteSource = DosPath(c.path);
        run.deleteIndex = 1;
        EXPECT_FALSE(RunDelete(run)) << c.path;
        EXPECT_EQ(Narrow(run.logText), "開啟映像檔中...\r\n錯誤: 無法開啟映像檔.\r\n" + ReasonLine(c.reason))
            << c.path;
        EXPECT_EQ(FileBytes(c.path), original) << c.path;
    }
    // A folder that does not exist, and an index beyond the count.
    TaskState run;
    run.deleteSource = DosPath(good);
    run.deleteIndex = 3;
    EXPECT_FALSE(RunDelete(run));
    EXPECT_EQ(Narrow(run.logText), "開啟映像檔中...\r\n錯誤: 此映像檔 \"3\" 沒有任何映像卷.\r\n");
    EXPECT_EQ(FileBytes(good), content);
}

using ChangeRealWim = RealWimOperations;

TEST_F(ChangeRealWim, NewTextsFlagsAndBootReachTheFileAndNothingElseChanges)
{
    std::string wim = folder / "three.wim";
    MakeSampleWim(wim, 3);
    ShellOutput("wimlib-imagex info " + Quoted(wim) + " 3 --boot");
    auto before = WimlibInfo(wim);

    task.changeSource = DosPath(wim);
    task.changeIndex = 2;
    task.changeName = WSTR("A & B <test>");
    task.changeDescription = WSTR("新的描述");
    task.changeFlags = WSTR("Professional");
    task.changeDisplayName = WSTR("Shown name");
    task.changeDisplayDescription = WSTR("Shown description");
    EXPECT_TRUE(RunChange(task)) << Narrow(task.logText);
    auto after = WimlibInfo(wim);
    EXPECT_EQ(after[2]["Name"], "A & B <test>");
    EXPECT_EQ(after[2]["Description"], "新的描述");
    EXPECT_EQ(after[2]["Flags"], "Professional");
    EXPECT_EQ(after[2]["Display Name"], "Shown name");
    EXPECT_EQ(after[2]["Display Description"], "Shown description");
    EXPECT_EQ(after[0]["Boot Index"], "3");  // boot clear leaves it alone
    for (int image : {1, 3})
        EXPECT_EQ(after[image], before[image]) << image;
    for (const char* key : {"Directory Count", "File Count", "Total Bytes", "Creation Time"})
        EXPECT_EQ(after[2][key], before[2][key]) << key;
    ShellOutput("wimlib-imagex verify " + Quoted(wim));

    TaskState boot;
    boot.changeSource = DosPath(wim);
    boot.changeIndex = 1;
    boot.changeBoot = true;
    boot.startTime = timeGetTime();
    EXPECT_TRUE(RunChange(boot));
    EXPECT_EQ(WimlibInfo(wim)[0]["Boot Index"], "1");
    EXPECT_EQ(notices.count(), 0);
}

TEST_F(ChangeRealWim, NameAnotherImageHasIsRefusedInPlainWordsAndTheFileKept)
{
    std::string wim = folder / "two.wim";
    MakeSampleWim(wim, 2);
    const std::string original = FileBytes(wim);
    task.changeSource = DosPath(wim);
    task.changeIndex = 2;
    task.changeName = WSTR("Image 1");
    EXPECT_FALSE(RunChange(task));
    EXPECT_EQ(Narrow(task.logText), "開啟映像檔中...\r\n正在儲存映像名稱: \t\tImage 1\r\n"
                                    "錯誤: 此映像檔中已有另一個映像卷使用這個名稱.\r\n\r\n");
    EXPECT_EQ(WimlibInfo(wim)[2]["Name"], "Image 2");
    EXPECT_EQ(FileBytes(wim), original);
}

using InfoReportRealWim = RealWimOperations;

// The GUID as wimlib-imagex prints it (the header's 16 bytes in file order)
// in the registry form.
std::string RegistryGuid(const std::string& hex)
{
    std::string b = hex.substr(2);
    auto byte = [&](int i) { return b.substr(i * 2, 2); };
    std::string text = "{" + byte(3) + byte(2) + byte(1) + byte(0) + "-" + byte(5) + byte(4) + "-" + byte(7) +
                       byte(6) + "-" + byte(8) + byte(9) + "-";
    for (int i = 10; i < 16; ++i)
        text += byte(i);
    for (char& c : text)
        c = static_cast<char>(toupper(c));
    return text + "}";
}

TEST_F(InfoReportRealWim, NumbersAgreeWithWimlibImagex)
{
    std::string wim = folder / "three.wim";
    MakeSampleWim(wim, 3, "--compress=XPRESS --check");
    ShellOutput("wimlib-imagex info " + Quoted(wim) + " 2 --boot");
    auto fields = WimlibInfo(wim);

    task.infoSource = DosPath(wim);
    WString text;
    ASSERT_TRUE(BuildInfoReportText(task, text));
    std::string report = Narrow(text);
    EXPECT_NE(report.find("GUID:\t\t" + RegistryGuid(fields[0]["GUID"]) + "\r\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("映像卷數量:\t3\r\n壓縮率:\tXPRESS\r\n卷編號:\t1/1\r\n引導索引:\t2\r\n"),
              std::string::npos);
    EXPECT_NE(report.find("\t\tVERIFY_DATA\r\n"), std::string::npos);
    EXPECT_NE(report.find("\t\tRP_FIX\r\n"), std::string::npos);  // "Relative path junction"
    for (int image = 1; image <= 3; ++image) {
        long long bytes = std::stoll(fields[image]["Total Bytes"]);
        std::string size =
            bytes < 1024 ? std::to_string(bytes) + " Bytes" : std::to_string(bytes / 1024) + " KB";
        std::string block = "映像卷: " + std::to_string(image) + "\r\n-------------------\r\n" + "名稱:\t\t" +
                            fields[image]["Name"] + "\r\n描述:\t\t" + fields[image]["Description"] +
                            "\r\n檔案:\t\t" + fields[image]["File Count"] + "\r\n資料夾:\t\t" +
                            fields[image]["Directory Count"] + "\r\n展開大小:\t\t" + size + "\r\n";
        EXPECT_NE(report.find(block), std::string::npos) << block << "\n---\n" << report;
    }
    std::string xml = "\r\n\r\n映像檔 XML 訊息:\r\n---------------------------\r\n";
    size_t xmlAt = report.find(xml);
    ASSERT_NE(xmlAt, std::string::npos);
    EXPECT_NE(report.find("<WIM>", xmlAt), std::string::npos);
    EXPECT_NE(report.find("<NAME>Image 3</NAME>", xmlAt), std::string::npos);
    EXPECT_EQ(notices.count(), 0);
}

TEST_F(InfoReportRealWim, SpannedPartAndEmptyFile)
{
    std::string wim = folder / "big.wim";
    MakeSampleWim(wim, 2, "--compress=none");
    ShellOutput("head -c 3000000 /dev/urandom > " + Quoted(folder / "noise.bin") +
                " && wimlib-imagex append " + Quoted(folder.path()) + " " + Quoted(wim) +
                " Noisy --compress=none");
    ShellOutput("wimlib-imagex split " + Quoted(wim) + " " + Quoted(folder / "part.swm") + " 1");
    task.infoSource = DosPath(folder / "part2.swm");
    WString text;
    ASSERT_TRUE(BuildInfoReportText(task, text));
    std::string report = Narrow(text);
    std::string parts = std::regex_replace(ShellOutput("ls " + Quoted(folder.path()) + " | grep -c swm"),
                                           std::regex("\\s"), "");
    // A later part reports its set: the header of the first part.
    EXPECT_NE(report.find("卷編號:\t1/" + parts + "\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\t\tSPANNED\r\n"), std::string::npos);

    std::string empty = folder / "empty.wim";
    MakeSampleWim(empty, 1);
    ShellOutput("wimlib-imagex delete " + Quoted(empty) + " all");
    task.infoSource = DosPath(empty);
    ASSERT_TRUE(BuildInfoReportText(task, text));
    report = Narrow(text);
    EXPECT_NE(report.find("映像卷數量:\t0\r\n"), std::string::npos);
    EXPECT_EQ(report.find("映像卷: "), std::string::npos);
    EXPECT_NE(report.find("映像檔 XML 訊息:"), std::string::npos);
}

}  // namespace
