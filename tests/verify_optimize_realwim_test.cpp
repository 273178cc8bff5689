// Verify and optimize on real files: the verdict against wimlib-imagex
// verify's on damaged copies, the damaged entry named, and an optimize that
// gives back what in-place writes left, keeps every image and refuses what
// it cannot rebuild.
#include "base/log.h"
#include "base/resource.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/message_listener.h"
#include "tests/support/scripted_imaging.h"

#include <fstream>

namespace {

std::string Line(UINT id, std::initializer_list<DWORD_PTR> inserts)
{
    WCHAR buffer[kTextBufferSize];
    return Narrow(LoadMessageArgs(buffer, id, inserts));
}

std::string Reason(UINT id)
{
    WCHAR buffer[kTextBufferSize];
    return Narrow(LoadTableString(id, buffer));
}

// Where the data of the file whose content is `bytes` lies in `wim`.
uint64_t DataOffset(const std::string& wim, const std::string& path)
{
    const std::string hash = ShellOutput("sha1sum " + Quoted(path) + " | cut -c1-40");
    return std::stoull(ShellOutput("wimlib-imagex info " + Quoted(wim) + " --blobs | grep -A3 '0x" +
                                   hash.substr(0, 40) +
                                   "' | sed -n 's/^Offset in WIM *= \\([0-9]*\\).*/\\1/p'"));
}

uint64_t HeaderField(const std::string& wim, const std::string& field)
{
    return std::stoull(ShellOutput("wimlib-imagex info " + Quoted(wim) + " --header | sed -n 's/^" + field +
                                   " *= \\([0-9]*\\).*/\\1/p'"));
}

uint64_t MetadataOffset(const std::string& wim)
{
    return std::stoull(ShellOutput("wimlib-imagex info " + Quoted(wim) +
                                   " --blobs | grep -B6 'FLAG_METADATA' | sed -n "
                                   "'s/^Offset in WIM *= \\([0-9]*\\).*/\\1/p' | head -1"));
}

void FlipByte(const std::string& path, uint64_t offset)
{
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    const char byte = static_cast<char>(file.get() ^ 0x5A);
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(byte);
}

class VerifyOptimizeRealWim : public testing::Test {
protected:
    void SetUp() override { previous_ = SetImagingLibrary(&PlatformImagingLibrary()); }
    void TearDown() override { SetImagingLibrary(previous_); }

    // Two images: the tree, then the tree and one more file.
    std::string MakeWim(const std::string& name, const std::string& options)
    {
        const std::string tree = folder / "tree";
        if (access(tree.c_str(), F_OK) != 0) {
            ShellOutput("mkdir -p " + Quoted(tree + "/sub") + " && head -c 30000 /dev/urandom > " +
                        Quoted(tree + "/a.bin") + " && echo text > " + Quoted(tree + "/b.txt") +
                        " && head -c 40000 /dev/urandom > " + Quoted(tree + "/sub/c.bin") +
                        " && head -c 50000 /dev/urandom > " + Quoted(folder / "d.bin"));
        }
        const std::string wim = folder / name;
        ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " One " + options);
        ShellOutput("cp " + Quoted(folder / "d.bin") + " " + Quoted(tree) + " && wimlib-imagex append " +
                    Quoted(tree) + " " + Quoted(wim) + " Two " + options + " && rm " +
                    Quoted(tree + "/d.bin"));
        return wim;
    }

    bool Run(bool (*operation)(TaskState&), const std::string& wim)
    {
        TaskState& task = FreshTask();
        task.infoSource = DosPath(wim);
        const bool done = operation(task);
        log = Narrow(Task().logText);
        return done;
    }

    ScratchFolder folder;
    std::string log;
    const ImagingLibrary* previous_ = nullptr;
};

// Each kind of damage: Corvane's verdict is wimlib-imagex verify's, and the
// entry that holds the damage is named with what is wrong with it.
TEST_F(VerifyOptimizeRealWim, DamagedFilesAreFoundAsThePeerFindsThemAndTheirEntriesNamed)
{
    struct Case {
        const char* name;
        const char* options;
        std::function<void(const std::string& wim)> damage;
        std::string named;  // a line the log must hold
        int damaged = 0;    // the entries the closing line counts, when known
    };
    const std::string c = folder / "tree/sub/c.bin";
    const std::string d = folder / "d.bin";
    const Case cases[] = {
        {"intact", "--compress=none", [](const std::string&) {}, ""},
        {"intact, compressed, with an integrity table", "--check", [](const std::string&) {}, ""},
        {"a file's data in both images", "--compress=none",
         [&](const std::string& wim) { FlipByte(wim, DataOffset(wim, c) + 100); },
         Line(IDS_VERIFY_DAMAGED_ENTRY,
              {1, MessageInsert(WSTR("\\sub\\c.bin")),
               MessageInsert(WideFromUtf8(Reason(IDS_VERIFY_HASH_MISMATCH)).c_str())}),
         2},
        {"a file of the second image only", "--compress=none",
         [&](const std::string& wim) { FlipByte(wim, DataOffset(wim, d) + 7); },
         Line(IDS_VERIFY_DAMAGED_ENTRY,
              {2, MessageInsert(WSTR("\\d.bin")),
               MessageInsert(WideFromUtf8(Reason(IDS_VERIFY_HASH_MISMATCH)).c_str())}),
         1},
        {"the metadata", "--compress=none",
         [](const std::string& wim) { FlipByte(wim, MetadataOffset(wim) + 120); }, ""},
        {"the XML", "--compress=none",
         [](const std::string& wim) { FlipByte(wim, HeaderField(wim, "XML Data Offset") + 2); }, ""},
        {"the blob table", "--compress=none",
         [](const std::string& wim) { FlipByte(wim, HeaderField(wim, "Blob Table Offset") + 30); }, ""},
        {"inside a solid block", "--solid", [](const std::string& wim) { FlipByte(wim, 208 + 700); }, ""},
        {"cut short", "--compress=none",
         [](const std::string& wim) { ShellOutput("truncate -s -2000 " + Quoted(wim)); }, ""},
        {"data under an integrity table", "--compress=none --check",
         [&](const std::string& wim) { FlipByte(wim, DataOffset(wim, c) + 5); },
         Line(IDS_VERIFY_INTEGRITY_DAMAGED, {}), 3},
    };
    int number = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string wim = MakeWim("case" + std::to_string(++number) + ".wim", k.options);
        k.damage(wim);
        const bool peerIntact = Shell("wimlib-imagex verify " + Quoted(wim)) == 0;
        const bool intact = Run(RunVerify, wim);
        EXPECT_EQ(intact, peerIntact) << log;
        EXPECT_EQ(log.find(Line(IDS_VERIFY_INTACT, {2})) != std::string::npos, intact) << log;
        if (!k.named.empty()) {
            EXPECT_NE(log.find(k.named), std::string::npos) << log;
        }
        if (k.damaged != 0) {
            EXPECT_NE(log.find(Line(IDS_VERIFY_DAMAGED, {static_cast<DWORD_PTR>(k.damaged)})),
                      std::string::npos)
                << log;
        }
    }
}

// A file grown by in-place writes is rebuilt smaller, no larger than the
// peer's rebuild, with every image, its XML and the boot mark; a solid file
// stays solid and an integrity table stays.
// An abort asked for while one large file's data is checked stops the check
// there: no entry ends meanwhile, so only the questions asked between
// wimlib's messages can see it.
TEST_F(VerifyOptimizeRealWim, AnAbortInsideOneLargeFileStopsTheCheck)
{
    const std::string tree = folder / "large";
    const std::string wim = folder / "large.wim";
    ShellOutput("mkdir -p " + Quoted(tree) + " && head -c 64000000 /dev/zero > " + Quoted(tree + "/big.bin") +
                " && wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Large --compress=none");
    AbortAtFirstProgress press;
    EXPECT_FALSE(Run(RunVerify, wim));
    EXPECT_NE(log.find(SystemText(ERROR_REQUEST_ABORTED)), std::string::npos) << log;
    // wimlib reports every 1/128 of the data (120 messages here): all would come
    // without the questions.
    EXPECT_LE(press.progressAfterAbort, 1);
}

TEST_F(VerifyOptimizeRealWim, OptimizeGivesBackDeadSpaceAndKeepsEveryImage)
{
    for (const char* options : {"", "--solid", "--check"}) {
        SCOPED_TRACE(options);
        const std::string wim = MakeWim(std::string("grown") + options + ".wim", options);
        ShellOutput("wimlib-imagex append " + Quoted(folder / "tree") + " " + Quoted(wim) + " Three " +
                    options + " && wimlib-imagex delete " + Quoted(wim) + " 2 --soft && wimlib-imagex info " +
                    Quoted(wim) + " 2 --boot");
        auto before = WimlibInfo(wim);
        const std::string peer = wim + ".peer";
        ShellOutput("cp " + Quoted(wim) + " " + Quoted(peer) + " && wimlib-imagex optimize " + Quoted(peer));
        const size_t sizeBefore = FileBytes(wim).size();
        const bool integrity = HeaderField(wim, "Integrity Size") != 0;

        ASSERT_TRUE(Run(RunOptimize, wim)) << log;
        const size_t sizeAfter = FileBytes(wim).size();
        EXPECT_LT(sizeAfter, sizeBefore);
        EXPECT_LE(sizeAfter, FileBytes(peer).size() * 101 / 100);
        EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(wim)), 0);
        auto after = WimlibInfo(wim);
        EXPECT_EQ(after[0]["Boot Index"], "2");
        EXPECT_EQ(after[0]["Compression"], before[0]["Compression"]);
        EXPECT_EQ(HeaderField(wim, "Integrity Size") != 0, integrity);
        for (int image = 1; image <= 2; ++image) {
            EXPECT_EQ(after[image]["Name"], before[image]["Name"]);
            EXPECT_EQ(after[image]["Total Bytes"], before[image]["Total Bytes"]);
            EXPECT_EQ(ShellOutput("wimlib-imagex dir " + Quoted(wim) + " " + std::to_string(image)),
                      ShellOutput("wimlib-imagex dir " + Quoted(peer) + " " + std::to_string(image)));
        }
        EXPECT_NE(log.find(Narrow(DecimalText(static_cast<long long>(sizeBefore)))), std::string::npos)
            << log;
        EXPECT_NE(log.find(Narrow(DecimalText(static_cast<long long>(sizeAfter)))), std::string::npos) << log;
        EXPECT_EQ(ShellOutput("ls " + Quoted(folder.path()) + " | grep -c optimized || true"), "0\n");
    }
}

// What cannot be rebuilt is refused before anything is written: a part of a
// split set (which verifies as a whole), and a file another writer holds.
TEST_F(VerifyOptimizeRealWim, OptimizeRefusesASplitPartAndAFileAnotherWriterHolds)
{
    const std::string wim = MakeWim("whole.wim", "--compress=none");
    ShellOutput("wimlib-imagex split " + Quoted(wim) + " " + Quoted(folder / "set.swm") + " 0.04");
    const std::string part = folder / "set.swm";
    const std::string listing = ShellOutput("ls -l --time-style=full-iso " + Quoted(folder.path()));
    const std::string partBytes = FileBytes(part);
    EXPECT_FALSE(Run(RunOptimize, part));
    EXPECT_NE(log.find(Line(IDS_OPTIMIZE_FAILED, {})), std::string::npos) << log;
    const int parts = std::stoi(ShellOutput("ls " + Quoted(folder.path()) + " | grep -c swm"));
    EXPECT_NE(log.find(Line(IDS_SET_CANNOT_CHANGE, {1, static_cast<DWORD_PTR>(parts)})), std::string::npos)
        << log;
    // Verify reads the whole set, given any of its parts.
    EXPECT_TRUE(Run(RunVerify, folder / "set2.swm")) << log;
    EXPECT_NE(log.find(Line(IDS_VERIFY_INTACT, {2})), std::string::npos) << log;
    EXPECT_TRUE(FileBytes(part) == partBytes);

    DWORD creation = 0;
    HANDLE writer = WIMCreateFile(DosPath(wim).c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE,
                                  WIM_OPEN_EXISTING, 0, WIM_COMPRESS_NONE, &creation);
    ASSERT_NE(writer, nullptr) << GetLastError();
    const std::string wimBytes = FileBytes(wim);
    EXPECT_FALSE(Run(RunOptimize, wim));
    WIMCloseHandle(writer);
    EXPECT_NE(log.find(Line(IDS_OPEN_WIM_FAILED, {})), std::string::npos) << log;
    EXPECT_TRUE(FileBytes(wim) == wimBytes);
    EXPECT_EQ(ShellOutput("ls -l --time-style=full-iso " + Quoted(folder.path())), listing);
}

// A file put under the name while the rebuild was written is another
// program's: it stays, and so does the rebuilt file, named in the log.
TEST_F(VerifyOptimizeRealWim, OptimizeNeverRenamesOverAFileThatReplacedTheOldOne)
{
    const std::string wim = MakeWim("replaced.wim", "--compress=none");
    const std::string other = folder / "other";
    ShellOutput("echo a file of another program > " + Quoted(other));
    bool replaced = false;
    const MessageListener listener([&](DWORD message, WPARAM) {
        if (message == WIM_MSG_PROGRESS && !replaced) {
            replaced = true;
            Shell("cp " + Quoted(other) + " " + Quoted(wim + ".new") + " && mv " + Quoted(wim + ".new") +
                  " " + Quoted(wim));
        }
        return WIM_MSG_SUCCESS;
    });
    EXPECT_FALSE(Run(RunOptimize, wim));
    EXPECT_TRUE(replaced);
    EXPECT_TRUE(FileBytes(wim) == FileBytes(other));
    EXPECT_NE(log.find(Line(IDS_OPTIMIZE_KEPT, {MessageInsert(DosPath(wim + ".optimized").c_str())})),
              std::string::npos)
        << log;
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(wim + ".optimized")), 0);
}

}  // namespace
