// Solid LZMS files (ESD) on real files, read back with wimlib-imagex: an ESD
// to a WIM and back with every image, captures and exports into a solid
// file, and what a solid file refuses.
#include "base/log.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/scripted_imaging.h"

#include <cstdlib>
#include <functional>

namespace {

// Each file of an image with its attributes, link count, size and hash.
std::string FilesOf(const std::string& wim, int image)
{
    return ShellOutput("wimlib-imagex dir " + Quoted(wim) + " " + std::to_string(image) +
                       " --detailed | grep -E '^(Full Path|Attributes|Link Count|Hash|Uncompressed size) '");
}

// Every IMAGE element of the file's XML, as written, and the boot index:
// what a conversion must carry over unchanged. The file's total size and the
// image's own byte count depend on the compression and are left out.
std::string ImagesXml(const std::string& wim)
{
    return ShellOutput(
        "wimlib-imagex info " + Quoted(wim) +
        " --extract-xml /dev/stdout | iconv -f UTF-16LE -t UTF-8 | python3 -c \""
        "import sys, xml.etree.ElementTree as T\n"
        "root = T.fromstring(sys.stdin.read().lstrip('\\ufeff'))\n"
        "print('boot', root.findtext('BOOT', '0'))\n"
        "for image in root.findall('IMAGE'):\n"
        "    image.remove(image.find('TOTALBYTES')) if image.find('TOTALBYTES') is not None else 0\n"
        "    print(T.tostring(image, encoding='unicode'))\"");
}

// Whether the file is solid: the version wimlib gives one, and its data in
// solid resources only.
bool Solid(const std::string& wim)
{
    const std::string blobs = ShellOutput("wimlib-imagex info " + Quoted(wim) + " --blobs");
    return WimlibInfo(wim)[0]["Version"] == "3584" &&
           blobs.find("WIM_RESHDR_FLAG_SOLID") != std::string::npos &&
           blobs.find("Flags             = WIM_RESHDR_FLAG_COMPRESSED  \n") == std::string::npos;
}

class EsdRealWim : public testing::Test {
protected:
    bool Export(const std::string& source, const std::string& destination, const char* compression, bool all,
                int index = 1)
    {
        TaskState& run = FreshTask();
        run.exportSource = DosPath(source);
        run.exportDestination = DosPath(destination);
        run.exportIndex = index;
        run.exportAllImages = all;
        run.exportCompression = WideFromUtf8(compression);
        return RunExport(run);
    }
    bool Capture(const std::string& tree, const std::string& wim, bool append, const char* name)
    {
        TaskState& run = FreshTask();
        run.captureSource = DosPath(tree);
        run.captureDestination = DosPath(wim);
        run.captureCompression = WSTR("LZMS");
        run.captureName = WideFromUtf8(name);
        return RunCapture(run, append);
    }
    std::string Log() const { return Narrow(Task().logText); }

    ScratchFolder folder;
};

// install.esd -> install.wim (LZX, every image) -> install.esd (LZMS): each
// step verifies, every image keeps its files, names, descriptions, flags and
// the rest of its XML, the boot mark follows its image, and the last file is
// solid again. An image applied from it is the tree it was captured from.
TEST_F(EsdRealWim, AnEsdToAWimAndBackKeepsEveryImage)
{
    const std::string trees = folder / "trees";
    ShellOutput(
        "set -e; cd " + Quoted(folder.path()) +
        "; mkdir -p trees/a/sys trees/b/sys trees/c/x; head -c 300000 /dev/urandom > trees/a/sys/big.bin"
        "; cp trees/a/sys/big.bin trees/b/sys/; printf 'b only' > 'trees/b/版本.txt'"
        "; head -c 5000 /dev/urandom > trees/c/x/c.bin; : > trees/c/empty");
    const std::string esd = folder / "install.esd";
    ShellOutput(
        "set -e; cd " + Quoted(folder.path()) +
        "; wimlib-imagex capture trees/a install.esd 'Home' 'Home edition' --flags=Core --solid"
        " --compress=LZMS >/dev/null"
        "; wimlib-imagex append trees/b install.esd 'Pro' 'Pro edition' --flags=Professional --solid"
        " >/dev/null"
        "; wimlib-imagex append trees/c install.esd '企業版' --flags=Enterprise --solid --boot >/dev/null");
    ASSERT_TRUE(Solid(esd));

    const std::string wim = folder / "install.wim";
    const std::string back = folder / "back.esd";
    ASSERT_TRUE(Export(esd, wim, "最大壓縮率(LZX)", true)) << Log();
    EXPECT_NE(Log().find("成功拆分映像檔,共 3 映像卷"), std::string::npos) << Log();
    ASSERT_TRUE(Export(wim, back, "LZMS", true)) << Log();

    const struct {
        const std::string& file;
        const char* compression;
        bool solid;
    } steps[] = {{wim, "LZX", false}, {back, "LZMS", true}};
    for (const auto& step : steps) {
        EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(step.file) + " >/dev/null 2>&1"), 0) << step.file;
        auto info = WimlibInfo(step.file);
        EXPECT_EQ(info[0]["Compression"], step.compression);
        EXPECT_EQ(info[0]["Image Count"], "3");
        EXPECT_EQ(info[0]["Boot Index"], "3");
        EXPECT_EQ(Solid(step.file), step.solid) << step.file;
        EXPECT_EQ(ImagesXml(step.file), ImagesXml(esd)) << step.file;
        for (int image = 1; image <= 3; ++image)
            EXPECT_EQ(FilesOf(step.file, image), FilesOf(esd, image)) << step.file << " image " << image;
    }
    const std::string applied = folder / "applied";
    ShellOutput("wimlib-imagex apply " + Quoted(back) + " 2 " + Quoted(applied) + " >/dev/null");
    EXPECT_EQ(Shell("diff -r " + Quoted(trees + "/b") + " " + Quoted(applied)), 0);
}

// Writing into a solid file: what wimlib allows keeps the file solid and
// readable, whatever the data came from.
TEST_F(EsdRealWim, CapturesAndExportsIntoASolidFileKeepItSolid)
{
    ShellOutput("set -e; cd " + Quoted(folder.path()) +
                "; mkdir -p one two three; head -c 100000 /dev/urandom > one/a; printf two > two/b"
                "; head -c 7000 /dev/urandom > three/c"
                "; wimlib-imagex capture three lzx.wim Three --compress=LZX >/dev/null");
    const std::string esd = folder / "new.esd";
    const struct {
        const char* step;
        std::function<bool()> run;
        const char* images;
    } steps[] = {
        {"capture a new LZMS file", [&] { return Capture(folder / "one", esd, false, "One"); }, "1"},
        {"append a capture", [&] { return Capture(folder / "two", esd, true, "Two"); }, "2"},
        {"export a non-solid LZX image into it",
         [&] { return Export(folder / "lzx.wim", esd, "最大壓縮率(LZX)", false); }, "3"},
    };
    for (const auto& step : steps) {
        ASSERT_TRUE(step.run()) << step.step << "\n" << Log();
        EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(esd) + " >/dev/null 2>&1"), 0) << step.step;
        EXPECT_TRUE(Solid(esd)) << step.step;
        auto info = WimlibInfo(esd);
        EXPECT_EQ(info[0]["Compression"], "LZMS") << step.step;
        EXPECT_EQ(info[0]["Image Count"], step.images) << step.step;
    }
    EXPECT_EQ(FilesOf(esd, 3), FilesOf(folder / "lzx.wim", 1));
    EXPECT_EQ(WimlibInfo(esd)[2]["Name"], "Two");
}

// A read/write mount of a solid file would end in a commit into it: refused
// in words before anything is made, the file byte for byte as it was. A
// read-only mount is not refused for that reason.
TEST_F(EsdRealWim, AReadWriteMountOfASolidFileIsRefusedAndTheFileKept)
{
    setenv("CORVANE_MOUNT_RECORDS", (folder / "records").c_str(), 1);
    ShellOutput("set -e; cd " + Quoted(folder.path()) +
                "; mkdir -p t mnt; printf x > t/f; wimlib-imagex capture t s.esd S --solid >/dev/null");
    const std::string esd = folder / "s.esd";
    const std::string before = FileBytes(esd);
    TaskState& run = FreshTask();
    run.mountSource = DosPath(esd);
    run.mountPath = DosPath(folder / "mnt");
    run.mountIndex = 1;
    run.mountReadWrite = true;
    EXPECT_FALSE(RunMount(run));
    const std::string log = Log();
    EXPECT_NE(log.find(Narrow(DosPath(esd)) + ": is a solid (ESD) file, which cannot be mounted for writing"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(SystemText(ERROR_BAD_FORMAT)), std::string::npos) << log;
    EXPECT_EQ(FileBytes(esd), before);
    EXPECT_EQ(ShellOutput("ls " + Quoted(folder.path())), "mnt\ns.esd\nt\n") << "no staging folder or record";
    unsetenv("CORVANE_MOUNT_RECORDS");
}

}  // namespace
