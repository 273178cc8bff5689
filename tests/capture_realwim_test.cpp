// The capture operation on real trees through the wimlib layer, checked with
// wimlib-imagex: what the image lists, what applying it gives back, the
// page's texts, the boot mark, and files left as they were after a failure.
#include "base/log.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"
#include "tests/support/xml_notice.h"

#include <mmsystem.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> SortedLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// "Key: value" of wimlib-imagex info for one image.
std::string InfoField(const std::string& wim, int image, const std::string& key)
{
    std::istringstream lines(ShellOutput("wimlib-imagex info " + Quoted(wim) + " " + std::to_string(image)));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            std::string value = line.substr(key.size() + 1);
            value.erase(0, value.find_first_not_of(' '));
            return value;
        }
    }
    return "(absent)";
}

// The calling thread without root's power to read what its modes forbid,
// for as long as it lives (capabilities belong to the thread).
class WithoutReadOverride {
public:
    WithoutReadOverride()
    {
        if (syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        dropped_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutReadOverride()
    {
        if (dropped_)
            syscall(SYS_capset, &header_, saved_);
    }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
    bool dropped_ = false;
};

class CaptureRealWim : public testing::Test {
protected:
    // The shared record as the Capture page and the progress window leave
    // it: the callback reaches it as the one global instance.
    TaskState& Page(const std::string& source, const std::string& wim)
    {
        ResetTaskState();
        TaskState& task = Task();
        ResetRunState(task);
        task.captureSource = DosPath(source);
        task.captureDestination = DosPath(wim);
        task.captureVerify = false;
        return task;
    }

    static std::string Log() { return Narrow(Task().logText); }

    XmlNoticeCounter notices;
    ScratchFolder folder;
};

TEST_F(CaptureRealWim, AMixedTreeComesBackWholeWithOwnersModesAndLinks)
{
    const std::string source = folder / "src";
    const std::string longName(200, 'n');
    std::string deep = "d";
    for (int i = 0; i < 9; ++i)
        deep += "/" + std::string(30, static_cast<char>('a' + i));
    ShellOutput("mkdir -p " + Quoted(source) + " && cd " + Quoted(source) +
                " && mkdir -p empty nested/empty 中文資料夾 " + Quoted(deep) +
                " && echo hello > readme.txt && head -c 60000 /dev/urandom > archive.zip"
                " && head -c 40000 /dev/urandom > song.MP3 && : > zero.bin"
                " && echo 說明 > 中文資料夾/說明.txt && echo smile > 'emoji-😀.txt'"
                " && echo long > " +
                longName + ".txt && echo deep > " + Quoted(deep + "/file.txt") +
                " && ln -s readme.txt link && ln -s missing dangling && ln readme.txt hard.txt"
                " && mkfifo pipe && chmod 0755 archive.zip && chmod 0600 song.MP3"
                " && chown 1234:5678 zero.bin && chmod 0750 nested");
    const std::string wim = folder / "out.wim";
    TaskState& task = Page(source, wim);
    task.captureName = WSTR("Mixed tree");
    task.captureDescription = WSTR("Texts & more");
    task.captureDisplayName = WSTR("Shown name");
    task.captureDisplayDescription = WSTR("Shown description");
    task.captureFlags = WSTR("Professional");
    const size_t descriptors = OpenDescriptorCount();
    ASSERT_TRUE(RunCapture(task, false)) << Log();
    EXPECT_EQ(OpenDescriptorCount(), descriptors);  // the scan's folders are closed again

    const std::string files = ShellOutput("cd " + Quoted(source) + " && find . ! -type d | wc -l");
    EXPECT_NE(Log().find("資料夾和 " + std::to_string(std::stoi(files)) + " 檔案.\r\n正在讀取...\r\n\r\n"),
              std::string::npos)
        << Log();
    EXPECT_NE(Log().find("成功讀取映像檔,內含 1 映像卷"), std::string::npos) << Log();
    EXPECT_EQ(task.lastPercent, 100u);

    // The image lists exactly the tree.
    std::vector<std::string> expected =
        SortedLines(ShellOutput("cd " + Quoted(source) + " && find . | sed -e 's|^\\.$|/|' -e 's|^\\./|/|'"));
    EXPECT_EQ(SortedLines(ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 1")), expected);

    // Applying it gives the tree back: contents, links, modes, owners, types
    // (diff only says that two pipes are pipes; the listing compares them).
    const std::string applied = folder / "applied";
    ShellOutput("wimlib-imagex apply " + Quoted(wim) + " 1 " + Quoted(applied) + " --unix-data");
    ShellOutput("diff -r --no-dereference -x pipe " + Quoted(source) + " " + Quoted(applied));
    const std::string listing = "find . -printf '%p %m %U %G %y %n %l\\n' | sort";
    EXPECT_EQ(ShellOutput("cd " + Quoted(applied) + " && " + listing),
              ShellOutput("cd " + Quoted(source) + " && " + listing));

    EXPECT_EQ(InfoField(wim, 1, "Name"), "Mixed tree");
    EXPECT_EQ(InfoField(wim, 1, "Description"), "Texts & more");
    EXPECT_EQ(InfoField(wim, 1, "Display Name"), "Shown name");
    EXPECT_EQ(InfoField(wim, 1, "Display Description"), "Shown description");
    EXPECT_EQ(InfoField(wim, 1, "Flags"), "Professional");

    // Data that does not shrink is stored as it is.
    const std::string zipHash = ShellOutput("sha1sum " + Quoted(source + "/archive.zip")).substr(0, 40);
    const std::string blobs = ShellOutput("wimlib-imagex info " + Quoted(wim) + " --blobs");
    const size_t at = blobs.find("0x" + zipHash);
    ASSERT_NE(at, std::string::npos) << blobs;
    const size_t flags = blobs.find("Flags", at);
    EXPECT_EQ(blobs.substr(flags, blobs.find('\n', flags) - flags), "Flags             = ");
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
    EXPECT_EQ(notices.count(), 0);
}

TEST_F(CaptureRealWim, AnUnreadableFileIsNamedAndFailsTheCapture)
{
    const std::string source = folder / "src";
    ShellOutput("mkdir -p " + Quoted(source) + " && echo yes > " + Quoted(source + "/open.txt") +
                " && echo no > " + Quoted(source + "/locked.txt") + " && echo no > " +
                Quoted(source + "/locked2.txt") + " && chmod 000 " + Quoted(source + "/locked.txt") +
                // Readable by its owner only, who is somebody else (where the
                // test may give files away).
                " && { chown 1234 " + Quoted(source + "/locked2.txt") + " 2>/dev/null && chmod 400 " +
                Quoted(source + "/locked2.txt") + " || chmod 000 " + Quoted(source + "/locked2.txt") + "; }");
    const std::string wim = folder / "out.wim";
    TaskState& task = Page(source, wim);
    bool captured = false;
    {
        WithoutReadOverride reader;
        captured = RunCapture(task, false);
    }
    // Left out without being asked, the file would be missing from an image
    // that was reported made: the capture fails and writes nothing.
    ASSERT_FALSE(captured) << Log();
    // Every such file is named, not only the first the write would meet.
    for (const char* name : {"locked.txt", "locked2.txt"}) {
        const std::string expectedLine = "ERROR: " + Narrow(DosPath(source)) + "\\" + name + "    [Code=";
        EXPECT_NE(Log().find(expectedLine), std::string::npos) << Log();
    }
    WCHAR denied[kTextBufferSize];
    EXPECT_NE(Log().find(Narrow(SystemErrorText(denied, ERROR_ACCESS_DENIED)) + "]\n\r\n"), std::string::npos)
        << Log();
    EXPECT_NE(access(wim.c_str(), F_OK), 0);
}

TEST_F(CaptureRealWim, AnchoredPatternsCountFromTheDrivesRoot)
{
    const std::string source = folder / "drive";
    ShellOutput("mkdir -p " + Quoted(source + "/sub") + " && cd " + Quoted(source) +
                " && echo a > pagefile.sys && echo b > sub/pagefile.sys && echo c > keep.txt");
    // Drive Q: of the test prefix stands for the folder for the test's length.
    const char* prefix = std::getenv("WINEPREFIX");
    ASSERT_NE(prefix, nullptr);
    const std::string drive = std::string(prefix) + "/dosdevices/q:";
    Shell("rm -f " + Quoted(drive));
    ShellOutput("ln -s " + Quoted(source) + " " + Quoted(drive));
    const std::string wim = folder / "out.wim";
    TaskState& task = Page(source, wim);
    task.captureSource = WSTR("Q:\\");
    const bool captured = RunCapture(task, false);
    Shell("rm -f " + Quoted(drive));
    // Wine rereads its drives at most once a second and knows them by inode:
    // a new folder that reuses this one's inode would pass for Q: meanwhile.
    Sleep(1100);
    ASSERT_TRUE(captured) << Log();
    EXPECT_NE(Log().find("映像檔來源:\tQ:\\\r\n"), std::string::npos) << Log();
    EXPECT_NE(Log().find("\t不包含: Q:\\pagefile.sys\r\n"), std::string::npos) << Log();
    EXPECT_EQ(SortedLines(ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 1")),
              (std::vector<std::string>{"/", "/keep.txt", "/sub", "/sub/pagefile.sys"}));
}

TEST_F(CaptureRealWim, AppendingWithANameAnotherImageHasSaysSoPlainly)
{
    const std::string wim = folder / "named.wim";
    MakeSampleWim(wim, 1);
    const std::string source = folder / "more";
    Shell("mkdir -p " + Quoted(source) + " && echo more > " + Quoted(source + "/file.txt"));
    TaskState& task = Page(source, wim);
    task.captureName = WSTR("Image 1");
    RunCapture(task, true);
    EXPECT_NE(Log().find("錯誤: 此映像檔中已有另一個映像卷使用這個名稱.\r\n"), std::string::npos) << Log();
    EXPECT_EQ(Log().find(SystemText(ERROR_ALREADY_EXISTS)), std::string::npos) << Log();
    EXPECT_EQ(WimlibInfo(wim)[1]["Name"], "Image 1");
}

TEST_F(CaptureRealWim, AppendMarksTheNewLastImageBootAndAFailedOneChangesNothing)
{
    const std::string wim = folder / "base.wim";
    MakeSampleWim(wim, 2);
    const std::string source = folder / "src";
    WriteSampleTree(source, 7);

    TaskState& task = Page(source, wim);
    task.captureBoot = true;
    task.captureName = WSTR("Third");
    ASSERT_TRUE(RunCapture(task, true)) << Log();
    EXPECT_NE(Log().find("成功讀取映像檔,內含 3 映像卷"), std::string::npos) << Log();
    EXPECT_EQ(InfoField(wim, 3, "Name"), "Third");
    EXPECT_NE(ShellOutput("wimlib-imagex info " + Quoted(wim)).find("Boot Index:     3"), std::string::npos);

    // Aborted appends, and a create over the file, leave it byte for byte.
    const std::string before = FileBytes(wim);
    for (bool append : {true, false}) {
        TaskState& aborted = Page(source, wim);
        aborted.abortRequested = true;
        EXPECT_FALSE(RunCapture(aborted, append));
        WCHAR text[kTextBufferSize];
        EXPECT_NE(Log().find("\r\n錯誤: 映像檔讀取錯誤.\r\n錯誤: " +
                             Narrow(SystemErrorText(text, ERROR_REQUEST_ABORTED)) + "\r\n"),
                  std::string::npos)
            << Log();
        EXPECT_EQ(FileBytes(wim), before) << append;
    }
    // A create that fails leaves no file.
    TaskState& fresh = Page(source, folder / "fresh.wim");
    fresh.abortRequested = true;
    EXPECT_FALSE(RunCapture(fresh, false));
    EXPECT_NE(access((folder / "fresh.wim").c_str(), F_OK), 0);
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())), "base.wim\nsrc\n");
}

}  // namespace
