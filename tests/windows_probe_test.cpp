// The offline Windows probe on generated installations: hives made through
// hivex, a Kernel32.dll built with mingw, and the scripted library holding
// the image's XML.
#include "imaging/wimgapi.h"
#include "metadata/windows_probe.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/windows_tree.h"
#include "tests/support/xml_notice.h"

#include <hivex.h>

#include <algorithm>
#include <fstream>
#include <functional>

namespace {

const HANDLE kImage = ScriptedImaging::ImageHandle(1);
const WCHAR kPlainImage[] = WSTR("<IMAGE INDEX=\"1\"><DIRCOUNT>3</DIRCOUNT><NAME>Base</NAME></IMAGE>");
const std::string kCurrentVersion = "Microsoft\\Windows NT\\CurrentVersion";
const std::string kControl = "ControlSet001\\Control";

class WindowsProbeTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.imageXml[1] = kPlainImage;
        ShellOutput("mkdir -p " + Quoted(temp()) + " " + Quoted(source()));
    }

    std::string source() const { return folder / "source"; }
    std::string temp() const { return folder / "temp"; }

    void Probe(const std::string& from)
    {
        ProbeOfflineWindows(task, kImage, DosPath(from).c_str(), DosPath(temp()).c_str());
    }
    void Probe() { Probe(source()); }

    // The image XML after the probe, as the library holds it.
    std::string Xml() { return Narrow(library.imageXml[1]); }

    // The text of the element at `path` ("WINDOWS/ARCH") in the image's XML;
    // "(none)" when there is no such element.
    std::string Text(const std::string& path)
    {
        XmlDocument* document = CreateDocument();
        std::string text = "(unparsable)";
        if (ParseXml(document, library.imageXml[1])) {
            const XmlElement* element = document->root;
            size_t start = 0;
            while (element != nullptr && start <= path.size()) {
                size_t end = path.find('/', start);
                std::string step =
                    path.substr(start, end == std::string::npos ? std::string::npos : end - start);
                element = FindChild(element, WideFromUtf8(step));
                start = end == std::string::npos ? path.size() + 1 : end + 1;
            }
            text = element == nullptr ? "(none)" : Narrow(element->text);
        }
        DestroyDocument(document);
        return text;
    }

    // Hive copies anywhere in the scratch folder (tree and temporary directory).
    std::string Copies() { return ShellOutput("find " + Quoted(folder.path()) + " -iname '*.CRV'"); }

    ScratchFolder folder;
    XmlNoticeCounter notices;
    ScriptedImaging library;
    TaskState task;
};

TEST_F(WindowsProbeTest, FullInstallationGivesTheWindowsElementAndFlagsInTheirShape)
{
    WriteWindowsTree(source(), "Windows");
    std::string before = ShellOutput("cd " + Quoted(source()) + " && find . -type f | sort | xargs md5sum");
    Probe();

    const char* expected = "<IMAGE INDEX=\"1\">\r\n"
                           "  <FLAGS>PROFESSIONAL</FLAGS>\r\n"
                           "  <WINDOWS>\r\n"
                           "    <ARCH>9</ARCH>\r\n"
                           "    <PRODUCTNAME>Microsoft Windows Operating System</PRODUCTNAME>\r\n"
                           "    <HAL>acpiapic_up</HAL>\r\n"
                           "    <PRODUCTTYPE>WinNT</PRODUCTTYPE>\r\n"
                           "    <PRODUCTSUITE>Terminal Server</PRODUCTSUITE>\r\n"
                           "    <LANGUAGES>\r\n"
                           "      <LANGUAGE>de-DE</LANGUAGE>\r\n"
                           "      <LANGUAGE>en-US</LANGUAGE>\r\n"
                           "      <DEFAULT>en-US</DEFAULT>\r\n"
                           "    </LANGUAGES>\r\n"
                           "    <VERSION>\r\n"
                           "      <MAJOR>10</MAJOR>\r\n"
                           "      <MINOR>0</MINOR>\r\n"
                           "      <BUILD>19041</BUILD>\r\n"
                           "      <SPBUILD>3636</SPBUILD>\r\n"
                           "    </VERSION>\r\n"
                           "    <SYSTEMROOT>WINDOWS</SYSTEMROOT>\r\n"
                           "  </WINDOWS>\r\n"
                           "  <DIRCOUNT>3</DIRCOUNT>\r\n"
                           "  <NAME>Base</NAME>\r\n"
                           "</IMAGE>\r\n";
    EXPECT_EQ(Xml(), expected);
    ASSERT_EQ(library.storedInformation.size(), 1u);
    const auto& bytes = library.storedInformation[0];
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 0xFF);  // the mark, little-endian, and no terminator
    EXPECT_EQ(bytes[1], 0xFE);
    EXPECT_EQ(bytes.size(), 2 * (1 + std::string(expected).size()));

    // Nothing was left behind or written into the captured tree.
    EXPECT_EQ(Copies(), "");
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(temp())), "");
    EXPECT_EQ(ShellOutput("cd " + Quoted(source()) + " && find . -type f | sort | xargs md5sum"), before);
    EXPECT_EQ(notices.count(), 0);
}

TEST_F(WindowsProbeTest, SettingsAreMappedAsTheInstallationHoldsThem)
{
    const std::string environment = kControl + "\\Session Manager\\Environment";
    const std::string nls = kControl + "\\Nls\\Language";
    auto arch = [&](const char* value) {
        return With(SampleSystem(), {environment, "PROCESSOR_ARCHITECTURE", REG_SZ, RegString(value)});
    };
    auto root = [&](const char* value) {
        return With(SampleSoftware(), {kCurrentVersion, "SystemRoot", REG_SZ, RegString(value)});
    };
    auto install = [&](const char* value) {
        return With(SampleSystem(), {nls, "InstallLanguage", REG_SZ, RegString(value)});
    };
    const std::string longRoot = "C:\\" + std::string(200, 'w');
    const std::string longRootText(200, 'W');
    // The registry finds keys and values whatever the case of their names.
    auto otherCase = [](std::vector<HiveValue> values, int (*change)(int)) {
        for (HiveValue& value : values) {
            for (std::string* name : {&value.key, &value.name})
                std::transform(name->begin(), name->end(), name->begin(), change);
        }
        return values;
    };
    const struct {
        const char* name;
        std::vector<HiveValue> software;
        std::vector<HiveValue> system;
        const char* path;
        const char* expected;
    } cases[] = {
        {"amd64 in lower case", SampleSoftware(), arch("amd64"), "WINDOWS/ARCH", "9"},
        {"x86", SampleSoftware(), arch("x86"), "WINDOWS/ARCH", "0"},
        {"ARM64 has no code of its own", SampleSoftware(), arch("ARM64"), "WINDOWS/ARCH", "0"},
        {"IA64", SampleSoftware(), arch("ia64"), "WINDOWS/ARCH", "6"},
        {"AMD64 with more after it", SampleSoftware(), arch("AMD64x"), "WINDOWS/ARCH", "0"},
        {"no architecture", SampleSoftware(), Without(SampleSystem(), environment, "PROCESSOR_ARCHITECTURE"),
         "WINDOWS/ARCH", "0"},
        {"system root on another drive", root("D:\\winnt"), SampleSystem(), "WINDOWS/SYSTEMROOT", "WINNT"},
        {"system root of three characters", root("c:\\"), SampleSystem(), "WINDOWS/SYSTEMROOT", "C:\\"},
        {"system root of four characters", root("c:\\w"), SampleSystem(), "WINDOWS/SYSTEMROOT", "W"},
        {"system root of two characters", root("ab"), SampleSystem(), "WINDOWS/SYSTEMROOT", "AB"},
        {"a system root longer than a small record", root(longRoot.c_str()), SampleSystem(),
         "WINDOWS/SYSTEMROOT", longRootText.c_str()},
        {"no system root", Without(SampleSoftware(), kCurrentVersion, "SystemRoot"), SampleSystem(),
         "WINDOWS/SYSTEMROOT", ""},
        {"install language matches the second entry", SampleSoftware(), install("0407"),
         "WINDOWS/LANGUAGES/DEFAULT", "de-DE"},
        {"install language with 0x and no leading zero", SampleSoftware(), install("0x409"),
         "WINDOWS/LANGUAGES/DEFAULT", "en-US"},
        {"install language not hexadecimal", SampleSoftware(), install("zz09"), "WINDOWS/LANGUAGES/DEFAULT",
         ""},
        {"install language matching nothing", SampleSoftware(), install("0411"), "WINDOWS/LANGUAGES/DEFAULT",
         ""},
        {"install language too large", SampleSoftware(), install("100000409"), "WINDOWS/LANGUAGES/DEFAULT",
         ""},
        {"no install language", SampleSoftware(), Without(SampleSystem(), nls, "InstallLanguage"),
         "WINDOWS/LANGUAGES/DEFAULT", ""},
        {"edition upper-cased into FLAGS",
         With(SampleSoftware(), {kCurrentVersion, "EditionID", REG_SZ, RegString("ServerStandard")}),
         SampleSystem(), "FLAGS", "SERVERSTANDARD"},
        {"no edition, no FLAGS", Without(SampleSoftware(), kCurrentVersion, "EditionID"), SampleSystem(),
         "FLAGS", "(none)"},
        {"edition stored without terminator",
         With(SampleSoftware(), {kCurrentVersion, "EditionID", REG_SZ, std::string("C\0o\0r\0e\0", 8)}),
         SampleSystem(), "FLAGS", "CORE"},
        {"text with markup is escaped",
         With(SampleSoftware(), {kCurrentVersion, "SystemRoot", REG_SZ, RegString("C:\\A&B<C>")}),
         SampleSystem(), "WINDOWS/SYSTEMROOT", "A&amp;B&lt;C&gt;"},
        {"control characters are left out",
         With(SampleSoftware(), {kCurrentVersion, "SystemRoot", REG_SZ,
                                 RegString("C:\\WIN\x01\x1F"
                                           "DOWS")}),
         SampleSystem(), "WINDOWS/SYSTEMROOT", "WINDOWS"},
        {"HAL takes the first of several strings", SampleSoftware(), SampleSystem(), "WINDOWS/HAL",
         "acpiapic_up"},
        {"names stored in lower case", otherCase(SampleSoftware(), ::tolower),
         otherCase(SampleSystem(), ::tolower), "WINDOWS/SYSTEMROOT", "WINDOWS"},
        {"names stored in upper case", otherCase(SampleSoftware(), ::toupper),
         otherCase(SampleSystem(), ::toupper), "WINDOWS/LANGUAGES/DEFAULT", "EN-US"},
        {"no product options", SampleSoftware(),
         Without(Without(SampleSystem(), kControl + "\\ProductOptions", "ProductType"),
                 kControl + "\\ProductOptions", "ProductSuite"),
         "WINDOWS/PRODUCTTYPE", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder tree;
        WriteWindowsTree(tree.path(), "WINDOWS", c.software, c.system);
        library.imageXml[1] = kPlainImage;
        Probe(tree.path());
        EXPECT_EQ(Text(c.path), c.expected) << Xml();
    }
    EXPECT_EQ(Copies(), "");
}

TEST_F(WindowsProbeTest, LanguagesFollowTheSubkeysOfTheInterfaceLanguages)
{
    const std::string languages = kControl + "\\MUI\\UILanguages";
    std::vector<HiveValue> system = SampleSystem();
    std::erase_if(system, [&](const HiveValue& v) { return v.key.starts_with(languages); });
    WriteWindowsTree(source(), "WINDOWS", SampleSoftware(), system);
    Probe();
    EXPECT_EQ(Text("WINDOWS/LANGUAGES"), "(none)") << Xml();
    EXPECT_EQ(Text("WINDOWS/VERSION/MAJOR"), "10");

    // A language with a text LCID counts as 0, as does one without LCID; an
    // install language of 0 then matches the first of them.
    system.push_back({languages + "\\it-IT", "LCID", REG_SZ, RegString("0410")});
    system.push_back({languages + "\\zz-ZZ", "Other", REG_DWORD, RegDword(1)});
    system = With(system, {kControl + "\\Nls\\Language", "InstallLanguage", REG_SZ, RegString("0")});
    WriteWindowsTree(source(), "WINDOWS", SampleSoftware(), system);
    library.imageXml[1] = kPlainImage;
    Probe();
    EXPECT_THAT(Xml(), testing::HasSubstr("      <LANGUAGE>it-IT</LANGUAGE>\r\n"
                                          "      <LANGUAGE>zz-ZZ</LANGUAGE>\r\n"
                                          "      <DEFAULT>it-IT</DEFAULT>\r\n"));
}

TEST_F(WindowsProbeTest, VersionResourceGivesProductNameAndVersionWords)
{
    std::string longName(300, 'N');
    longName.replace(0, 6, "A&B<C>");
    const struct {
        const char* name;
        LibraryVersionResource library;
        const char* productName;
        const char* version;  // MAJOR.MINOR.BUILD.SPBUILD
    } cases[] = {
        {"words in order",
         {.fileVersion = "6,1,7601,24545"},
         "Microsoft Windows Operating System",
         "6.1.7601.24545"},
        {"translation names the block",
         {.productName = "Windows Betriebssystem", .block = "040704E4", .translation = "0x0407, 0x04E4"},
         "Windows Betriebssystem",
         "10.0.19041.3636"},
        {"no translation: the US English block without code page",
         {.productName = "Fallback", .block = "04090000", .translation = ""},
         "Fallback",
         "10.0.19041.3636"},
        {"no translation and no such block", {.block = "040904B0", .translation = ""}, "", "10.0.19041.3636"},
        {"translation naming a missing block",
         {.block = "040904B0", .translation = "0x0407, 1200"},
         "",
         "10.0.19041.3636"},
        {"a 300-character name is cut to 259 and escaped",
         {.productName = longName},
         nullptr,
         "10.0.19041.3636"},
        {"no version resource", {.withVersion = false}, "", "..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder tree;
        WriteWindowsTree(tree.path(), "WINDOWS", SampleSoftware(), SampleSystem(), LibraryPath(c.library));
        library.imageXml[1] = kPlainImage;
        Probe(tree.path());
        if (c.productName != nullptr)
            EXPECT_EQ(Text("WINDOWS/PRODUCTNAME"), c.productName);
        else
            EXPECT_EQ(Text("WINDOWS/PRODUCTNAME"), "A&amp;B&lt;C&gt;" + std::string(259 - 6, 'N'));
        EXPECT_EQ(Text("WINDOWS/VERSION/MAJOR") + "." + Text("WINDOWS/VERSION/MINOR") + "." +
                      Text("WINDOWS/VERSION/BUILD") + "." + Text("WINDOWS/VERSION/SPBUILD"),
                  c.version);
    }
}

TEST_F(WindowsProbeTest, TheFirstCompleteCandidateDirectoryIsUsed)
{
    // Each candidate's edition is its own name, so FLAGS tells which was read.
    auto tree = [](const std::string& root, const std::string& name, bool hives = true, bool library = true) {
        auto software = With(SampleSoftware(), {kCurrentVersion, "EditionID", REG_SZ, RegString(name)});
        WriteWindowsTree(root, name, software, hives ? SampleSystem() : std::vector<HiveValue>{},
                         library ? LibraryPath() : std::string());
    };
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* below;  // appended to the source path
        const char* flags;
    } cases[] = {
        {"WINDOWS before WINNT",
         [&](const std::string& r) {
             tree(r, "WINDOWS");
             tree(r, "WINNT");
         },
         "", "WINDOWS"},
        {"a trailing backslash finds the same",
         [&](const std::string& r) {
             tree(r, "WINDOWS");
             tree(r, "WINNT");
         },
         "\\", "WINDOWS"},
        {"WINDOWS without Kernel32.dll is passed over",
         [&](const std::string& r) {
             tree(r, "WINDOWS", true, false);
             tree(r, "WINNT");
         },
         "", "WINNT"},
        {"WINNT without SYSTEM is passed over for I386",
         [&](const std::string& r) {
             tree(r, "WINNT", false);
             tree(r, "I386");
         },
         "", "I386"},
        {"AMD64", [&](const std::string& r) { tree(r, "AMD64"); }, "", "AMD64"},
        {"IA64", [&](const std::string& r) { tree(r, "IA64"); }, "", "IA64"},
        {"another name is not a candidate", [&](const std::string& r) { tree(r, "WIN"); }, "", nullptr},
        {"the Windows directory itself is not recognised", [&](const std::string& r) { tree(r, "WINDOWS"); },
         "\\WINDOWS", nullptr},
        {"an empty source", [](const std::string&) {}, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder root;
        c.make(root.path());
        library.imageXml[1] = kPlainImage;
        library.calls.clear();
        ProbeOfflineWindows(task, kImage, (DosPath(root.path()) + WideFromUtf8(c.below)).c_str(),
                            DosPath(temp()).c_str());
        if (c.flags != nullptr) {
            EXPECT_EQ(Text("FLAGS"), c.flags);
        } else {
            EXPECT_EQ(library.CallCount("WIMSetImageInformation"), 0);
            EXPECT_EQ(library.CallCount("WIMGetImageInformation"), 0);
        }
    }
    EXPECT_EQ(Copies(), "");
}

TEST_F(WindowsProbeTest, ElementsTheImageHasAreLeftAloneAndASecondRunAddsNothing)
{
    WriteWindowsTree(source(), "Windows");
    const WString existing =
        WSTR("<IMAGE INDEX=\"1\"><NAME>Base</NAME><WINDOWS><ARCH>0</ARCH><HAL/></WINDOWS></IMAGE>");
    library.imageXml[1] = existing;
    Probe();
    EXPECT_EQ(Xml(), "<IMAGE INDEX=\"1\">\r\n"
                     "  <FLAGS>PROFESSIONAL</FLAGS>\r\n"
                     "  <NAME>Base</NAME>\r\n"
                     "  <WINDOWS>\r\n"
                     "    <ARCH>0</ARCH>\r\n"
                     "    <HAL />\r\n"
                     "  </WINDOWS>\r\n"
                     "</IMAGE>\r\n");

    library.imageXml[1] = WSTR("<IMAGE INDEX=\"1\"><FLAGS>Custom</FLAGS></IMAGE>");
    Probe();
    EXPECT_EQ(Text("FLAGS"), "Custom");
    EXPECT_EQ(Text("WINDOWS/ARCH"), "9");
    EXPECT_THAT(Xml(), testing::StartsWith("<IMAGE INDEX=\"1\">\r\n  <WINDOWS>\r\n"));
    EXPECT_THAT(Xml(), testing::EndsWith("  </WINDOWS>\r\n  <FLAGS>Custom</FLAGS>\r\n</IMAGE>\r\n"));

    const std::string once = Xml();
    library.storedInformation.clear();
    Probe();
    EXPECT_EQ(Xml(), once);
    EXPECT_EQ(library.storedInformation.size(), 1u);  // still written back
}

TEST_F(WindowsProbeTest, EmptyValuesGiveEmptyElements)
{
    WriteWindowsTree(source(), "Windows", {{kCurrentVersion, "Other", REG_SZ, RegString("x")}},
                     {{kControl + "\\MUI\\UILanguages\\en-US", "LCID", REG_DWORD, RegDword(0x409)}},
                     LibraryPath({.withVersion = false}));
    Probe();
    EXPECT_EQ(Xml(), "<IMAGE INDEX=\"1\">\r\n"
                     "  <WINDOWS>\r\n"
                     "    <ARCH>0</ARCH>\r\n"
                     "    <PRODUCTNAME />\r\n"
                     "    <HAL />\r\n"
                     "    <PRODUCTTYPE />\r\n"
                     "    <PRODUCTSUITE />\r\n"
                     "    <LANGUAGES>\r\n"
                     "      <LANGUAGE>en-US</LANGUAGE>\r\n"
                     "      <DEFAULT />\r\n"
                     "    </LANGUAGES>\r\n"
                     "    <VERSION>\r\n"
                     "      <MAJOR />\r\n"
                     "      <MINOR />\r\n"
                     "      <BUILD />\r\n"
                     "      <SPBUILD />\r\n"
                     "    </VERSION>\r\n"
                     "    <SYSTEMROOT />\r\n"
                     "  </WINDOWS>\r\n"
                     "  <DIRCOUNT>3</DIRCOUNT>\r\n"
                     "  <NAME>Base</NAME>\r\n"
                     "</IMAGE>\r\n");
}

TEST_F(WindowsProbeTest, UnreadableImageXmlShowsTheNoticeAndWritesNothing)
{
    WriteWindowsTree(source(), "Windows");
    library.imageXml[1] = WSTR("<IMAGE><NAME>cut");
    Probe();
    EXPECT_EQ(notices.count(), 1);
    EXPECT_EQ(library.CallCount("WIMSetImageInformation"), 0);
    EXPECT_EQ(Copies(), "");
}

// Byte patches of a hive made through hivex, at the offsets hivex reports.
class HivePatch {
public:
    explicit HivePatch(const std::string& path) : path_(path), bytes_(FileBytes(path)) {}
    ~HivePatch() { std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes_; }

    // The cell offset (from the file's start) of a key, or of a key's value.
    size_t Key(const std::string& keyPath) const
    {
        hive_h* hive = hivex_open(path_.c_str(), 0);
        hive_node_h node = hive ? hivex_root(hive) : 0;
        size_t start = 0;
        while (node != 0 && start < keyPath.size()) {
            size_t end = keyPath.find('\\', start);
            node = hivex_node_get_child(hive, node, keyPath.substr(start, end - start).c_str());
            start = end == std::string::npos ? keyPath.size() : end + 1;
        }
        if (hive)
            hivex_close(hive);
        return node;
    }
    size_t Value(const std::string& keyPath, const std::string& name) const
    {
        hive_h* hive = hivex_open(path_.c_str(), 0);
        hive_value_h value = hivex_node_get_value(hive, Key(keyPath), name.c_str());
        hivex_close(hive);
        return value;
    }
    uint32_t Get32(size_t at) const
    {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | static_cast<unsigned char>(bytes_.at(at + static_cast<size_t>(i)));
        return v;
    }
    void Put32(size_t at, uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            bytes_.at(at + static_cast<size_t>(i)) = static_cast<char>(value >> (8 * i));
    }

private:
    std::string path_;
    std::string bytes_;
};

TEST_F(WindowsProbeTest, DamagedFilesEndTheProbeQuietlyOrGiveWhatCanBeRead)
{
    const std::string config = "/WINDOWS/System32/config/";
    const struct {
        const char* name;
        std::function<void(const std::string& root)> damage;
        bool written;
        const char* path;
        const char* expected;
    } cases[] = {
        {"empty SOFTWARE",
         [&](const std::string& r) { ShellOutput(": > " + Quoted(r + config + "SOFTWARE")); }, false, nullptr,
         nullptr},
        {"truncated SYSTEM",
         [&](const std::string& r) { ShellOutput("truncate -s 6000 " + Quoted(r + config + "SYSTEM")); },
         false, nullptr, nullptr},
        {"noise for SOFTWARE",
         [&](const std::string& r) {
             ShellOutput("head -c 65536 /dev/urandom > " + Quoted(r + config + "SOFTWARE"));
         },
         false, nullptr, nullptr},
        {"SYSTEM of 3 GB (sparse)",
         [&](const std::string& r) { ShellOutput("truncate -s 3G " + Quoted(r + config + "SYSTEM")); }, false,
         nullptr, nullptr},
        {"a value claiming 2 GB",
         [&](const std::string& r) {
             HivePatch hive(r + config + "SOFTWARE");
             hive.Put32(hive.Value(kCurrentVersion, "EditionID") + 8, 0x7FFFFFF0);
         },
         true, "FLAGS", "(none)"},
        {"an inline value claiming 2 GB",
         [&](const std::string& r) {
             HivePatch hive(r + config + "SOFTWARE");
             hive.Put32(hive.Value(kCurrentVersion, "EditionID") + 8, 0xFFFFFFF0);
         },
         true, "FLAGS", "(none)"},
        {"a language key listed as its own subkey",
         [&](const std::string& r) {
             HivePatch hive(r + config + "SYSTEM");
             size_t languages = hive.Key(kControl + "\\MUI\\UILanguages");
             size_t list = 0x1000 + hive.Get32(languages + 4 + 0x1C);
             hive.Put32(list + 8, static_cast<uint32_t>(languages - 0x1000));
         },
         true, "WINDOWS/LANGUAGES/LANGUAGE", "UILanguages"},
        {"a base block whose checksum does not match",
         [&](const std::string& r) {
             HivePatch hive(r + config + "SYSTEM");
             hive.Put32(0x1FC, hive.Get32(0x1FC) ^ 1);
         },
         false, nullptr, nullptr},
        {"a value record marked free",
         [&](const std::string& r) {
             HivePatch hive(r + config + "SOFTWARE");
             size_t value = hive.Value(kCurrentVersion, "EditionID");
             hive.Put32(value, 0u - hive.Get32(value));
         },
         true, "FLAGS", "(none)"},
        {"a value list pointing outside the hive",
         [&](const std::string& r) {
             HivePatch hive(r + config + "SOFTWARE");
             size_t key = hive.Key(kCurrentVersion);
             size_t list = 0x1000 + hive.Get32(key + 4 + 0x28);
             for (uint32_t i = 0; i < hive.Get32(key + 4 + 0x24); ++i)
                 hive.Put32(list + 4 + 4 * i, 0x7FFFFFF8);
         },
         true, "FLAGS", "(none)"},
        {"a subkey list claiming more entries than it holds",
         [&](const std::string& r) {
             HivePatch hive(r + config + "SYSTEM");
             size_t languages = hive.Key(kControl + "\\MUI\\UILanguages");
             size_t list = 0x1000 + hive.Get32(languages + 4 + 0x1C);
             hive.Put32(list + 4, (hive.Get32(list + 4) & 0xFFFF) | 0xFFFF0000u);
         },
         // The list is refused whole; the rest is still written.
         true, "WINDOWS/LANGUAGES/DEFAULT", "(none)"},
        {"a subkey list pointing at itself",
         [&](const std::string& r) {
             HivePatch hive(r + config + "SYSTEM");
             size_t languages = hive.Key(kControl + "\\MUI\\UILanguages");
             uint32_t list = hive.Get32(languages + 4 + 0x1C);
             hive.Put32(0x1000 + list + 4, 0x00026972);  // "ri" with two entries
             hive.Put32(0x1000 + list + 8, list);
         },
         true, "WINDOWS/ARCH", "9"},
        {"Kernel32.dll of noise",
         [&](const std::string& r) {
             ShellOutput("head -c 20000 /dev/urandom > " + Quoted(r + "/WINDOWS/System32/Kernel32.dll"));
         },
         true, "WINDOWS/PRODUCTNAME", ""},
        {"Kernel32.dll cut after its headers",
         [&](const std::string& r) {
             ShellOutput("truncate -s 700 " + Quoted(r + "/WINDOWS/System32/Kernel32.dll"));
         },
         true, "WINDOWS/VERSION/MAJOR", ""},
        {"Kernel32.dll that is a text",
         [&](const std::string& r) {
             ShellOutput("echo MZ not really > " + Quoted(r + "/WINDOWS/System32/Kernel32.dll"));
         },
         true, "WINDOWS/ARCH", "9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchFolder tree;
        WriteWindowsTree(tree.path(), "WINDOWS");
        c.damage(tree.path());
        library.imageXml[1] = kPlainImage;
        library.calls.clear();
        Probe(tree.path());
        EXPECT_EQ(library.CallCount("WIMSetImageInformation"), c.written ? 1 : 0);
        if (c.path != nullptr) {
            EXPECT_EQ(Text(c.path), c.expected) << Xml();
        }
        EXPECT_EQ(ShellOutput("ls -A " + Quoted(temp())), "");
    }
    EXPECT_EQ(notices.count(), 0);
}

TEST_F(WindowsProbeTest, TheLibraryIsReadFromTheSameVolumeOrAnother)
{
    WriteWindowsTree(source(), "WINDOWS");
    const std::string kernel32 = source() + "/WINDOWS/System32/Kernel32.dll";
    // A temporary directory on the tree's volume, then one on a memory file
    // system, where the library cannot be linked and is copied.
    ScratchFolder elsewhere;
    const std::string memory = "/dev/shm/" + elsewhere.path().substr(elsewhere.path().rfind('/') + 1);
    ShellOutput("mkdir -p " + Quoted(memory));
    for (const std::string& temp : {temp(), memory}) {
        SCOPED_TRACE(temp);
        library.imageXml[1] = kPlainImage;
        ProbeOfflineWindows(task, kImage, DosPath(source()).c_str(), DosPath(temp).c_str());
        EXPECT_EQ(Text("WINDOWS/PRODUCTNAME"), "Microsoft Windows Operating System");
        EXPECT_EQ(ShellOutput("ls -A " + Quoted(temp)), "");
        EXPECT_EQ(ShellOutput("stat -c %h " + Quoted(kernel32)), "1\n");
    }
    Shell("rm -rf " + Quoted(memory));
}

TEST_F(WindowsProbeTest, TheProbeTouchesNoFileButItsOwnCopies)
{
    // Look-alikes of its copies: a gone process's, this process's own names
    // (which another program may have made), and others. None is the probe's.
    std::string gone = ShellOutput("sh -c 'echo $$'");
    gone.pop_back();
    const std::string own = std::to_string(getpid());
    const std::vector<std::string> lookAlikes = {"CRV_SOFTWARE." + gone + ".CRV",
                                                 "CRV_SYSTEM." + own + ".CRV",
                                                 "CRV_SOFTWARE." + own + ".CRV",
                                                 "CRV_KERNEL32." + own + ".CRV",
                                                 "CRV_SYSTEM.1.CRV",
                                                 "CRV_SOFTWARE.x1.CRV",
                                                 "notes.txt"};
    for (const auto& name : lookAlikes)
        std::ofstream(temp() + "/" + name) << "not ours: " << name;
    const std::string before = ShellOutput("cd " + Quoted(temp()) + " && ls && cat *");

    Probe();  // no installation in the source
    EXPECT_EQ(ShellOutput("cd " + Quoted(temp()) + " && ls && cat *"), before);

    // With an installation, the probe copies under names that are free and
    // removes just those again.
    WriteWindowsTree(source(), "WINDOWS");
    Probe();
    EXPECT_EQ(Text("WINDOWS/ARCH"), "9");
    EXPECT_EQ(ShellOutput("cd " + Quoted(temp()) + " && ls && cat *"), before);
}

}  // namespace
