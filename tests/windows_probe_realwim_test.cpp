// The offline Windows probe on real WIM files: the program's element reaches
// the file through the imaging layer, and captures of Windows-shaped trees
// (whole, damaged, with values missing) carry what the probe found.
#include "imaging/wimgapi.h"
#include "metadata/windows_probe.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/windows_tree.h"
#include "tests/support/xml_notice.h"

namespace {

// The image XML of a WIM file as wimlib-imagex reads it (UTF-8).
std::string FileXml(const std::string& wim)
{
    return ShellOutput("wimlib-imagex info --xml " + Quoted(wim) + " | iconv -f UTF-16 -t UTF-8");
}

// Opens image 1 of the WIM through the platform's imaging layer and probes
// `source` into it.
void ProbeWimImage(TaskState& task, const std::string& wim, const std::string& source,
                   const std::string& temp)
{
    DWORD created = 0;
    HANDLE file = WIMCreateFile(DosPath(wim).c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING,
                                0, 0, &created);
    ASSERT_NE(file, nullptr);
    HANDLE image = WIMLoadImage(file, 1);
    EXPECT_NE(image, nullptr);
    ProbeOfflineWindows(task, image, DosPath(source).c_str(), DosPath(temp).c_str());
    WIMCloseHandle(image);
    WIMCloseHandle(file);
}

TEST(WindowsProbeRealWim, TheProgramsElementReachesTheFileAndTheLibrarysStaysAlone)
{
    XmlNoticeCounter notices;
    ScratchFolder folder;
    TaskState task;
    const std::string tree = folder / "tree";
    const std::string temp = folder / "temp";
    ShellOutput("mkdir -p " + Quoted(temp));
    WriteWindowsTree(tree, "Windows");
    WriteSampleTree(tree + "/Users", 1);
    const std::string wim = folder / "captured.wim";
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Base --compress=none");

    // wimlib's capture writes a WINDOWS element and FLAGS of its own: the
    // probe leaves both as they are.
    const std::string library = FileXml(wim);
    ASSERT_THAT(library, testing::HasSubstr("<FLAGS>Professional</FLAGS>"));
    ProbeWimImage(task, wim, tree, temp);
    EXPECT_EQ(FileXml(wim), library);

    // Without them, as the Windows imaging library leaves a capture, the
    // probe's element and the edition in FLAGS reach the file.
    ShellOutput("wimlib-imagex info " + Quoted(wim) +
                " 1 --image-property WINDOWS= --image-property FLAGS= --image-property DISPLAYNAME="
                " --image-property DISPLAYDESCRIPTION=");
    ProbeWimImage(task, wim, tree, temp);
    const std::string xml = FileXml(wim);
    EXPECT_THAT(xml,
                testing::HasSubstr(
                    "<FLAGS>PROFESSIONAL</FLAGS><WINDOWS><ARCH>9</ARCH>"
                    "<PRODUCTNAME>Microsoft Windows Operating System</PRODUCTNAME><HAL>acpiapic_up</HAL>"
                    "<PRODUCTTYPE>WinNT</PRODUCTTYPE><PRODUCTSUITE>Terminal Server</PRODUCTSUITE>"
                    "<LANGUAGES><LANGUAGE>de-DE</LANGUAGE><LANGUAGE>en-US</LANGUAGE><DEFAULT>en-US</DEFAULT>"
                    "</LANGUAGES><VERSION><MAJOR>10</MAJOR><MINOR>0</MINOR><BUILD>19041</BUILD>"
                    "<SPBUILD>3636</SPBUILD></VERSION><SYSTEMROOT>WINDOWS</SYSTEMROOT></WINDOWS>"
                    "<NAME>Base</NAME>"));
    ShellOutput("wimlib-imagex verify " + Quoted(wim));

    // A damaged hive: nothing is written and no copy is left anywhere.
    ShellOutput("wimlib-imagex info " + Quoted(wim) + " 1 --image-property WINDOWS= --image-property FLAGS=");
    ShellOutput("head -c 9000 /dev/urandom > " + Quoted(tree + "/Windows/System32/config/SYSTEM"));
    const std::string before = FileBytes(wim);
    ProbeWimImage(task, wim, tree, temp);
    EXPECT_TRUE(FileBytes(wim) == before);
    EXPECT_EQ(ShellOutput("find " + Quoted(folder.path()) + " -iname '*.CRV'"), "");
    EXPECT_EQ(notices.count(), 0);
}

// A capture of `tree` into `wim` as the Capture page and the progress window
// run it: on the process's one record, which the capture's message callback
// reads (its abort flag and pattern lists), with `temp` as the temporary
// directory.
TaskState& CapturePage(const std::string& tree, const std::string& wim, const std::string& temp)
{
    TaskState& task = FreshTask();
    ShellOutput("mkdir -p " + Quoted(temp));
    task.captureSource = DosPath(tree);
    task.captureDestination = DosPath(wim);
    task.captureTempDir = DosPath(temp);
    return task;
}

TEST(WindowsProbeRealWim, ACaptureCarriesTheProbesElementAndThePagesFlagsWin)
{
    XmlNoticeCounter notices;
    ScratchFolder folder;
    const std::string tree = folder / "tree";
    const std::string wim = folder / "captured.wim";
    WriteWindowsTree(tree, "Windows");
    TaskState& task = CapturePage(tree, wim, folder / "temp");
    ASSERT_TRUE(RunCapture(task, false)) << Narrow(task.logText);

    // The program's element, not wimlib's (which has EDITIONID and no HAL),
    // with the edition in FLAGS.
    const std::string xml = FileXml(wim);
    EXPECT_THAT(xml, testing::HasSubstr("<FLAGS>PROFESSIONAL</FLAGS><WINDOWS><ARCH>9</ARCH>"
                                        "<PRODUCTNAME>Microsoft Windows Operating System</PRODUCTNAME>"
                                        "<HAL>acpiapic_up</HAL><PRODUCTTYPE>WinNT</PRODUCTTYPE>"));
    EXPECT_THAT(xml, testing::Not(testing::HasSubstr("EDITIONID")));
    EXPECT_THAT(xml, testing::HasSubstr("<DISPLAYNAME>My WIM 1</DISPLAYNAME>"));

    // A page's FLAGS text replaces the edition; wimlib's display texts do
    // not stand in for empty page texts.
    task.captureFlags = WSTR("Custom");
    task.captureDisplayName.clear();
    ASSERT_TRUE(RunCapture(task, true)) << Narrow(task.logText);
    const std::string second = ShellOutput("wimlib-imagex info " + Quoted(wim) + " 2");
    EXPECT_THAT(second, testing::ContainsRegex("Flags: +Custom"));
    EXPECT_THAT(second, testing::Not(testing::HasSubstr("Display Name:")));
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder / "temp")), "");
    EXPECT_EQ(notices.count(), 0);
}

TEST(WindowsProbeRealWim, ACaptureWithADamagedHiveSucceedsAndLeavesNoCopyAnywhere)
{
    const struct {
        const char* name;
        const char* damage;  // run in the tree's config folder
    } cases[] = {
        {"system hive of random bytes", "head -c 9000 /dev/urandom > SYSTEM"},
        {"software hive truncated", "head -c 6000 SOFTWARE > cut && mv cut SOFTWARE"},
        {"empty system hive", ": > SYSTEM"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        XmlNoticeCounter notices;
        ScratchFolder folder;
        const std::string tree = folder / "tree";
        const std::string wim = folder / "captured.wim";
        WriteWindowsTree(tree, "Windows");
        ShellOutput("cd " + Quoted(tree + "/Windows/System32/config") + " && " + c.damage);
        const std::string listing =
            "cd " + Quoted(tree) + " && find . | sort && find . -type f | xargs md5sum";
        const std::string before = ShellOutput(listing);

        TaskState& task = CapturePage(tree, wim, folder / "temp");
        ASSERT_TRUE(RunCapture(task, false)) << Narrow(task.logText);
        EXPECT_THAT(FileXml(wim), testing::Not(testing::HasSubstr("<WINDOWS>")));
        EXPECT_EQ(ShellOutput("find " + Quoted(folder.path()) + " -iname '*.CRV'"), "");
        EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder / "temp")), "");
        EXPECT_EQ(ShellOutput(listing), before);
        EXPECT_EQ(notices.count(), 0);
    }
}

// An installation with values missing (a system library without a version
// resource) still gets its element, with the values it has, and its FLAGS.
TEST(WindowsProbeRealWim, ACaptureOfAnInstallationWithValuesMissingCarriesWhatItHas)
{
    XmlNoticeCounter notices;
    ScratchFolder folder;
    const std::string tree = folder / "tree";
    const std::string wim = folder / "captured.wim";
    WriteWindowsTree(tree, "Windows");
    ShellOutput("echo MZ not really > " + Quoted(tree + "/Windows/System32/Kernel32.dll"));
    TaskState& task = CapturePage(tree, wim, folder / "temp");
    ASSERT_TRUE(RunCapture(task, false)) << Narrow(task.logText);
    const std::string xml = FileXml(wim);
    EXPECT_THAT(xml, testing::HasSubstr("<FLAGS>PROFESSIONAL</FLAGS><WINDOWS><ARCH>9</ARCH>"
                                        "<HAL>acpiapic_up</HAL><PRODUCTTYPE>WinNT</PRODUCTTYPE>"));
    EXPECT_THAT(xml, testing::HasSubstr("<SYSTEMROOT>WINDOWS</SYSTEMROOT></WINDOWS>"));
    EXPECT_THAT(xml, testing::Not(testing::HasSubstr("<VERSION>")));
    EXPECT_EQ(notices.count(), 0);
}

}  // namespace
