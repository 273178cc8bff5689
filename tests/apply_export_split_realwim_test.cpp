// Apply, export and split on real files, through the platform's imaging
// layer, read back with wimlib-imagex: round trips, every compression, the
// part set of a split, and what an abort or a full disk leaves behind.
#include "base/log.h"
#include "imaging/wimgapi.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/message_listener.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/xml_notice.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace {

// What `find` sees of a tree: every entry with its type, mode, owner, group,
// link target and link count, and the size of all but folders.
std::string Listing(const std::string& root)
{
    return ShellOutput("cd " + Quoted(root) +
                       " && { find . -mindepth 1 ! -type d -printf '%P|%y|%m|%U|%G|%s|%l|%n\\n';"
                       " find . -mindepth 1 -type d -printf '%P|%y|%m|%U|%G\\n'; } | LC_ALL=C sort");
}

// Each file of an image with its attributes, link count, size and hash.
std::string FilesOf(const std::string& wim, int image)
{
    return ShellOutput("wimlib-imagex dir " + Quoted(wim) + " " + std::to_string(image) +
                       " --detailed | grep -E '^(Full Path|Attributes|Link Count|Hash|Uncompressed size) '");
}

// A tree with what a round trip must keep: Unicode names, empty folders,
// symbolic and hard links, sparse and empty files, a special file, and
// several modes and owners.
void MakeRichTree(const std::string& root, bool huge)
{
    const std::string script =
        "set -e; cd " + Quoted(root) +
        "; mkdir -p 'empty' 'Ünïcødé 資料夾/深層' 'sub/nested/empty too'"
        "; printf 'hello' > 'Ünïcødé 資料夾/深層/文件.txt'"
        "; head -c 70000 /dev/urandom > sub/random.bin"
        "; : > zero; : > 'sub/also zero'"
        "; ln sub/random.bin hardlink.bin"
        "; ln -s 'sub/random.bin' relative-link; ln -s /nonexistent/target dangling-link"
        "; truncate -s 8M sparse.img; printf 'in the middle' | dd of=sparse.img bs=1 seek=4000000 "
        "conv=notrunc "
        "2>/dev/null"
        "; mkfifo pipe"
        "; chmod 640 sub/random.bin; chmod 700 'sub/nested'; chmod 1777 empty; chmod 4755 zero"
        "; chown 1234:5678 'sub/also zero'; chown -h 42:43 relative-link" +
        std::string(huge ? "; truncate -s 64M huge.sparse" : "");
    ShellOutput(script);
}

// The part of a file that holds data, or "" when it is all holes.
bool AllHoles(const std::string& path)
{
    return Shell("python3 -c \"import os,sys; f=os.open(sys.argv[1],os.O_RDONLY)\n"
                 "try:\n  os.lseek(f,0,os.SEEK_DATA); sys.exit(1)\n"
                 "except OSError: sys.exit(0)\" " +
                 Quoted(path)) == 0;
}

class TransferRealWim : public testing::Test {
protected:
    XmlNoticeCounter notices;
    ScratchFolder folder;
    TaskState& task = FreshTask();
};

using ApplyRealWim = TransferRealWim;

TEST_F(ApplyRealWim, RoundTripKeepsNamesLinksModesOwnersAndSparseFiles)
{
    const std::string tree = folder / "tree";
    const std::string wim = folder / "rich.wim";
    const std::string out = folder / "out";
    Shell("mkdir -p " + Quoted(tree) + " " + Quoted(out));
    MakeRichTree(tree, true);
    // A large file of holes only stays all holes; 64 MB, since capture and
    // apply both hash and (de)compress every zero.
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) +
                " Rich --unix-data --compress=xpress");

    task.applySource = DosPath(wim);
    task.applyDestination = DosPath(out);
    task.applyIndex = 1;
    task.applyVerify = false;
    EXPECT_TRUE(RunApply(task)) << Narrow(task.logText);
    const std::string log = Narrow(task.logText);
    EXPECT_TRUE(log.ends_with("成功還原映像檔.\r\n") || log.find("成功還原映像檔,費時 ") != std::string::npos)
        << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;

    EXPECT_EQ(Listing(out), Listing(tree));
    ShellOutput("diff -r --no-dereference --exclude=huge.sparse --exclude=pipe " + Quoted(tree) + " " +
                Quoted(out));
    EXPECT_TRUE(AllHoles(out + "/huge.sparse"));
    // Every item was offered to the callback once.
    const int entries = std::stoi(ShellOutput("find " + Quoted(tree) + " -mindepth 1 | wc -l"));
    EXPECT_EQ(task.itemsDone, static_cast<uint32_t>(entries));
    EXPECT_EQ(task.lastPercent, 100u);
}

TEST_F(ApplyRealWim, AnImageWithoutUnixDataComesBackWithItsTimesAndLinks)
{
    // Captured as on Windows: no owners or modes, only names, data, times
    // (to 100 ns) and links.
    const std::string tree = folder / "plain";
    const std::string wim = folder / "plain.wim";
    const std::string out = folder / "out";
    ShellOutput("mkdir -p " + Quoted(tree + "/sub/empty") + " " + Quoted(out) + " && cd " + Quoted(tree) +
                " && printf hello > sub/a.txt && ln sub/a.txt hard.txt && ln -s sub/a.txt link"
                " && touch -h -d '2020-01-02 03:04:05.1234567' sub/a.txt link sub/empty sub");
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Plain");
    task.applySource = DosPath(wim);
    task.applyDestination = DosPath(out);
    task.applyIndex = 1;
    EXPECT_TRUE(RunApply(task)) << Narrow(task.logText);
    const std::string times = " -mindepth 1 -printf '%P|%y|%T@|%n|%l\\n' | LC_ALL=C sort";
    EXPECT_EQ(ShellOutput("cd " + Quoted(out) + " && find ." + times),
              ShellOutput("cd " + Quoted(tree) + " && find ." + times));
    ShellOutput("diff -r --no-dereference " + Quoted(tree) + " " + Quoted(out));
}

TEST_F(ApplyRealWim, VerifyReadsTheDataBackAndCatchesAChangedFile)
{
    const std::string tree = folder / "tree";
    const std::string wim = folder / "small.wim";
    Shell("mkdir -p " + Quoted(tree) + " " + Quoted(folder / "good"));
    MakeRichTree(tree, false);
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Small --unix-data");

    task.applySource = DosPath(wim);
    task.applyIndex = 1;
    task.applyVerify = true;
    task.applyDestination = DosPath(folder / "good");
    EXPECT_TRUE(RunApply(task)) << Narrow(task.logText);
    ShellOutput("diff -r --no-dereference --exclude=pipe " + Quoted(tree) + " " + Quoted(folder / "good"));

    // A file changed once wimlib has written it, longer or the same length:
    // the check reads it back and names it.
    const uint32_t entries =
        static_cast<uint32_t>(std::stoi(ShellOutput("find " + Quoted(tree) + " -mindepth 1 | wc -l")));
    const struct {
        const char* folder;
        const char* change;  // a shell command given the file's name
    } changes[] = {
        {"changed", "printf x >> "},
        {"overwritten", "printf xyz | dd conv=notrunc status=none bs=1 seek=100 of="},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.folder);
        const std::string target = folder / change.folder;
        Shell("mkdir -p " + Quoted(target));
        FreshTask();
        task.applySource = DosPath(wim);
        task.applyIndex = 1;
        task.applyVerify = true;
        task.applyDestination = DosPath(target);
        const std::string victim = target + "/sub/random.bin";
        MessageListener tamper([&](DWORD message, WPARAM) {
            if (message == WIM_MSG_PROCESS && Task().itemsDone + 1 == entries)
                Shell(change.change + Quoted(victim));
            return WIM_MSG_SUCCESS;
        });
        EXPECT_FALSE(RunApply(task));
        const std::string log = Narrow(task.logText);
        EXPECT_TRUE(log.ends_with("錯誤: 還原映像檔時出錯.\r\n錯誤: " + SystemText(ERROR_CRC) + "\r\n"))
            << log;
        EXPECT_NE(log.find("ERROR: " + Narrow(DosPath(target))), std::string::npos) << log;
        EXPECT_EQ(log.find("成功"), std::string::npos) << log;
    }
}

TEST_F(ApplyRealWim, AbortDuringTheApplyStopsItAndSaysSo)
{
    const std::string tree = folder / "many";
    const std::string wim = folder / "many.wim";
    ShellOutput("mkdir -p " + Quoted(folder / "out") + " " + Quoted(tree) + " && cd " + Quoted(tree) +
                " && for i in $(seq 1 400); do echo $i > f$i.txt; done");
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Many");
    task.applySource = DosPath(wim);
    task.applyIndex = 1;
    task.applyVerify = false;
    task.applyDestination = DosPath(folder / "out");
    MessageListener press([&](DWORD message, WPARAM) {
        if (message == WIM_MSG_PROCESS && Task().itemsDone == 50)
            Task().abortRequested = true;
        return WIM_MSG_SUCCESS;
    });
    EXPECT_FALSE(RunApply(task));
    const std::string log = Narrow(task.logText);
    EXPECT_TRUE(
        log.ends_with("錯誤: 還原映像檔時出錯.\r\n錯誤: " + SystemText(ERROR_REQUEST_ABORTED) + "\r\n"))
        << log;
    EXPECT_EQ(task.itemsDone, 50u);
    // What was written stays, but not all of it.
    const int applied = std::stoi(ShellOutput("find " + Quoted(folder / "out") + " -type f | wc -l"));
    EXPECT_LT(applied, 400);
}

// An abort asked for while one large file is written stops the apply inside
// that file: no item ends meanwhile, so only the library's abort queries
// can carry it.
TEST_F(ApplyRealWim, AbortInsideOneLargeFileStopsTheApplyThere)
{
    const std::string tree = folder / "large";
    const std::string wim = folder / "large.wim";
    ShellOutput("mkdir -p " + Quoted(folder / "out") + " " + Quoted(tree) +
                " && head -c 64000000 /dev/zero > " + Quoted(tree + "/big.bin") +
                " && wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Large --compress=none");
    task.applySource = DosPath(wim);
    task.applyIndex = 1;
    task.applyVerify = false;
    task.applyDestination = DosPath(folder / "out");
    AbortAtFirstProgress press;
    EXPECT_FALSE(RunApply(task));
    EXPECT_TRUE(Narrow(task.logText).ends_with("錯誤: " + SystemText(ERROR_REQUEST_ABORTED) + "\r\n"))
        << Narrow(task.logText);
    // wimlib reports every 1/128 of the data (120 messages here): all would come
    // without the queries.
    EXPECT_LE(press.progressAfterAbort, 1);
}

TEST_F(ApplyRealWim, BadTargetsAndIndexesFailWithTheirLines)
{
    const std::string wim = folder / "two.wim";
    MakeSampleWim(wim, 2);
    Shell("mkdir -p " + Quoted(folder / "out"));
    task.applySource = DosPath(wim);
    task.applyVerify = false;
    task.applyIndex = 3;
    task.applyDestination = DosPath(folder / "out");
    EXPECT_FALSE(RunApply(task));
    EXPECT_TRUE(Narrow(task.logText).ends_with("錯誤: 此映像檔 \"3\" 沒有任何映像卷.\r\n"))
        << Narrow(task.logText);

    // A file where a folder of the image must go.
    FreshTask();
    ShellOutput("mkdir -p " + Quoted(folder / "blocked") + " && touch " + Quoted(folder / "blocked/sub"));
    task.applySource = DosPath(wim);
    task.applyVerify = false;
    task.applyIndex = 1;
    task.applyDestination = DosPath(folder / "blocked");
    EXPECT_FALSE(RunApply(task));
    const std::string log = Narrow(task.logText);
    EXPECT_NE(log.find("ERROR: " + Narrow(DosPath(folder / "blocked")) + "\\sub [err = "), std::string::npos)
        << log;
    EXPECT_NE(log.find("錯誤: 還原映像檔時出錯.\r\n錯誤: "), std::string::npos) << log;
}

// Whatever is wrong with the file given as the WIM, apply and export say
// why after their failure line.
TEST_F(ApplyRealWim, BadSourcesAndAMissingTargetSayWhy)
{
    const std::string good = folder / "good.wim";
    MakeSampleWim(good, 1);
    const std::string content = FileBytes(good);
    ShellOutput("head -c 5000 /dev/urandom > " + Quoted(folder / "random.wim") + " && head -c " +
                std::to_string(content.size() / 2) + " " + Quoted(good) + " > " + Quoted(folder / "cut.wim") +
                " && : > " + Quoted(folder / "empty.wim") + " && mkdir " + Quoted(folder / "folder.wim") +
                " && mkdir " + Quoted(folder / "out"));
    // Three megabytes that do not compress, split into one-megabyte parts.
    ShellOutput("mkdir " + Quoted(folder / "big") + " && for i in 1 2 3; do head -c 1048576 /dev/urandom > " +
                Quoted(folder / "big") + "/$i; done && wimlib-imagex capture " + Quoted(folder / "big") +
                " " + Quoted(folder / "big.wim") + " --compress=none >/dev/null && wimlib-imagex split " +
                Quoted(folder / "big.wim") + " " + Quoted(folder / "set.swm") + " 1 >/dev/null && rm " +
                Quoted(folder / "set2.swm"));
    const std::string cannotOpen = "錯誤: 無法開啟映像檔.\r\n錯誤: ";
    const struct {
        std::string wim;
        std::string expected;
    } cases[] = {
        {folder / "missing.wim", cannotOpen},
        {folder / "random.wim", cannotOpen},
        {folder / "cut.wim", cannotOpen},
        {folder / "empty.wim", cannotOpen},
        {folder / "folder.wim", cannotOpen},
        {folder / "set.swm", "錯誤: 無法一起使用此分割映像檔的各部分.\r\n"},
    };
    for (const auto& c : cases) {
        for (bool apply : {true, false}) {
            TaskState& run = FreshTask();
            run.applySource = run.exportSource = DosPath(c.wim);
            run.applyIndex = run.exportIndex = 1;
            run.applyDestination = DosPath(folder / "out");
            run.exportDestination = DosPath(folder / "new.wim");
            EXPECT_FALSE(apply ? RunApply(run) : RunExport(run)) << c.wim << (apply ? " apply" : " export");
            const std::string log = Narrow(run.logText);
            const size_t at = log.find(c.expected);
            ASSERT_NE(at, std::string::npos) << c.wim << "\n" << log;
            // A reason with words, not the placeholder of a missing text.
            const size_t start = at + c.expected.size();
            const std::string reason = log.substr(start, log.find("\r\n", start) - start);
            EXPECT_GT(reason.size(), 3u) << c.wim << "\n" << log;
            EXPECT_EQ(reason.find("???"), std::string::npos) << c.wim << "\n" << log;
            EXPECT_NE(Shell("test -e " + Quoted(folder / "new.wim")), 0) << c.wim;
        }
    }

    // A target folder that does not exist is named as such.
    TaskState& run = FreshTask();
    run.applySource = DosPath(good);
    run.applyIndex = 1;
    run.applyDestination = DosPath(folder / "nowhere");
    EXPECT_FALSE(RunApply(run));
    EXPECT_NE(Narrow(run.logText)
                  .find("錯誤: 無法建立暫存資料夾.\r\n錯誤: 資料夾 \"" + Narrow(DosPath(folder / "nowhere")) +
                        "\" 不存在.\r\n"),
              std::string::npos)
        << Narrow(run.logText);
}

// A destination that cannot be opened says why: held by another writer.
TEST_F(ApplyRealWim, AnExportDestinationHeldByAWriterSaysSo)
{
    const std::string source = folder / "source.wim";
    const std::string held = folder / "held.wim";
    MakeSampleWim(source, 1);
    MakeSampleWim(held, 1);
    DWORD created = 0;
    HANDLE writer = WIMCreateFile(DosPath(held).c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE,
                                  WIM_OPEN_EXISTING, 0, WIM_COMPRESS_NONE, &created);
    ASSERT_NE(writer, nullptr);
    task.exportSource = DosPath(source);
    task.exportDestination = DosPath(held);
    task.exportIndex = 1;
    EXPECT_FALSE(RunExport(task));
    WIMCloseHandle(writer);
    EXPECT_NE(
        Narrow(task.logText).find("錯誤: 無法開啟映像檔.\r\n錯誤: " + SystemText(ERROR_SHARING_VIOLATION)),
        std::string::npos)
        << Narrow(task.logText);
}

using ExportRealWim = TransferRealWim;

TEST_F(ExportRealWim, EachCompressionIntoANewFileAndThenIntoThatFile)
{
    const std::string source = folder / "source.wim";
    MakeSampleWim(source, 2);
    const struct {
        const char* text;
        const char* shown;
    } kinds[] = {
        {"最大壓縮率(LZX)", "LZX"},
        {"快速壓縮(XPRESS)", "XPRESS"},
        {"無壓縮(None)", "None"},
        {"LZMS", "LZMS"},
    };
    for (const auto& kind : kinds) {
        const std::string destination = folder / (std::string(kind.shown) + ".wim");
        for (int index : {2, 1}) {
            TaskState& run = FreshTask();
            run.exportSource = DosPath(source);
            run.exportDestination = DosPath(destination);
            run.exportIndex = index;
            run.exportCompression = WideFromUtf8(kind.text);
            run.exportCheck = index == 1;
            EXPECT_TRUE(RunExport(run)) << kind.shown << "\n" << Narrow(run.logText);
        }
        auto info = WimlibInfo(destination);
        EXPECT_EQ(info[0]["Compression"], kind.shown);
        EXPECT_EQ(info[0]["Image Count"], "2") << kind.shown;
        EXPECT_EQ(info[1]["Name"], "Image 2") << kind.shown;
        EXPECT_EQ(info[2]["Name"], "Image 1") << kind.shown;
        EXPECT_EQ(info[2]["Description"], "Description 1") << kind.shown;
        ShellOutput("wimlib-imagex verify " + Quoted(destination));
        // The same files with the same data as in the source image; where
        // and how compressed the data lies differs with the file.
        EXPECT_EQ(FilesOf(destination, 1), FilesOf(source, 2)) << kind.shown;
    }
}

TEST_F(ExportRealWim, ADuplicateNameIsRefusedInWordsAndTheFileKept)
{
    const std::string source = folder / "source.wim";
    MakeSampleWim(source, 1);
    const std::string destination = folder / "dest.wim";
    ShellOutput("cp " + Quoted(source) + " " + Quoted(destination));
    const std::string before = FileBytes(destination);
    task.exportSource = DosPath(source);
    task.exportDestination = DosPath(destination);
    task.exportIndex = 1;
    EXPECT_FALSE(RunExport(task));
    const std::string log = Narrow(task.logText);
    EXPECT_NE(
        log.find("ERROR: " + Narrow(DosPath(destination)) + ": already holds an image named \"Image 1\""),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("\r\n錯誤: 拆分映像檔出錯.\r\n錯誤: "), std::string::npos) << log;
    EXPECT_EQ(FileBytes(destination), before);
}

// Every image into a file that holds one of their names: nothing is written,
// though the names before it were free; once the name is gone all of them
// arrive, in one write.
TEST_F(ExportRealWim, AllImagesIntoAFileHoldingOneOfTheirNamesAddNoneOrAll)
{
    const std::string source = folder / "source.wim";
    MakeSampleWim(source, 3);
    const std::string destination = folder / "dest.wim";
    MakeSampleWim(destination, 1);
    ShellOutput("wimlib-imagex info " + Quoted(destination) + " 1 'Image 2'");
    const std::string before = FileBytes(destination);
    TaskState& run = FreshTask();
    run.exportSource = DosPath(source);
    run.exportDestination = DosPath(destination);
    run.exportAllImages = true;
    EXPECT_FALSE(RunExport(run));
    const std::string log = Narrow(run.logText);
    EXPECT_NE(log.find(": already holds an image named \"Image 2\""), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("\r\n沒有拆分任何映像卷,目的映像檔維持原狀.\r\n")) << log;
    EXPECT_EQ(FileBytes(destination), before);
    EXPECT_EQ(WimlibInfo(destination)[0]["Image Count"], "1");
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(destination) + " >/dev/null"), 0);

    ShellOutput("wimlib-imagex info " + Quoted(destination) + " 1 'Kept'");
    TaskState& again = FreshTask();
    again.exportSource = DosPath(source);
    again.exportDestination = DosPath(destination);
    again.exportAllImages = true;
    EXPECT_TRUE(RunExport(again)) << Narrow(again.logText);
    auto info = WimlibInfo(destination);
    EXPECT_EQ(info[0]["Image Count"], "4");
    EXPECT_EQ(info[4]["Name"], "Image 3");
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(destination) + " >/dev/null"), 0);
}

// An export of a larger image, stopped by the abort button or by a full disk.
class ExportInterrupted : public TransferRealWim {
protected:
    void SetUp() override
    {
        source = folder / "big.wim";
        ShellOutput("mkdir -p " + Quoted(folder / "big") + " && head -c 6000000 /dev/urandom > " +
                    Quoted(folder / "big/data.bin"));
        ShellOutput("wimlib-imagex capture " + Quoted(folder / "big") + " " + Quoted(source) +
                    " Big --compress=none");
    }
    bool Export(const std::string& destination)
    {
        FreshTask();
        task.exportSource = DosPath(source);
        task.exportDestination = DosPath(destination);
        task.exportIndex = 1;
        task.exportCompression = WSTR("無壓縮(None)");
        return RunExport(task);
    }
    std::string source;
};

using ExportInterruptedRealWim = ExportInterrupted;

TEST_F(ExportInterruptedRealWim, AnAbortLeavesNoNewFileAndAnOldOneAsItWas)
{
    const std::string existing = folder / "existing.wim";
    MakeSampleWim(existing, 1);
    const std::string before = FileBytes(existing);
    // Pressed once part of the data is written; the writing stops there.
    WPARAM highest = 0;
    MessageListener press([&](DWORD message, WPARAM wParam) {
        if (message == WIM_MSG_PROGRESS && wParam > 0) {
            Task().abortRequested = true;
            highest = std::max(highest, wParam);
        }
        return WIM_MSG_SUCCESS;
    });
    for (const std::string& destination : {folder / "new.wim", existing}) {
        EXPECT_FALSE(Export(destination)) << destination;
        EXPECT_TRUE(Narrow(task.logText)
                        .ends_with("\r\n錯誤: 拆分映像檔出錯.\r\n錯誤: " + SystemText(ERROR_REQUEST_ABORTED) +
                                   "\r\n"))
            << Narrow(task.logText);
    }
    EXPECT_LT(highest, 100u);
    EXPECT_EQ(Shell("test -e " + Quoted(folder / "new.wim")), 1);
    EXPECT_EQ(FileBytes(existing), before);
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())), "big\nbig.wim\nexisting.wim\n");
    ShellOutput("wimlib-imagex verify " + Quoted(existing));
}

TEST_F(ExportInterruptedRealWim, AFullDiskLeavesNoNewFileAndAnOldOneAsItWas)
{
    const std::string disk = folder / "disk";
    SmallDisk tiny(disk, "4M");
    if (!tiny.mounted())
        GTEST_SKIP() << "no small file system can be mounted here";
    const std::string existing = disk + "/existing.wim";
    MakeSampleWim(existing, 1);
    const std::string before = FileBytes(existing);
    for (const std::string& destination : {disk + "/new.wim", existing}) {
        EXPECT_FALSE(Export(destination)) << destination;
        EXPECT_TRUE(
            Narrow(task.logText)
                .ends_with("\r\n錯誤: 拆分映像檔出錯.\r\n錯誤: " + SystemText(ERROR_DISK_FULL) + "\r\n"))
            << Narrow(task.logText);
    }
    EXPECT_EQ(FileBytes(existing), before);
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(disk)), "existing.wim\n");
    ShellOutput("wimlib-imagex verify " + Quoted(existing));
}

// Another program makes a file under the new destination's name while the
// export writes: the export fails and that file stays as it was made.
TEST_F(ExportInterruptedRealWim, AFileMadeUnderTheNameMeanwhileStays)
{
    const std::string destination = folder / "new.wim";
    bool made = false;
    MessageListener other([&](DWORD message, WPARAM) {
        if (message == WIM_MSG_PROGRESS && !made) {
            made = true;
            ShellOutput("echo \"another program's\" > " + Quoted(destination));
        }
        return WIM_MSG_SUCCESS;
    });
    EXPECT_FALSE(Export(destination));
    EXPECT_TRUE(made);
    EXPECT_TRUE(
        Narrow(task.logText)
            .ends_with("\r\n錯誤: 拆分映像檔出錯.\r\n錯誤: " + SystemText(ERROR_FILE_EXISTS) + "\r\n"))
        << Narrow(task.logText);
    EXPECT_EQ(FileBytes(destination), "another program's\n");
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())), "big\nbig.wim\nnew.wim\n");
}

using SplitRealWim = TransferRealWim;

// A WIM of about 3 MB in resources of up to 400 KB.
std::string MakeSplittable(const ScratchFolder& folder)
{
    const std::string tree = folder / "split-tree";
    ShellOutput("mkdir -p " + Quoted(tree + "/sub") + " && cd " + Quoted(tree) +
                " && for i in $(seq 1 8); do head -c $((i * 50000)) /dev/urandom > sub/part$i.bin; done"
                " && mkdir empty && echo small > small.txt");
    const std::string wim = folder / "whole.wim";
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Whole --compress=none");
    return wim;
}

// The parts of a set in `folder` whose first part is `first`.swm, checked
// to be named first.swm, first2.swm, first3.swm, ... with nothing else.
std::vector<std::string> PartsOf(const std::string& folder, const std::string& first)
{
    std::vector<std::string> parts;
    std::istringstream names(ShellOutput("ls " + Quoted(folder) + " | grep " + Quoted("^" + first)));
    std::string name;
    while (std::getline(names, name))
        parts.push_back(name);
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string expected = first + (i == 0 ? "" : std::to_string(i + 1)) + ".swm";
        EXPECT_NE(std::find(parts.begin(), parts.end(), expected), parts.end()) << expected;
    }
    return parts;
}

HANDLE OpenForReading(const std::string& path)
{
    DWORD created = 0;
    return WIMCreateFile(DosPath(path).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, &created);
}

TEST_F(SplitRealWim, PartsAreNamedLikeWimgapiStayWithinTheSizeAndReadBack)
{
    const std::string wim = MakeSplittable(folder);
    const std::string original = FileBytes(wim);
    const std::string parts = folder / "parts";
    Shell("mkdir -p " + Quoted(parts));
    std::vector<std::string> announced;
    MessageListener names([&](DWORD message, WPARAM wParam) {
        if (message == WIM_MSG_SPLIT)
            announced.push_back(Narrow(*reinterpret_cast<const WCHAR* const*>(wParam)));
        return WIM_MSG_SUCCESS;
    });
    HANDLE handle = OpenForReading(wim);
    ASSERT_NE(handle, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 1000000;
    EXPECT_TRUE(WIMSplitFile(handle, DosPath(parts + "/set.swm").c_str(), &size, 0));
    EXPECT_TRUE(WIMCloseHandle(handle));

    const std::vector<std::string> written = PartsOf(parts, "set");
    ASSERT_GE(written.size(), 2u);
    EXPECT_EQ(ShellOutput("ls " + Quoted(parts) + " | wc -l"), std::to_string(written.size()) + "\n");
    ASSERT_EQ(announced.size(), written.size());
    EXPECT_EQ(announced[0], Narrow(DosPath(parts + "/set.swm")));
    EXPECT_EQ(announced[1], Narrow(DosPath(parts + "/set2.swm")));
    for (const std::string& name : written)
        EXPECT_LE(FileBytes(parts + "/" + name).size(), 1000000u) << name;
    ShellOutput("wimlib-imagex apply " + Quoted(parts + "/set.swm") + " 1 " + Quoted(folder / "back") +
                " --ref=" + Quoted(parts + "/set*.swm"));
    ShellOutput("diff -r " + Quoted(folder / "split-tree") + " " + Quoted(folder / "back"));
    EXPECT_EQ(FileBytes(wim), original);

    // The information report on a later part reports its set, from the first part.
    task.infoSource = DosPath(parts + "/set2.swm");
    WString report;
    EXPECT_TRUE(BuildInfoReportText(task, report));
    const std::string partLine = "卷編號:\t1/" + std::to_string(written.size()) + "\r\n";
    EXPECT_NE(Narrow(report).find(partLine), std::string::npos) << Narrow(report);
    EXPECT_NE(Narrow(report).find("\t\tSPANNED\r\n"), std::string::npos) << Narrow(report);

    // A part of a set is not split again.
    FreshTask();
    task.splitSource = DosPath(parts + "/set2.swm");
    task.splitDestination = DosPath(folder / "again.swm");
    EXPECT_FALSE(RunSplit(task));
    EXPECT_NE(Narrow(task.logText).find("錯誤: WIM已被拆分.\r\n錯誤: 這是分割映像檔的第 2 部分"),
              std::string::npos)
        << Narrow(task.logText);
    EXPECT_TRUE(Narrow(task.logText).ends_with("\r\n\r\n錯誤: 分割WIM錯誤.\r\n")) << Narrow(task.logText);
}

TEST_F(SplitRealWim, WhatEveryPartRepeatsCountsAgainstTheSize)
{
    // Two stored files fill a part of 600,000 bytes and 200 to spare, which
    // leaves no room for the header, XML and table that each part has too.
    const std::string tree = folder / "four";
    ShellOutput("mkdir -p " + Quoted(tree) + " && cd " + Quoted(tree) +
                " && for i in 1 2 3 4; do head -c 300000 /dev/urandom > f$i.bin; done");
    const std::string wim = folder / "four.wim";
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Four --compress=none");
    HANDLE handle = OpenForReading(wim);
    ASSERT_NE(handle, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 600200;
    EXPECT_TRUE(WIMSplitFile(handle, DosPath(folder / "piece.swm").c_str(), &size, 0));
    EXPECT_TRUE(WIMCloseHandle(handle));
    const std::vector<std::string> written = PartsOf(folder.path(), "piece");
    EXPECT_EQ(written.size(), 4u);
    for (const std::string& part : written)
        EXPECT_LE(FileBytes(folder / part).size(), 600200u) << part;
}

TEST_F(SplitRealWim, ASizeTooSmallIsRefusedWithTheSizeThatWouldDo)
{
    // Many small files: the image's metadata, which the first part must
    // hold whole, is then larger than any file.
    const std::string many = folder / "many";
    ShellOutput("mkdir -p " + Quoted(many) + " && cd " + Quoted(many) +
                " && for i in $(seq 1 3000); do echo \"file $i\" > \"a-rather-long-file-name-$i.txt\"; done");
    ShellOutput("wimlib-imagex capture " + Quoted(many) + " " + Quoted(many + ".wim") +
                " Many --compress=none");
    const struct {
        std::string wim;
        LONGLONG asked;
        const char* first;
        size_t leastParts;
    } cases[] = {
        {MakeSplittable(folder), 300000, "small", 2},  // below the largest file, 400,000 bytes
        {many + ".wim", 400000, "pieces", 1},          // above the table and every file, below the metadata
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const WString first = DosPath(folder / (std::string(c.first) + ".swm"));
        HANDLE handle = OpenForReading(c.wim);
        ASSERT_NE(handle, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = c.asked;
        EXPECT_FALSE(WIMSplitFile(handle, first.c_str(), &size, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_GT(size.QuadPart, c.asked);
        EXPECT_EQ(Shell("ls " + Quoted(folder.path()) + " | grep -q " + Quoted(std::string("^") + c.first)),
                  1);
        // The size written back is enough.
        const LONGLONG minimum = size.QuadPart;
        EXPECT_TRUE(WIMSplitFile(handle, first.c_str(), &size, 0));
        EXPECT_EQ(size.QuadPart, minimum);
        const std::vector<std::string> written = PartsOf(folder.path(), c.first);
        EXPECT_GE(written.size(), c.leastParts);
        for (const std::string& part : written)
            EXPECT_LE(FileBytes(folder / part).size(), static_cast<size_t>(minimum)) << part;
        EXPECT_TRUE(WIMCloseHandle(handle));
    }
}

TEST_F(SplitRealWim, TheOperationWritesOnePartForASmallFile)
{
    const std::string wim = MakeSplittable(folder);
    task.splitSource = DosPath(wim);
    task.splitDestination = DosPath(folder / "whole.swm");
    task.splitSize = WSTR("CD (600 MB)");
    EXPECT_TRUE(RunSplit(task));
    EXPECT_TRUE(Narrow(task.logText)
                    .ends_with("\r\n開啟映像檔中...\r\nWriting file: whole.swm\r\n\r\n映像檔分割成功.\r\n"))
        << Narrow(task.logText);
    ShellOutput("wimlib-imagex verify " + Quoted(folder / "whole.swm"));
}

TEST_F(SplitRealWim, APartThatCannotTakeItsNamePutsBackWhatWasThere)
{
    const std::string wim = MakeSplittable(folder);
    // A folder where a later part must go; an older first part or none, and
    // an older part after the blocked one, which the new set replaced first.
    const struct {
        const char* blocked;
        bool olderFirstPart;
        bool olderThirdPart;
    } cases[] = {{"set2.swm", true, true}, {"set3.swm", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.blocked);
        const std::string parts = folder / (std::string("parts-") + c.blocked);
        ShellOutput("mkdir -p " + Quoted(parts + "/" + c.blocked + "/inside"));
        if (c.olderFirstPart)
            ShellOutput("printf old > " + Quoted(parts + "/set.swm"));
        if (c.olderThirdPart)
            ShellOutput("printf old3 > " + Quoted(parts + "/set3.swm"));
        HANDLE handle = OpenForReading(wim);
        ASSERT_NE(handle, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = 1000000;
        EXPECT_FALSE(WIMSplitFile(handle, DosPath(parts + "/set.swm").c_str(), &size, 0));
        EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(WIMCloseHandle(handle));
        const std::string left = std::string(c.olderFirstPart ? "./set.swm\n" : "") + "./" + c.blocked +
                                 "\n./" + c.blocked + "/inside\n" + (c.olderThirdPart ? "./set3.swm\n" : "");
        EXPECT_EQ(ShellOutput("cd " + Quoted(parts) + " && find . -mindepth 1 | LC_ALL=C sort"), left);
        EXPECT_EQ(FileBytes(parts + "/set.swm"), c.olderFirstPart ? "old" : "");
        if (c.olderThirdPart) {
            EXPECT_EQ(FileBytes(parts + "/set3.swm"), "old3");
        }
    }
}

// Names that look like the temporary parts of a split, whether their
// process still runs or not, are never taken for leftovers: what a killed
// split left goes only on the proof of its records (see the write-safety
// tests), so these all stay through a split into their folder.
TEST_F(SplitRealWim, NamesThatLookLikeTemporaryPartsStayThroughASplit)
{
    const std::string wim = MakeSplittable(folder);
    const std::string parts = folder / "parts";
    const std::string dead = ShellOutput("sh -c 'printf %s $$'");
    const std::vector<std::string> kept = {
        "set.swm.split-" + dead + "-17",     "set2.swm.split-" + dead + "-17",
        "other.swm.split-" + dead + "-5",    "set3.swm.split-1-17",
        "set.swm.split-" + dead + "-17.old", "notes.split-x"};
    ShellOutput("mkdir -p " + Quoted(parts));
    for (const std::string& name : kept)
        ShellOutput("printf keep > " + Quoted(parts + "/" + name));
    HANDLE handle = OpenForReading(wim);
    ASSERT_NE(handle, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 1000000;
    EXPECT_TRUE(WIMSplitFile(handle, DosPath(parts + "/set.swm").c_str(), &size, 0)) << GetLastError();
    EXPECT_TRUE(WIMCloseHandle(handle));
    for (const std::string& name : kept)
        EXPECT_EQ(FileBytes(parts + "/" + name), "keep") << name;
    EXPECT_EQ(ShellOutput("ls " + Quoted(parts) + " | grep -c '^set[0-9]*\\.swm$'"), "3\n");
}

TEST_F(SplitRealWim, AnAbortOrAFullDiskLeavesNoPartsAndTheSourceAlone)
{
    const std::string wim = MakeSplittable(folder);
    const std::string original = FileBytes(wim);
    LARGE_INTEGER size;
    {
        int parts = 0;
        MessageListener press([&](DWORD message, WPARAM) {
            return message == WIM_MSG_SPLIT && ++parts == 3 ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
        });
        HANDLE handle = OpenForReading(wim);
        size.QuadPart = 1000000;
        EXPECT_FALSE(WIMSplitFile(handle, DosPath(folder / "set.swm").c_str(), &size, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
        WIMCloseHandle(handle);
    }
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())), "split-tree\nwhole.wim\n");

    // Room for the first part of about 1.8 MB in parts of at most 1 MB, not
    // for the second.
    const std::string disk = folder / "disk";
    SmallDisk tiny(disk, "1200k");
    if (!tiny.mounted())
        GTEST_SKIP() << "no small file system can be mounted here";
    int begun = 0;
    MessageListener count([&](DWORD message, WPARAM) {
        begun += message == WIM_MSG_SPLIT;
        return WIM_MSG_SUCCESS;
    });
    HANDLE handle = OpenForReading(wim);
    size.QuadPart = 1000000;
    EXPECT_FALSE(WIMSplitFile(handle, DosPath(disk + "/set.swm").c_str(), &size, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    WIMCloseHandle(handle);
    EXPECT_GE(begun, 2);
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(disk)), "");
    EXPECT_EQ(FileBytes(wim), original);
}

// A new set under the name of an older, longer one: once the new set stands,
// the older set's parts that follow it go, whether that set came from this
// WIM (same GUID, another part count) or another; other files stay.
TEST_F(SplitRealWim, NoPartOfAnOlderSetStaysBesideTheNewOne)
{
    const std::string wim = MakeSplittable(folder);
    const std::string otherWim = folder / "other.wim";
    ShellOutput("wimlib-imagex capture " + Quoted(folder / "split-tree") + " " + Quoted(otherWim) +
                " Other --compress=none");
    auto split = [&](const std::string& from, const std::string& first, LONGLONG bytes) {
        HANDLE handle = OpenForReading(from);
        EXPECT_NE(handle, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = bytes;
        EXPECT_TRUE(WIMSplitFile(handle, DosPath(first).c_str(), &size, 0)) << GetLastError();
        WIMCloseHandle(handle);
    };
    const struct {
        const char* name;
        bool sameSource;
        bool strangerAfter;  // a file that is no part, named like the part after the old set
    } cases[] = {{"older set of this WIM", true, false}, {"older set of another WIM", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string parts = folder / (c.sameSource ? "same" : "other");
        ShellOutput("mkdir -p " + Quoted(parts));
        split(c.sameSource ? wim : otherWim, parts + "/p.swm", 700000);
        const size_t older = PartsOf(parts, "p").size();
        ASSERT_GE(older, 4u);
        const std::string stranger = parts + "/p" + std::to_string(older + 1) + ".swm";
        if (c.strangerAfter)
            ShellOutput("printf notes > " + Quoted(stranger));

        split(wim, parts + "/p.swm", 1600000);
        EXPECT_EQ(ShellOutput("ls " + Quoted(parts)),
                  "p.swm\np2.swm\n" + (c.strangerAfter ? "p" + std::to_string(older + 1) + ".swm\n" : ""));
        ShellOutput("wimlib-imagex verify " + Quoted(parts + "/p.swm") +
                    " --ref=" + Quoted(parts + "/p2.swm"));
        if (c.strangerAfter) {
            EXPECT_EQ(FileBytes(stranger), "notes");
        }
    }
}

}  // namespace
