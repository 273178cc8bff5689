// The Files page's reading and its Extract on real files, through the
// platform's imaging layer: folder listings against wimlib-imagex's own, and
// extracts compared with the tree that was captured.
#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"
#include "imaging/wimlib/apply_run.h"
#include "operations/image_source.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/message_listener.h"
#include "tests/support/scripted_imaging.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <unistd.h>

namespace {

std::string Line(UINT id, const WString& insert = {}, const WString& second = {})
{
    WCHAR text[kTextBufferSize];
    return Narrow(LoadMessage(text, id, insert.c_str(), second.c_str()));
}

// "Wed Dec 09 08:16:47 2026 UTC", as wimlib-imagex writes a time.
std::string PeerTime(const FILETIME& time)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SYSTEMTIME parts;
    FileTimeToSystemTime(&time, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02u %02u:%02u:%02u %u UTC", days[parts.wDayOfWeek],
                  months[parts.wMonth - 1], parts.wDay, parts.wHour, parts.wMinute, parts.wSecond,
                  parts.wYear);
    return text;
}

// Every entry below `folder`, one line each: path, attributes, size, last
// written; read folder by folder as the page reads them.
void ListTree(HANDLE image, const WString& folder, std::set<std::string>& lines)
{
    std::vector<ImageEntry> entries;
    ASSERT_TRUE(ListImageFolder(image, folder, entries)) << Narrow(folder) << " " << GetLastError();
    for (const ImageEntry& entry : entries) {
        const WString path = ImageChildPath(folder, entry.name);
        std::string unixPath = Narrow(path);
        std::replace(unixPath.begin(), unixPath.end(), '\\', '/');
        char attributes[16];
        std::snprintf(attributes, sizeof attributes, "0x%08x", static_cast<unsigned>(entry.attributes));
        lines.insert(unixPath + "|" + attributes + "|" + std::to_string(entry.size) + "|" +
                     PeerTime(entry.lastWrite));
        if (entry.IsFolder())
            ListTree(image, path, lines);
    }
}

// The same lines from wimlib-imagex dir --detailed.
std::set<std::string> PeerTree(const std::string& wim)
{
    const std::string text = ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 1 --detailed");
    std::set<std::string> lines;
    std::string path;
    std::string attributes;
    std::string written;
    bool sized = true;
    size_t start = 0;
    const auto value = [](const std::string& line) {
        const size_t equals = line.find(" = ");
        return equals == std::string::npos ? std::string() : line.substr(equals + 3);
    };
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.starts_with("Full Path")) {
            path = value(line);
            path = path.substr(1, path.size() - 2);
            sized = false;
        } else if (line.starts_with("Attributes")) {
            attributes = value(line);
        } else if (line.starts_with("Last Write Time")) {
            written = value(line);
        } else if (line.starts_with("Uncompressed size") && !sized) {
            sized = true;
            const bool directory = (std::stoul(attributes, nullptr, 16) & FILE_ATTRIBUTE_DIRECTORY) != 0;
            const std::string size = directory ? "0" : value(line).substr(0, value(line).find(' '));
            if (path != "/")
                lines.insert(path + "|" + attributes + "|" + size + "|" + written);
        }
    }
    return lines;
}

class FilesRealWim : public testing::Test {
protected:
    void SetUp() override
    {
        ShellOutput("set -e; mkdir -p " + Quoted(tree) + "/sub/nested/deeper " + Quoted(tree) + "/empty " +
                    Quoted(target) + "; cd " + Quoted(tree) +
                    "; printf hello > a.txt; head -c 70000 /dev/urandom > sub/random.bin"
                    "; printf 'deep text' > sub/nested/deeper/d.txt; : > sub/nested/zero"
                    "; ln sub/random.bin sub/nested/hardlink.bin"
                    "; touch -d '2001-02-03 04:05:06' a.txt; touch -d '2011-12-13 14:15:16' sub/nested");
        ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Files --compress=none");
    }

    bool Extract(std::vector<WString> items)
    {
        task.filesSource = DosPath(wim);
        task.filesIndex = 1;
        task.filesTarget = DosPath(target);
        task.filesItems = std::move(items);
        return RunExtract(task);
    }

    std::string Log() const { return Narrow(task.logText); }

    ScratchFolder folder;
    const std::string tree = folder / "tree";
    const std::string wim = folder / "files.wim";
    const std::string target = folder / "target";
    TaskState& task = FreshTask();
};

TEST_F(FilesRealWim, FoldersListAsTheCommandLinePeerListsThem)
{
    SourceImage source;
    ASSERT_EQ(OpenSourceImage(DosPath(wim).c_str(), 1, false, source), SourceStep::Ready);
    std::set<std::string> lines;
    ListTree(source.image.get(), WSTR("\\"), lines);
    EXPECT_EQ(lines, PeerTree(wim));
    EXPECT_EQ(lines.size(), 9u);

    // Wildcards and single names as FindFirstFileW takes them, and its end codes.
    struct {
        const WCHAR* pattern;
        std::vector<std::string> names;
        DWORD endCode;
    } const finds[] = {
        {WSTR("\\sub\\*"), {"nested", "random.bin"}, ERROR_NO_MORE_FILES},
        {WSTR("\\sub\\nested\\*.BIN"), {"hardlink.bin"}, ERROR_NO_MORE_FILES},
        {WSTR("\\sub\\nested\\?ero"), {"zero"}, ERROR_NO_MORE_FILES},
        {WSTR("\\a.txt"), {"a.txt"}, ERROR_NO_MORE_FILES},
        {WSTR("\\sub\\*.none"), {}, ERROR_FILE_NOT_FOUND},
        {WSTR("\\missing\\*"), {}, ERROR_PATH_NOT_FOUND},
        {WSTR("\\missing.txt"), {}, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& find : finds) {
        struct {
            WIM_FIND_DATA data;
            BYTE spare[kFindDataSpare];
        } buffer = {};
        std::vector<std::string> names;
        HANDLE handle = WIMFindFirstImageFile(source.image.get(), find.pattern, &buffer.data);
        DWORD code = GetLastError();
        if (handle != nullptr) {
            do
                names.push_back(Narrow(buffer.data.cFileName));
            while (WIMFindNextImageFile(handle, &buffer.data));
            code = GetLastError();
            EXPECT_TRUE(WIMCloseHandle(handle));
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, find.names) << Narrow(find.pattern);
        EXPECT_EQ(code, find.endCode) << Narrow(find.pattern);
    }
}

TEST_F(FilesRealWim, ExtractsFilesAndFoldersUnderTheirNames)
{
    const size_t descriptors = OpenDescriptorCount();
    ASSERT_TRUE(Extract({WSTR("\\a.txt"), WSTR("\\sub\\nested")})) << Log();
    EXPECT_EQ(ShellOutput("cd " + Quoted(target) + " && find . | LC_ALL=C sort"),
              ".\n./a.txt\n./nested\n./nested/deeper\n./nested/deeper/d.txt\n./nested/hardlink.bin\n"
              "./nested/zero\n");
    EXPECT_EQ(Shell("cmp " + Quoted(tree + "/a.txt") + " " + Quoted(target + "/a.txt")), 0);
    EXPECT_EQ(Shell("diff -r " + Quoted(tree + "/sub/nested") + " " + Quoted(target + "/nested")), 0);
    EXPECT_EQ(ShellOutput("stat -c %Y " + Quoted(target + "/a.txt")),
              ShellOutput("stat -c %Y " + Quoted(tree + "/a.txt")));
    EXPECT_NE(Log().find(Line(IDS_EXTRACT_ITEM_LINE, WSTR("\\sub\\nested"))), std::string::npos) << Log();
    EXPECT_NE(Log().find(Line(IDS_EXTRACTED).substr(0, 10)), std::string::npos) << Log();
    // The folder beside the target where the library wrote first is gone.
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())), "files.wim\ntarget\ntree\n");

    // The image's root stands for its entries; what is there already stays.
    const std::string before = ShellOutput("cat " + Quoted(target + "/a.txt"));
    EXPECT_FALSE(Extract({WSTR("\\")}));
    EXPECT_EQ(ShellOutput("cat " + Quoted(target + "/a.txt")), before);
    EXPECT_NE(Log().find(Line(IDS_EXTRACT_FAILED, WSTR("\\a.txt"))), std::string::npos) << Log();
    EXPECT_EQ(OpenDescriptorCount(), descriptors);  // the staging folder's too
}

// The staging folder's name taken over while the library writes: the folder
// now under that name is another program's, and it stays with what it holds;
// what is cleared is the folder the layer made, under whatever name it has.
TEST_F(FilesRealWim, AFolderPutUnderTheStagingNameIsNeverEmptiedOrRemoved)
{
    bool swapped = false;
    const MessageListener listener([&](DWORD message, WPARAM) {
        if (message == WIM_MSG_PROCESS && !swapped) {
            swapped = true;
            Shell("cd " + Quoted(target) +
                  " && s=$(ls -A | grep corvane-extract) && mv \"$s\" moved && mkdir \"$s\"" +
                  " && echo theirs > \"$s/keep\"");
        }
        return WIM_MSG_SUCCESS;
    });
    Extract({WSTR("\\sub\\nested")});  // the library writes by name, so it may fail
    ASSERT_TRUE(swapped);
    EXPECT_EQ(ShellOutput("cat " + Quoted(target) + "/.corvane-extract-*/keep"), "theirs\n") << Log();
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(target + "/moved")), "");
}

// Another folder under the staging name before the layer opens it (a
// target folder open to others' renames) is never held: the extract fails
// and that folder keeps what it holds, where it is.
TEST_F(FilesRealWim, AFolderSwappedInBeforeTheStagingIsOpenedIsLeftAsItIs)
{
    static std::string theirs;  // makes their folder under the name $s
    const auto hook = layer::StagingFolderMade;
    layer::StagingFolderMade = [](const char* s) {
        ShellOutput("s=" + Quoted(s) + "; mv $s $s.made; " + theirs);
    };
    const std::pair<const char*, const char*> cases[] = {{"mkdir -m 700 $s && echo x > $s/keep", "keep\n"},
                                                         {"mkdir -m 755 $s", ""},
                                                         {"mkdir -m 700 $s && chown nobody $s", ""}};
    for (const auto& [make, holds] : cases) {
        SCOPED_TRACE(make);
        if (geteuid() != 0 && std::strstr(make, "chown") != nullptr)
            continue;
        theirs = make;
        ShellOutput("rm -rf " + Quoted(target) + " && mkdir " + Quoted(target));
        EXPECT_FALSE(Extract({WSTR("\\sub\\nested")})) << Log();
        EXPECT_EQ(ShellOutput("cd " + Quoted(target) + " && ls -A .corvane-extract-??????"), holds);
        EXPECT_EQ(ShellOutput("cd " + Quoted(target) + " && ls -A | grep -v corvane-extract || true"), "");
    }
    layer::StagingFolderMade = hook;
}

// Refused names a caller answers "skip" for: the rest arrives, the refused
// items (one inside a subfolder) are taken back out of the staging folder,
// and nothing else is removed.
TEST_F(FilesRealWim, SkippedNamesAreTakenOutAndTheRestArrives)
{
    ShellOutput(
        "set -e; mkdir -p " + Quoted(tree) + "/odd/inner; cd " + Quoted(tree) +
        "/odd; printf x > aux.txt; printf y > ok.txt; printf z > 'inner/colon:name'; printf w > inner/kept");
    ShellOutput("rm " + Quoted(wim) + " && wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) +
                " Odd --compress=none");
    const MessageListener skip([](DWORD message, WPARAM) {
        return message == WIM_MSG_ERROR ? static_cast<DWORD>(WIM_MSG_SKIP_ERROR)
                                        : static_cast<DWORD>(WIM_MSG_SUCCESS);
    });
    DWORD created = 0;
    HANDLE file = WIMCreateFile(DosPath(wim).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, &created);
    ASSERT_NE(file, nullptr) << GetLastError();
    HANDLE image = WIMLoadImage(file, 1);
    ASSERT_NE(image, nullptr) << GetLastError();
    EXPECT_TRUE(WIMExtractImagePath(image, WSTR("\\odd"), DosPath(target + "/odd").c_str(), 0))
        << GetLastError();
    WIMCloseHandle(image);
    WIMCloseHandle(file);
    EXPECT_EQ(ShellOutput("cd " + Quoted(target) + " && find . | LC_ALL=C sort"),
              ".\n./odd\n./odd/inner\n./odd/inner/kept\n./odd/ok.txt\n");
}

// What cannot be extracted as asked: the run fails, says what and why, and
// the target folder (and the folder around it) holds nothing new.
TEST_F(FilesRealWim, RefusesWhatCannotBeWrittenAndLeavesNothing)
{
    // Names Linux holds and Windows does not, inside a folder and as the item.
    ShellOutput(
        "set -e; mkdir -p " + Quoted(tree) + "/odd; cd " + Quoted(tree) +
        "/odd; printf x > 'aux.txt'; printf y > 'ok.txt'; printf z > 'colon:name'; printf w > 'dot.'");
    ShellOutput("rm " + Quoted(wim) + " && wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) +
                " Odd --compress=none");
    // A copy whose file data is not in it: the blob table forgets one file.
    const std::string lacking = folder / "lacking.wim";
    const std::string craft = folder / "lose-data.py";
    std::ofstream(craft) << R"(import sys
data = bytearray(open(sys.argv[1], 'rb').read())
size = int.from_bytes(data[48:55], 'little'); offset = int.from_bytes(data[56:64], 'little')
for at in range(offset, offset + size, 50):
    if not data[at + 7] & 2 and int.from_bytes(data[at + 16:at + 24], 'little') == 5:
        data[at + 30] ^= 0xFF
open(sys.argv[2], 'wb').write(data)
)";
    ShellOutput("python3 " + Quoted(craft) + " " + Quoted(wim) + " " + Quoted(lacking));
    const WString odd = DosPath(target) + WSTR("\\odd");
    std::atomic<int> processed{0};
    struct Case {
        const char* name;
        std::string source;
        std::vector<WString> items;
        std::vector<std::string> lines;
        std::function<DWORD(DWORD, WPARAM)> listen;
    };
    WCHAR reason[kTextBufferSize];
    const auto why = [&reason](UINT id) { return WString(LoadTableString(id, reason)); };
    const std::string aborted = Narrow(SystemErrorText(reason, ERROR_REQUEST_ABORTED));
    const Case cases[] = {
        {"names inside a folder",
         wim,
         {WSTR("\\odd")},
         {Line(IDS_BAD_NAME, odd + WSTR("\\aux.txt"), why(IDS_NAME_DEVICE)),
          Line(IDS_BAD_NAME, odd + WSTR("\\colon:name"), why(IDS_NAME_CHARACTER)),
          Line(IDS_BAD_NAME, odd + WSTR("\\dot."), why(IDS_NAME_TRAILING)),
          Line(IDS_EXTRACT_FAILED, WSTR("\\odd"))},
         nullptr},
        {"the item's own name",
         wim,
         {WSTR("\\odd\\ok.txt"), WSTR("\\odd\\colon:name")},
         {Line(IDS_BAD_NAME, WSTR("\\odd\\colon:name"), why(IDS_NAME_CHARACTER))},
         nullptr},
        {"data the file lacks",
         lacking,
         {WSTR("\\a.txt")},
         {Line(IDS_DATA_MISSING, DosPath(target) + WSTR("\\a.txt")),
          Line(IDS_EXTRACT_FAILED, WSTR("\\a.txt"))},
         nullptr},
        {"abort",
         wim,
         {WSTR("\\sub")},
         {Line(IDS_EXTRACT_FAILED, WSTR("\\sub")), aborted},
         [&](DWORD message, WPARAM) {
             if (message == WIM_MSG_PROCESS && ++processed == 2)
                 task.abortRequested = true;
             return WIM_MSG_SUCCESS;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRunState(task);
        std::unique_ptr<MessageListener> listener;
        if (c.listen)
            listener = std::make_unique<MessageListener>(c.listen);
        task.filesSource = DosPath(c.source);
        task.filesIndex = 1;
        task.filesTarget = DosPath(target);
        task.filesItems = c.items;
        EXPECT_FALSE(RunExtract(task)) << Log();
        for (const std::string& line : c.lines)
            EXPECT_NE(Log().find(line), std::string::npos) << line << "\n" << Log();
        EXPECT_EQ(ShellOutput("ls -A " + Quoted(target) + " | wc -l"), "0\n") << Log();
        EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path()) + " | grep -c extract || true"), "0\n");
    }
}

}  // namespace
