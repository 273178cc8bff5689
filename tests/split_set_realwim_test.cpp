// A split set as the source of every reading operation, on real parts that
// wimlib-imagex split from a three-image WIM, checked against that WIM with
// wimlib-imagex; the refusals of sets that cannot be used and of writes to a
// part; and what the layer itself refuses, as the system library does.
#include "base/log.h"
#include "imaging/wimgapi.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/scripted_imaging.h"

#include <functional>
#include <unistd.h>

namespace {

constexpr int kImages = 3;

class SplitSetRealWim : public testing::Test {
protected:
    void SetUp() override
    {
        whole = folder / "whole.wim";
        ShellOutput(
            "cd " + Quoted(folder.path()) +
            " && for i in 1 2 3; do mkdir -p tree$i/sub && head -c 300000 /dev/urandom > tree$i/a.bin"
            " && head -c 300000 /dev/urandom > tree$i/sub/b.bin && echo text $i > tree$i/sub/t.txt; done"
            " && wimlib-imagex capture tree1 whole.wim 'Image 1' 'Description 1' --compress=none >/dev/null"
            " && wimlib-imagex append tree2 whole.wim 'Image 2' 'Description 2' >/dev/null"
            " && wimlib-imagex append tree3 whole.wim 'Image 3' 'Description 3' >/dev/null"
            " && mkdir set && wimlib-imagex split whole.wim set/install.swm 0.7 >/dev/null");
        ASSERT_EQ(ShellOutput("ls " + Quoted(folder / "set")), "install.swm\ninstall2.swm\ninstall3.swm\n");
    }

    std::string Part(int number) const
    {
        return folder / ("set/install" + (number == 1 ? std::string() : std::to_string(number)) + ".swm");
    }

    // What wimlib-imagex applies of image `index` of the whole WIM.
    std::string Reference(int index)
    {
        const std::string tree = folder / ("reference" + std::to_string(index));
        if (Shell("test -d " + Quoted(tree)) != 0)
            ShellOutput("wimlib-imagex apply " + Quoted(whole) + " " + std::to_string(index) + " " +
                        Quoted(tree) + " >/dev/null");
        return tree;
    }

    // The image's files with their hashes, and its name and description.
    std::string ImageOf(const std::string& wim, int index)
    {
        return ShellOutput("wimlib-imagex dir " + Quoted(wim) + " " + std::to_string(index) +
                           " --detailed | grep -E '^(Full Path|Hash|Uncompressed size) '") +
               WimlibInfo(wim)[index]["Name"] + "|" + WimlibInfo(wim)[index]["Description"];
    }

    ScratchFolder folder;
    std::string whole;
    TaskState& task = FreshTask();
};

// Apply, export of one image and of all (the join), the report, and a
// read-only mount, given the first part or a later one (named in other case).
TEST_F(SplitSetRealWim, EveryReadingOperationTakesTheWholeSetFromAnyPart)
{
    ShellOutput("mv " + Quoted(Part(3)) + " " + Quoted(folder / "set/INSTALL3.SWM"));
    const bool canMount = access("/dev/fuse", R_OK | W_OK) == 0 && geteuid() == 0;
    if (canMount)
        setenv("CORVANE_MOUNT_RECORDS", (folder / "records").c_str(), 1);
    const std::string partLines = "分割部分 1/3:\t" + Narrow(DosPath(Part(1))) + "\r\n分割部分 2/3:\t" +
                                  Narrow(DosPath(Part(2))) + "\r\n分割部分 3/3:\t" +
                                  Narrow(DosPath(folder / "set")) + "\\INSTALL3.SWM\r\n";
    for (const std::string& given : {Part(1), Part(2)}) {
        SCOPED_TRACE(given);
        const std::string out = folder / "out";
        Shell("rm -rf " + Quoted(out) + " && mkdir -p " + Quoted(out) + "/applied " + Quoted(out) + "/mnt");

        TaskState& apply = FreshTask();
        apply.applySource = DosPath(given);
        apply.applyIndex = 2;
        apply.applyDestination = DosPath(out + "/applied");
        EXPECT_TRUE(RunApply(apply)) << Narrow(apply.logText);
        EXPECT_NE(Narrow(apply.logText).find(partLines), std::string::npos) << Narrow(apply.logText);
        ShellOutput("diff -r " + Quoted(Reference(2)) + " " + Quoted(out + "/applied"));

        TaskState& one = FreshTask();
        one.exportSource = DosPath(given);
        one.exportIndex = 3;
        one.exportDestination = DosPath(out + "/one.wim");
        EXPECT_TRUE(RunExport(one)) << Narrow(one.logText);
        ShellOutput("wimlib-imagex verify " + Quoted(out + "/one.wim") + " >/dev/null");
        EXPECT_EQ(ImageOf(out + "/one.wim", 1), ImageOf(whole, 3));

        TaskState& join = FreshTask();
        join.exportSource = DosPath(given);
        join.exportAllImages = true;
        join.exportDestination = DosPath(out + "/joined.wim");
        EXPECT_TRUE(RunExport(join)) << Narrow(join.logText);
        ShellOutput("wimlib-imagex verify " + Quoted(out + "/joined.wim") + " >/dev/null");
        auto joined = WimlibInfo(out + "/joined.wim");
        EXPECT_EQ(joined[0]["Part Number"], "1/1");
        EXPECT_EQ(joined[0]["Image Count"], std::to_string(kImages));
        EXPECT_EQ(joined[0]["Boot Index"], WimlibInfo(Part(1))[0]["Boot Index"]);
        for (int index = 1; index <= kImages; ++index)
            EXPECT_EQ(ImageOf(out + "/joined.wim", index), ImageOf(whole, index)) << index;

        TaskState& info = FreshTask();
        info.infoSource = DosPath(given);
        WString report;
        EXPECT_TRUE(BuildInfoReportText(info, report));
        const std::string text = Narrow(report);
        EXPECT_NE(text.find("卷編號:\t1/3\r\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\t\tSPANNED\r\n" + partLines), std::string::npos) << text;
        for (int index = 1; index <= kImages; ++index)
            EXPECT_NE(text.find("<NAME>Image " + std::to_string(index) + "</NAME>"), std::string::npos)
                << text;
        EXPECT_NE(text.find("檔案:\t\t3\r\n"), std::string::npos) << text;

        if (!canMount)
            continue;
        TaskState& mount = FreshTask();
        mount.mountSource = DosPath(given);
        mount.mountPath = DosPath(out + "/mnt");
        mount.mountIndex = 3;  // its data is in the last part
        mount.mountReadWrite = false;
        EXPECT_TRUE(RunMount(mount)) << Narrow(mount.logText);
        EXPECT_EQ(Shell("diff -r " + Quoted(Reference(3)) + " " + Quoted(out + "/mnt")), 0);
        TaskState& unmount = FreshTask();
        unmount.mountPath = DosPath(out + "/mnt");
        EXPECT_TRUE(RunUnmount(unmount)) << Narrow(unmount.logText);
        EXPECT_EQ(ShellOutput("ls -A " + Quoted(out + "/mnt")), "");
    }
    // Nothing was written into the set.
    EXPECT_EQ(ShellOutput("wimlib-imagex verify " + Quoted(Part(1)) + " --ref=" + Quoted(folder / "set/*") +
                          " >/dev/null && echo ok"),
              "ok\n");
}

// A set that cannot be used, and a write to one of its parts, is refused
// before anything is written, and says why.
TEST_F(SplitSetRealWim, SetsThatCannotBeUsedAndWritesToAPartAreRefusedBeforeAnythingIsWritten)
{
    ShellOutput("cd " + Quoted(folder.path()) +
                " && mkdir other && wimlib-imagex split whole.wim other/other.swm 0.7 >/dev/null"
                " && cp -r set missing && rm missing/install2.swm"
                " && cp -r set foreign && cp other/other2.swm foreign/install2.swm"
                " && cp -r set misplaced && cp set/install3.swm misplaced/install2.swm");
    const std::string out = folder / "out";
    Shell("mkdir -p " + Quoted(out) + "/applied " + Quoted(out) + "/mnt");
    const auto dos = [&](const std::string& name) { return DosPath(folder / name); };
    const std::string cannotChange =
        "錯誤: 這是分割映像檔的第 2 部分 (共 3 部分), 分割映像檔的各部分無法直接變更";
    const std::string unusable = "錯誤: 無法一起使用此分割映像檔的各部分.\r\n";
    const std::string missingPart2 =
        "缺少第 2 部分 (共 3 部分): 找不到 " + Narrow(DosPath(folder / "%s")) + "\\install2.swm.\r\n";
    const auto missingIn = [&](const std::string& set) {
        std::string text = missingPart2;
        text.replace(text.find("%s"), 2, set);
        return text;
    };
    const struct {
        const char* name;
        std::function<bool(TaskState&)> run;
        std::string expected;
    } cases[] = {
        {"apply with a part missing",
         [&](TaskState& t) {
             t.applySource = dos("missing/install3.swm");
             t.applyIndex = 1;
             t.applyDestination = DosPath(out + "/applied");
             return RunApply(t);
         },
         unusable + missingIn("missing")},
        {"export from a set with a foreign part",
         [&](TaskState& t) {
             t.exportSource = dos("foreign/install.swm");
             t.exportAllImages = true;
             t.exportDestination = DosPath(out + "/joined.wim");
             return RunExport(t);
         },
         unusable + Narrow(dos("foreign/install2.swm")) + " 屬於另一個分割映像檔 (GUID 不同), 不會使用.\r\n" +
             missingIn("foreign")},
        {"mount from a set with a part under another number",
         [&](TaskState& t) {
             t.mountSource = dos("misplaced/install.swm");
             t.mountPath = DosPath(out + "/mnt");
             t.mountIndex = 1;
             return RunMount(t);
         },
         unusable + Narrow(dos("misplaced/install2.swm")) +
             " 是第 3 部分 (共 3 部分), 不是第 2 部分 (共 3 部分)"},
        {"read/write mount",
         [&](TaskState& t) {
             t.mountSource = dos("set/install2.swm");
             t.mountPath = DosPath(out + "/mnt");
             t.mountIndex = 1;
             t.mountReadWrite = true;
             return RunMount(t);
         },
         cannotChange},
        {"change",
         [&](TaskState& t) {
             t.changeSource = dos("set/install2.swm");
             t.changeIndex = 1;
             t.changeName = WSTR("New name");
             return RunChange(t);
         },
         cannotChange},
        {"delete",
         [&](TaskState& t) {
             t.deleteSource = dos("set/install2.swm");
             t.deleteIndex = 1;
             return RunDelete(t);
         },
         cannotChange},
        {"capture appended",
         [&](TaskState& t) {
             t.captureSource = dos("tree1");
             t.captureDestination = dos("set/install2.swm");
             t.captureName = WSTR("Appended");
             return RunCapture(t, true);
         },
         cannotChange},
        {"split",
         [&](TaskState& t) {
             t.splitSource = dos("set/install2.swm");
             t.splitDestination = DosPath(out + "/again.swm");
             return RunSplit(t);
         },
         cannotChange},
        {"export into a part",
         [&](TaskState& t) {
             t.exportSource = DosPath(whole);
             t.exportIndex = 1;
             t.exportDestination = dos("set/install2.swm");
             return RunExport(t);
         },
         cannotChange},
    };
    // Every file with its size, time and content; folders' times may move
    // with a temporary folder made and removed.
    const auto Files = [&] {
        return ShellOutput("cd " + Quoted(folder.path()) +
                           " && find . -type f -printf '%P %s %T@\\n' | sort && md5sum */*.swm");
    };
    const std::string before = Files();
    for (const auto& c : cases) {
        TaskState& run = FreshTask();
        EXPECT_FALSE(c.run(run)) << c.name;
        const std::string log = Narrow(run.logText);
        EXPECT_NE(log.find(c.expected), std::string::npos) << c.name << "\n" << log;
        EXPECT_EQ(Files(), before) << c.name;
        EXPECT_EQ(
            ShellOutput("ls -A " + Quoted(out + "/mnt") + " " + Quoted(out + "/applied") + " | grep -vc :"),
            "1\n")
            << c.name;
        EXPECT_NE(Shell("ls " + Quoted(out) + "/*.wim " + Quoted(out) + "/*.swm 2>/dev/null"), 0) << c.name;
    }
}

// The layer refuses what the system library refuses: an image of a part
// whose set is not whole, and a solid file opened or referenced without the
// flag that says the caller takes one.
TEST_F(SplitSetRealWim, TheLayerRefusesAnIncompleteSetAndAnUnannouncedSolidFile)
{
    const std::string esd = folder / "solid.esd";
    ShellOutput("wimlib-imagex export " + Quoted(whole) + " all " + Quoted(esd) + " --solid >/dev/null");
    const struct {
        const char* name;
        int opened;  // the part the WIM handle is on
        std::vector<std::string> references;
        DWORD referenceFlags;
        bool loads;
    } cases[] = {
        {"first part alone", 1, {}, WIM_REFERENCE_APPEND, false},
        {"one further part missing", 1, {Part(2)}, WIM_REFERENCE_APPEND, false},
        {"a part twice for two", 1, {Part(2), Part(2)}, WIM_REFERENCE_APPEND, false},
        {"every part", 1, {Part(2), Part(3)}, WIM_REFERENCE_APPEND, true},
        {"the last replacing the others", 1, {Part(2), Part(3)}, WIM_REFERENCE_REPLACE, false},
        {"a later part as the WIM", 2, {Part(1), Part(3)}, WIM_REFERENCE_APPEND, false},
    };
    for (const auto& c : cases) {
        HANDLE wim = WIMCreateFile(DosPath(Part(c.opened)).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0,
                                   nullptr);
        ASSERT_NE(wim, nullptr) << c.name;
        for (const std::string& part : c.references)
            EXPECT_TRUE(WIMSetReferenceFile(wim, DosPath(part).c_str(), c.referenceFlags)) << c.name;
        HANDLE image = WIMLoadImage(wim, 1);
        EXPECT_EQ(image != nullptr, c.loads) << c.name;
        if (image != nullptr) {
            // The data of every part is there: the image applies whole.
            const std::string tree = folder / "loaded";
            EXPECT_TRUE(WIMApplyImage(image, DosPath(tree).c_str(), 0)) << GetLastError();
            EXPECT_EQ(Shell("diff -r " + Quoted(Reference(1)) + " " + Quoted(tree)), 0);
            EXPECT_TRUE(WIMCloseHandle(image));
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED)) << c.name;
        }
        EXPECT_TRUE(WIMCloseHandle(wim));
    }

    HANDLE refused = WIMCreateFile(DosPath(esd).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, nullptr);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_FORMAT));
    HANDLE wim = WIMCreateFile(DosPath(Part(1)).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_NE(wim, nullptr);
    EXPECT_FALSE(WIMSetReferenceFile(wim, DosPath(esd).c_str(), WIM_REFERENCE_APPEND));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_FORMAT));
    EXPECT_TRUE(WIMSetReferenceFile(wim, DosPath(esd).c_str(), WIM_REFERENCE_APPEND | WIM_FLAG_SOLID));
    EXPECT_TRUE(WIMCloseHandle(wim));
    HANDLE solid =
        WIMCreateFile(DosPath(esd).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, WIM_FLAG_SOLID, 0, nullptr);
    EXPECT_NE(solid, nullptr);
    EXPECT_TRUE(solid == nullptr || WIMCloseHandle(solid));
}

}  // namespace
