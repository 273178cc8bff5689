// The capture configuration file: pattern entries, the section reader on
// well-formed and hostile files, the defaults, and the show-settings log.
#include "capture_config/capture_config.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/scripted_imaging.h"

#include <cstring>
#include <fstream>
#include <random>

namespace {

std::vector<std::string> Patterns(const PatternList& list)
{
    std::vector<std::string> patterns;
    for (int32_t i = 0; i < list.count; ++i)
        patterns.push_back(Narrow(list.entries[static_cast<size_t>(i)].pattern));
    return patterns;
}

const std::vector<std::string> kDefaultExclusions = {
    "\\$WINDOWS.~BT", "\\$WINDOWS.~LS", "\\WINPEPGE.SYS",    "\\WINDOWS\\CSC",
    "\\RECYCLED",     "\\RECYCLER",     "\\$RECYCLE.BIN\\*", "\\SYSTEM VOLUME INFORMATION",
    "\\SWAPFILE.SYS", "\\PAGEFILE.SYS", "\\HIBERFIL.SYS"};
const std::vector<std::string> kDefaultCompression = {"*.MP3", "*.ZIP", "*.CAB", "*.RAR",
                                                      "*.7Z",  "*.PNF", "*.WIM"};

std::vector<std::string> With(std::vector<std::string> list, const std::vector<std::string>& more)
{
    list.insert(list.end(), more.begin(), more.end());
    return list;
}

TEST(MakePatternEntryTest, SplitsDirectoryAndNameAndMarksWildcards)
{
    struct Case {
        const char* text;
        const char* pattern;
        const char* directory;
        const char* name;
        int wildcard;
    };
    const Case cases[] = {
        {"\\pagefile.sys", "\\PAGEFILE.SYS", "\\", "PAGEFILE.SYS", 0},
        {"\\$Recycle.Bin\\*", "\\$RECYCLE.BIN\\*", "\\$RECYCLE.BIN\\", "*", 1},
        {"\\Windows\\CSC", "\\WINDOWS\\CSC", "\\WINDOWS\\", "CSC", 0},
        {"*.mp3", "*.MP3", "\\", "*.MP3", 1},
        {"temp\\*.tmp", "TEMP\\*.TMP", "\\TEMP\\", "*.TMP", 1},
        {"c:\\Boot\\bcd", "C:\\BOOT\\BCD", "\\BOOT\\", "BCD", 0},  // the drive is dropped
        {"c:bcd", "C:BCD", "\\", "BCD", 0},
        {"a/b\\c?.log", "A/B\\C?.LOG", "\\A\\B\\", "C?.LOG", 1},  // slashes separate like backslashes
        {"\\Windows\\Temp\\", "\\WINDOWS\\TEMP\\", "\\WINDOWS\\TEMP\\", "", 0},
        {"archive.tar.gz", "ARCHIVE.TAR.GZ", "\\", "ARCHIVE.TAR.GZ", 0},
        {"1:\\x", "1:\\X", "\\1:\\", "X", 0},  // only a letter makes a drive
        {"  lead", "  LEAD", "\\", "  LEAD", 0},
        {"\xc3\xa4rger\\\xc3\xa9t\xc3\xa9", "\xc3\x84RGER\\\xc3\x89T\xc3\x89", "\\\xc3\x84RGER\\",
         "\xc3\x89T\xc3\x89", 0},
    };
    for (const Case& c : cases) {
        PatternEntry entry;
        ASSERT_TRUE(MakePatternEntry(entry, WideFromUtf8(c.text))) << c.text;
        EXPECT_EQ(Narrow(entry.pattern), c.pattern) << c.text;
        EXPECT_EQ(Narrow(entry.directory), c.directory) << c.text;
        EXPECT_EQ(entry.directoryLength, entry.directory.size()) << c.text;
        EXPECT_EQ(Narrow(entry.name), c.name) << c.text;
        EXPECT_EQ(entry.hasWildcard, c.wildcard) << c.text;
    }
}

TEST(MakePatternEntryTest, PatternsBeyondTheBufferAreRefusedNotCut)
{
    PatternEntry entry;
    EXPECT_TRUE(MakePatternEntry(entry, WString(kMaxPatternLength, WSTR('a'))));
    EXPECT_EQ(entry.pattern.size(), kMaxPatternLength);
    EXPECT_FALSE(MakePatternEntry(entry, WString(kMaxPatternLength + 1, WSTR('a'))));
    EXPECT_TRUE(entry.pattern.empty());

    PatternList list;
    ResetPatternList(list);
    EXPECT_FALSE(AddUniquePattern(list, WString(kMaxPatternLength + 1, WSTR('a'))));
    EXPECT_FALSE(AddUniquePattern(list, WSTR("")));
    EXPECT_EQ(list.count, 0);
}

TEST(UpperCaseInPlaceTest, AgreesWithTheSystemForEveryUnit)
{
    int differences = 0;
    for (unsigned unit = 1; unit < 0x10000; ++unit) {
        WCHAR system = static_cast<WCHAR>(unit);
        CharUpperBuffW(&system, 1);
        WCHAR ours = static_cast<WCHAR>(unit);
        UpperCaseInPlace(&ours, 1);
        if (ours != system && ++differences < 5)
            ADD_FAILURE() << std::hex << unit;
    }
    EXPECT_EQ(differences, 0);
    WString text = WideFromUtf8("abc\xc3\xa9\xc3\x9f\xce\xb1Z9");
    UpperCaseInPlace(text.data(), text.size());
    EXPECT_EQ(Narrow(text), "ABC\xc3\x89\xc3\x9f\xce\x91Z9");  // sharp s has no one-unit capital
}

TEST(AddUniquePatternTest, IgnoresDuplicatesInAnyCaseAndStopsAtTheCapacity)
{
    PatternList list;
    EXPECT_FALSE(AddUniquePattern(list, WSTR("*.tmp")));  // never allocated: nothing to fill
    ResetPatternList(list);
    EXPECT_TRUE(AddUniquePattern(list, WSTR("*.tmp")));
    EXPECT_FALSE(AddUniquePattern(list, WSTR("*.TMP")));
    EXPECT_TRUE(AddUniquePattern(list, WSTR("*.tmp ")));  // the reader trims, this routine does not
    for (int i = 0; i < 100; ++i)
        AddUniquePattern(list, WideFromUtf8("x" + std::to_string(i)));
    EXPECT_EQ(list.count, 64);
    EXPECT_EQ(list.capacity, 64);
    EXPECT_EQ(Narrow(list.entries[63].pattern), "X61");
    FreePatternList(list);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.capacity, 0);
    EXPECT_TRUE(list.entries.empty());
}

// Runs LoadCaptureConfig on a file holding `bytes`.
class CaptureConfigTest : public testing::Test {
protected:
    bool LoadBytes(const std::string& bytes)
    {
        std::ofstream(folder / "config.ini", std::ios::binary) << bytes;
        task.captureConfigFile = DosPath(folder / "config.ini");
        return LoadCaptureConfig(task);
    }
    std::string Log() const { return Narrow(task.logText); }

    ScratchFolder folder;
    TaskState task;
};

TEST_F(CaptureConfigTest, SectionsAddToTheDefaultsAsTheFileSaysThem)
{
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> exclusions;   // beyond the defaults
        std::vector<std::string> compression;  // beyond the defaults
        std::vector<std::string> exceptions;
    };
    const Case cases[] = {
        {"lines before the first header are ignored",
         "orphan\r\n[ExclusionList]\r\n\\temp\r\n",
         {"\\TEMP"},
         {},
         {}},
        {"headers in any letter case",
         "[exclusionlist]\n*.bak\n[COMPRESSIONEXCLUSIONLIST]\n*.jpg\n"
         "[exclusionexception]\n\\keep\\*.bak\n",
         {"*.BAK"},
         {"*.JPG"},
         {"\\KEEP\\*.BAK"}},
        {"a default in other case is not added again",
         "[ExclusionList]\n\\PageFile.SYS\n\\new\n",
         {"\\NEW"},
         {},
         {}},
        {"quotes around a pattern are removed",
         "[ExclusionList]\n\"\\Program Files\\x\"\n\"\n\"\"\n",
         {"\\PROGRAM FILES\\X"},
         {},
         {}},
        {"trailing white space goes, leading stays",
         "[ExclusionList]\n  \\lead \t\v\f\r\n",
         {"  \\LEAD"},
         {},
         {}},
        {"a comment or another section is a pattern of the current one",
         "[ExclusionList]\n;note\n[Other]\nx\n",
         {";NOTE", "[OTHER]", "X"},
         {},
         {}},
        {"the last line needs no line end", "[ExclusionList]\nlast", {"LAST"}, {}, {}},
        {"NUL bytes are dropped", std::string("[Exclusion\0List]\nab\0c\n", 22), {"ABC"}, {}, {}},
        {"a line that is only blanks adds nothing", "[ExclusionList]\n   \n\t\n\n", {}, {}, {}},
        {"a lone CR does not end a line", "[ExclusionList]\ra\rb\n[ExclusionException]\nc\n", {}, {}, {"C"}},
        {"UTF-8 byte-order mark", "\xef\xbb\xbf[ExclusionList]\nx\n", {"X"}, {}, {}},
        {"an over-long line is dropped whole, not read as pieces",
         "[ExclusionList]\n" + std::string(5000, 'q') + "\nshort\n",
         {"SHORT"},
         {},
         {}},
        {"a pattern beyond 259 characters is refused",
         "[ExclusionList]\n" + std::string(260, 'r') + "\n" + std::string(259, 's') + "\n",
         {std::string(259, 'S')},
         {},
         {}},
    };
    for (const Case& c : cases) {
        task.logText.clear();
        ASSERT_TRUE(LoadBytes(c.bytes)) << c.name;
        EXPECT_EQ(Patterns(task.exclusions), With(kDefaultExclusions, c.exclusions)) << c.name;
        EXPECT_EQ(Patterns(task.compressionExclusions), With(kDefaultCompression, c.compression)) << c.name;
        EXPECT_EQ(Patterns(task.exclusionExceptions), c.exceptions) << c.name;
        EXPECT_EQ(Log(), "設定檔:\t" + Narrow(task.captureConfigFile) + "\r\n") << c.name;
    }
}

std::string Utf16(const std::string& utf8, bool bigEndian, bool mark)
{
    std::string bytes;
    if (mark)
        bytes = bigEndian ? "\xfe\xff" : "\xff\xfe";
    for (WCHAR c : WideFromUtf8(utf8)) {
        char low = static_cast<char>(c & 0xFF);
        char high = static_cast<char>(c >> 8);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

TEST_F(CaptureConfigTest, Utf16FilesAreReadWithOrWithoutAByteOrderMark)
{
    const std::string text = "[ExclusionList]\r\n\\caf\xc3\xa9\r\n[ExclusionException]\r\n\\keep\r\n";
    ASSERT_TRUE(LoadBytes(Utf16(text, false, true)));
    EXPECT_EQ(Patterns(task.exclusions), With(kDefaultExclusions, {"\\CAF\xc3\x89"}));
    EXPECT_EQ(Patterns(task.exclusionExceptions), std::vector<std::string>{"\\KEEP"});

    ASSERT_TRUE(LoadBytes(Utf16(text, true, true)));
    EXPECT_EQ(Patterns(task.exclusions), With(kDefaultExclusions, {"\\CAF\xc3\x89"}));

    // Without a mark the bytes are characters: the ASCII range still reads.
    ASSERT_TRUE(LoadBytes(Utf16("[ExclusionList]\r\n\\skip\r\n", false, false)));
    EXPECT_EQ(Patterns(task.exclusions), With(kDefaultExclusions, {"\\SKIP"}));
    ASSERT_TRUE(LoadBytes(Utf16("[ExclusionList]\r\n\\skip\r\n", true, false)));
    EXPECT_EQ(Patterns(task.exclusions), With(kDefaultExclusions, {"\\SKIP"}));

    // Reading goes on past the reader's first 64 KiB.
    std::string padded = "[ExclusionList]\n" + std::string(40000, ' ') + "\n\xc3\xa9\n";
    ASSERT_TRUE(LoadBytes(Utf16(padded, false, true)));
    EXPECT_EQ(Patterns(task.exclusions), With(kDefaultExclusions, {"\xc3\x89"}));
}

TEST_F(CaptureConfigTest, HostileFilesEndWithBoundedListsAndNoHang)
{
    std::mt19937 random(7);
    std::string binary(300000, '\0');
    for (char& c : binary)
        c = static_cast<char>(random() & 0xFF);
    std::string manyLines = "[ExclusionList]\n";
    for (int i = 0; i < 100000; ++i)
        manyLines += "p" + std::to_string(i) + "\n";
    const std::string files[] = {
        binary,
        "[ExclusionList]" + binary,
        "[ExclusionList]\n" + std::string(1 << 20, 'x'),
        "[ExclusionList]\n" + std::string(1 << 20, '\n'),
        std::string(1 << 20, '\0'),
        manyLines,
        "",
        "\xff\xfe",
        "\xff\xfe[",  // an odd byte at the end
    };
    for (const std::string& bytes : files) {
        ASSERT_TRUE(LoadBytes(bytes));
        EXPECT_LE(task.exclusions.count, 64);
        EXPECT_GE(task.exclusions.count, 11);
        EXPECT_EQ(task.compressionExclusions.count, 7);
        for (int32_t i = 0; i < task.exclusions.count; ++i)
            EXPECT_LE(task.exclusions.entries[static_cast<size_t>(i)].pattern.size(), kMaxPatternLength);
    }
    // The last one of the 100,000 lines found a full list.
    ASSERT_TRUE(LoadBytes(manyLines));
    EXPECT_EQ(task.exclusions.count, 64);
    EXPECT_EQ(Narrow(task.exclusions.entries[63].pattern), "P52");
}

TEST_F(CaptureConfigTest, MoreThan53NewPatternsFillTheListTo64)
{
    std::string bytes = "[ExclusionList]\n";
    for (int i = 0; i < 60; ++i)
        bytes += "\\extra" + std::to_string(i) + "\n";
    ASSERT_TRUE(LoadBytes(bytes));
    EXPECT_EQ(task.exclusions.count, 64);
    EXPECT_EQ(Narrow(task.exclusions.entries[63].pattern), "\\EXTRA52");
}

TEST_F(CaptureConfigTest, UnreadableConfigurationLogs205And206AndFails)
{
    struct Case {
        const char* name;
        WString path;
    };
    std::ofstream(folder / "present.ini") << "[ExclusionList]\nx\n";
    const Case cases[] = {
        {"missing file", DosPath(folder / "absent.ini")},
        {"missing folder", DosPath(folder / "absent/config.ini")},
        {"a directory", DosPath(folder.path())},
        // Cut to the buffer, this would name the file that exists.
        {"a path of 260 characters or more", DosPath(folder / "present.ini") + WString(300, WSTR(' '))},
    };
    for (const Case& c : cases) {
        task.logText.clear();
        task.captureConfigFile = c.path;
        EXPECT_FALSE(LoadCaptureConfig(task)) << c.name;
        const WString shown = ShortenedInMiddle(WSTR("設定檔:\t") + c.path, kTextBufferSize - 1);
        EXPECT_EQ(Log(), Narrow(shown) + "\r\n錯誤: 無法讀取設定檔.\r\n") << c.name;
        EXPECT_EQ(Patterns(task.exclusions), kDefaultExclusions) << c.name;
    }
}

// wimscript.ini beside the test program, removed again afterwards.
class BesideProgram {
public:
    BesideProgram()
    {
        WCHAR module[kTextBufferSize];
        GetModuleFileNameW(nullptr, module, kTextBufferSize);
        WString folder(module);
        folder.resize(folder.find_last_of(WSTR('\\')) + 1);
        path = folder + WSTR("wimscript.ini");
    }
    ~BesideProgram() { DeleteFileW(path.c_str()); }
    void Write(const char* text) const
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
        CloseHandle(file);
    }
    WString path;
};

TEST_F(CaptureConfigTest, WithoutAChosenFileTheOneBesideTheProgramIsUsedWhenPresent)
{
    BesideProgram beside;
    DeleteFileW(beside.path.c_str());
    EXPECT_TRUE(LoadCaptureConfig(task));
    EXPECT_EQ(Log(), "");  // defaults only, silently
    EXPECT_EQ(Patterns(task.exclusions), kDefaultExclusions);
    EXPECT_EQ(Patterns(task.compressionExclusions), kDefaultCompression);
    EXPECT_EQ(task.exclusionExceptions.count, 0);
    EXPECT_EQ(task.exclusionExceptions.capacity, 64);

    beside.Write("[ExclusionException]\n\\keep\n");
    EXPECT_TRUE(LoadCaptureConfig(task));
    EXPECT_EQ(Log(), "設定檔:\t" + Narrow(beside.path) + "\r\n");
    EXPECT_EQ(Patterns(task.exclusionExceptions), std::vector<std::string>{"\\KEEP"});
}

TEST_F(CaptureConfigTest, ReloadingStartsAgainFromTheDefaults)
{
    ASSERT_TRUE(LoadBytes("[ExclusionList]\n\\one\n[ExclusionException]\n\\two\n"));
    ASSERT_TRUE(LoadBytes("[CompressionExclusionList]\n*.iso\n"));
    EXPECT_EQ(Patterns(task.exclusions), kDefaultExclusions);
    EXPECT_EQ(Patterns(task.compressionExclusions), With(kDefaultCompression, {"*.ISO"}));
    EXPECT_EQ(task.exclusionExceptions.count, 0);
    // The file was closed again: nothing holds it open.
    EXPECT_TRUE(DeleteFileW(task.captureConfigFile.c_str()));
}

TEST_F(CaptureConfigTest, ShowSettingsLogsEachNonEmptyListUnderItsHeader)
{
    ASSERT_TRUE(LoadBytes("[ExclusionList]\n\\extra\n"));
    task.logText.clear();
    LogPatternLists(task);
    std::string expected = "\r\n[ExclusionList]\r\n";
    for (const std::string& pattern : With(kDefaultExclusions, {"\\EXTRA"}))
        expected += pattern + "\r\n";
    expected += "\r\n[CompressionExclusionList]\r\n";
    for (const std::string& pattern : kDefaultCompression)
        expected += pattern + "\r\n";
    EXPECT_EQ(Log(), expected);  // no header for the empty exception list

    task.logText.clear();
    ASSERT_TRUE(LoadBytes("[ExclusionException]\n\\Keep\n"));
    task.logText.clear();
    FreePatternList(task.exclusions);
    FreePatternList(task.compressionExclusions);
    LogPatternLists(task);
    EXPECT_EQ(Log(), "\r\n[ExclusionException]\r\n\\KEEP\r\n");
}

}  // namespace
