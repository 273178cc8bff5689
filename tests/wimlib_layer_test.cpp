// The wimlib layer against real WIM files made here with wimlib-imagex, which
// also serves as the independent reader of what the layer wrote.
#include "base/text.h"
#include "imaging/wimgapi.h"
#include "imaging/wimlib/layer.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Quote(const std::string& text)
{
    return "'" + text + "'";
}

std::string Output(const std::string& command)
{
    std::string output;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return output;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    pclose(pipe);
    return output;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// `wimlib-imagex info --xml`, which prints the file's UTF-16 document as is.
WString InfoXml(const std::string& wim)
{
    const std::string bytes = Output("wimlib-imagex info --xml " + Quote(wim));
    WString text(bytes.size() / 2, WCHAR{});
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(WCHAR));
    return text;
}

std::string GuidHex(const GUID& guid)
{
    unsigned char bytes[sizeof guid];
    std::memcpy(bytes, &guid, sizeof guid);
    std::string hex = "0x";
    char digits[3];
    for (unsigned char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

// The layer's XML for a handle, mark and size checked, as UTF-8.
std::string LayerXml(HANDLE handle)
{
    PVOID buffer = nullptr;
    DWORD size = 0;
    if (!WIMGetImageInformation(handle, &buffer, &size)) {
        ADD_FAILURE() << "WIMGetImageInformation failed, error " << GetLastError();
        return {};
    }
    const auto* units = static_cast<const WCHAR*>(buffer);
    EXPECT_EQ(size % 2, 0u);
    EXPECT_GE(size, 2u);
    EXPECT_EQ(units[0], 0xFEFF);
    const std::string text = Utf8FromWide(WStringView(units + 1, size / 2 - 1));
    LocalFree(buffer);
    return text;
}

BOOL SetLayerXml(HANDLE image, const std::string& xml)
{
    WString text = WSTR("\xFEFF") + WideFromUtf8(xml);
    return WIMSetImageInformation(image, text.data(), static_cast<DWORD>(text.size() * sizeof(WCHAR)));
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

class WimlibLayerRealWim : public testing::Test {
protected:
    void SetUp() override
    {
        previous_ = SetImagingLibrary(&PlatformImagingLibrary());
        char pattern[] = "/tmp/corvane-layer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        MakeTree("one", {{"a.txt", "alpha\n"}, {"sub/b.txt", "beta\n"}});
        MakeTree("two", {{"c.txt", std::string(200000, 'c')}, {"d.txt", "delta\n"}});
        MakeTree("three", {{"e.txt", "epsilon\n"}});
    }

    void TearDown() override
    {
        Shell("chmod -R u+w " + Quote(folder_) + " ; rm -rf " + Quote(folder_));
        SetImagingLibrary(previous_);
    }

    std::string Path(const std::string& name) const { return folder_ + "/" + name; }

    void MakeTree(const std::string& name, const std::map<std::string, std::string>& files)
    {
        for (const auto& [file, content] : files) {
            const std::string path = Path(name + "/" + file);
            Shell("mkdir -p " + Quote(path.substr(0, path.rfind('/'))));
            WriteBytes(path, content);
        }
    }

    // A WIM with the trees "one", "two", "three" as images, in that order.
    std::string MakeWim(const std::string& name, int images, const std::string& options = "")
    {
        static const char* const kTrees[] = {"one", "two", "three"};
        static const char* const kNames[] = {"First", "Tools & More", "Third"};
        const std::string wim = Path(name);
        for (int i = 0; i < images; ++i) {
            const std::string command = std::string("wimlib-imagex ") + (i == 0 ? "capture " : "append ") +
                                        Quote(Path(kTrees[i])) + " " + Quote(wim) + " " + Quote(kNames[i]) +
                                        " " + options;
            EXPECT_EQ(Shell(command), 0) << command;
        }
        return wim;
    }

    HANDLE Open(const std::string& wim, DWORD access, DWORD flags = 0, DWORD disposition = WIM_OPEN_EXISTING,
                DWORD compression = WIM_COMPRESS_NONE, DWORD* creation = nullptr)
    {
        DWORD ignored = 0xFFFF;
        return WIMCreateFile(DosPath(wim).c_str(), access, disposition, flags, compression,
                             creation != nullptr ? creation : &ignored);
    }

    std::string folder_;
    const ImagingLibrary* previous_ = nullptr;
};

constexpr DWORD kReadWrite = WIM_GENERIC_READ | WIM_GENERIC_WRITE;

TEST_F(WimlibLayerRealWim, HeaderAgreesWithWimlibImagex)
{
    struct Case {
        const char* options;
        DWORD compression;
        const char* compressionName;
        DWORD boot;
        bool integrity;
    };
    const Case cases[] = {{"--compress=none", WIM_COMPRESS_NONE, "None", 0, false},
                          {"--compress=xpress --boot", WIM_COMPRESS_XPRESS, "XPRESS", 2, false},
                          {"--compress=lzx --check", WIM_COMPRESS_LZX, "LZX", 0, true}};
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string wim = MakeWim("header" + std::to_string(++number) + ".wim", 2, c.options);
        auto info = WimlibInfo(wim);
        ASSERT_EQ(info.size(), 3u);

        DWORD creation = 0xFFFF;
        HANDLE handle = Open(wim, WIM_GENERIC_READ, 0, WIM_OPEN_EXISTING, WIM_COMPRESS_NONE, &creation);
        ASSERT_NE(handle, nullptr) << GetLastError();
        EXPECT_EQ(creation, static_cast<DWORD>(WIM_OPENED_EXISTING));
        WIM_INFO header = {};
        ASSERT_TRUE(WIMGetAttributes(handle, &header, sizeof header));
        EXPECT_EQ(Utf8FromWide(header.WimPath), Utf8FromWide(DosPath(wim)));
        EXPECT_EQ(GuidHex(header.Guid), info[0].at("GUID"));
        EXPECT_EQ(header.ImageCount, 2u);
        EXPECT_EQ(WIMGetImageCount(handle), 2u);
        EXPECT_EQ(header.CompressionType, c.compression);
        EXPECT_EQ(info[0].at("Compression"), c.compressionName);
        EXPECT_EQ(header.PartNumber, 1);
        EXPECT_EQ(header.TotalParts, 1);
        EXPECT_EQ(header.BootIndex, c.boot);
        EXPECT_EQ(info[0].at("Boot Index"), std::to_string(c.boot));
        const std::string& attributes = info[0].at("Attributes");
        EXPECT_EQ((header.WimAttributes & WIM_ATTRIBUTE_VERIFY_DATA) != 0, c.integrity);
        EXPECT_EQ(attributes.find("Integrity info") != std::string::npos, c.integrity);
        EXPECT_EQ((header.WimAttributes & WIM_ATTRIBUTE_RP_FIX) != 0,
                  attributes.find("Relative path junction") != std::string::npos);
        EXPECT_EQ(header.WimAttributes & (WIM_ATTRIBUTE_READONLY | WIM_ATTRIBUTE_SPANNED), 0u);
        EXPECT_TRUE(WIMCloseHandle(handle));
    }
}

TEST_F(WimlibLayerRealWim, CreatesWimsWholeOnTheirFirstWriteAndHonoursDispositions)
{
    const std::string wim = Path("new.wim");
    DWORD creation = 0xFFFF;
    HANDLE handle = Open(wim, kReadWrite, 0, WIM_CREATE_NEW, WIM_COMPRESS_LZX, &creation);
    ASSERT_NE(handle, nullptr) << GetLastError();
    EXPECT_EQ(creation, static_cast<DWORD>(WIM_CREATED_NEW));
    WIM_INFO header = {};
    ASSERT_TRUE(WIMGetAttributes(handle, &header, sizeof header));
    EXPECT_EQ(header.ImageCount, 0u);
    EXPECT_EQ(header.CompressionType, static_cast<DWORD>(WIM_COMPRESS_LZX));
    EXPECT_EQ(header.WimAttributes & (WIM_ATTRIBUTE_READONLY | WIM_ATTRIBUTE_SPANNED), 0u);
    // No name on disk until something is written, then the whole file at once.
    EXPECT_NE(access(wim.c_str(), F_OK), 0);
    Shell("mkdir -p " + Quote(Path("tree")) + " && echo x > " + Quote(Path("tree/x")));
    HANDLE image = WIMCaptureImage(handle, DosPath(Path("tree")).c_str(), 0);
    ASSERT_NE(image, nullptr) << GetLastError();
    EXPECT_NE(access(wim.c_str(), F_OK), 0);  // written as the handle closes
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_TRUE(WIMCloseHandle(handle));
    auto info = WimlibInfo(wim);
    EXPECT_EQ(info[0]["Image Count"], "1");
    EXPECT_EQ(info[0]["Compression"], "LZX");
    EXPECT_EQ(info[0]["GUID"], GuidHex(header.Guid));

    const std::string before = ReadBytes(wim);
    EXPECT_EQ(Open(wim, kReadWrite, 0, WIM_CREATE_NEW), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadBytes(wim), before);

    handle = Open(wim, WIM_GENERIC_READ, 0, WIM_OPEN_ALWAYS, WIM_COMPRESS_NONE, &creation);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(creation, static_cast<DWORD>(WIM_OPENED_EXISTING));
    EXPECT_TRUE(WIMCloseHandle(handle));

    // Replacing: the old file stays as it was until the new one is written.
    const std::string full = MakeWim("full.wim", 2);
    const std::string fullBytes = ReadBytes(full);
    handle = Open(full, kReadWrite, 0, WIM_CREATE_ALWAYS, WIM_COMPRESS_XPRESS, &creation);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(creation, static_cast<DWORD>(WIM_CREATED_NEW));
    EXPECT_EQ(WIMGetImageCount(handle), 0u);
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_EQ(ReadBytes(full), fullBytes);
    handle = Open(full, kReadWrite, 0, WIM_CREATE_ALWAYS, WIM_COMPRESS_XPRESS, &creation);
    ASSERT_NE(handle, nullptr);
    image = WIMCaptureImage(handle, DosPath(Path("tree")).c_str(), 0);
    ASSERT_NE(image, nullptr) << GetLastError();
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_TRUE(WIMCloseHandle(handle));
    info = WimlibInfo(full);
    EXPECT_EQ(info[0]["Image Count"], "1");
    EXPECT_EQ(info[0]["Compression"], "XPRESS");
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quote(full)), 0);

    handle = Open(Path("fresh.wim"), kReadWrite, 0, WIM_OPEN_ALWAYS, WIM_COMPRESS_NONE, &creation);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(creation, static_cast<DWORD>(WIM_CREATED_NEW));
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_NE(access(Path("fresh.wim").c_str(), F_OK), 0);

    EXPECT_EQ(Open(Path("bad.wim"), kReadWrite, 0, WIM_CREATE_NEW, 4), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_NE(access(Path("bad.wim").c_str(), F_OK), 0);
    EXPECT_EQ(Output("ls -A " + Quote(folder_) + " | grep -c corvane-"), "0\n");  // no temporary file left
}

TEST_F(WimlibLayerRealWim, XmlIsTheFilesOwnTextWithMark)
{
    const std::string wim = MakeWim("xml.wim", 3);
    const std::string file = Utf8FromWide(InfoXml(wim));
    ASSERT_EQ(file.rfind("\xEF\xBB\xBF<WIM>", 0), 0u);  // U+FEFF in UTF-8, then the root

    HANDLE handle = Open(wim, WIM_GENERIC_READ);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(LayerXml(handle), file.substr(3));

    HANDLE image = WIMLoadImage(handle, 2);
    ASSERT_NE(image, nullptr);
    const std::string imageXml = LayerXml(image);
    EXPECT_EQ(imageXml.rfind("<IMAGE INDEX=\"2\">", 0), 0u) << imageXml;
    EXPECT_EQ(imageXml.substr(imageXml.size() - 8), "</IMAGE>");
    EXPECT_NE(imageXml.find("<NAME>Tools &amp; More</NAME>"), std::string::npos) << imageXml;
    EXPECT_NE(file.find(imageXml), std::string::npos);
    EXPECT_EQ(imageXml.find("INDEX=\"3\""), std::string::npos);

    EXPECT_EQ(WIMLoadImage(handle, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WIMLoadImage(handle, 4), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_TRUE(WIMCloseHandle(handle));
}

TEST_F(WimlibLayerRealWim, SetInformationStoresTheWholeTree)
{
    const std::string wim = MakeWim("set.wim", 2, "--check");
    HANDLE handle = Open(wim, kReadWrite, WIM_FLAG_VERIFY);
    ASSERT_NE(handle, nullptr);
    HANDLE image = WIMLoadImage(handle, 1);
    ASSERT_NE(image, nullptr);
    const std::string original = LayerXml(image);
    HANDLE other = WIMLoadImage(handle, 2);
    const std::string otherBefore = LayerXml(other);

    const std::string added = "<DESCRIPTION>Line &quot;one&quot; &#x263A;</DESCRIPTION>"
                              "<FLAGS>Professional</FLAGS>"
                              "<WINDOWS><ARCH>9</ARCH><VERSION><MAJOR>10</MAJOR><MINOR>0</MINOR></VERSION>"
                              "<LANGUAGES><LANGUAGE>en-US</LANGUAGE><LANGUAGE>zh-TW</LANGUAGE>"
                              "<DEFAULT>en-US</DEFAULT></LANGUAGES></WINDOWS>"
                              "<CORVANETEST><ITEM>one</ITEM><ITEM>two</ITEM></CORVANETEST>"
                              "<DISPLAYNAME>Shown</DISPLAYNAME>";
    std::string given = Replace(original, "<NAME>First</NAME>", "<NAME>A &amp; B &lt;test&gt;</NAME>");
    given = Replace(given, "</IMAGE>", added + "</IMAGE>");
    const std::string fileBefore = ReadBytes(wim);
    ASSERT_TRUE(SetLayerXml(image, given)) << GetLastError();

    // Kept with the handle until it closes: the file is as it was, and the
    // handles show the same tree, escaped as the file will hold it.
    EXPECT_EQ(ReadBytes(wim), fileBefore);
    const std::string stored = Replace(given, "Line &quot;one&quot; &#x263A;", "Line \"one\" \xE2\x98\xBA");
    EXPECT_EQ(LayerXml(image), stored);
    EXPECT_EQ(LayerXml(other), otherBefore);

    // Indented text, as the program's writer makes it, removing elements and
    // a repeated one: the stored tree follows again.
    std::string smaller = Replace(stored, "<LANGUAGE>zh-TW</LANGUAGE>", "");
    smaller = Replace(smaller, "<CORVANETEST><ITEM>one</ITEM><ITEM>two</ITEM></CORVANETEST>", "");
    smaller = Replace(smaller, "<FLAGS>Professional</FLAGS>", "<FLAGS>Core</FLAGS>");
    // Line breaks and indentation between tags only; inside a leaf they would be text.
    std::string pretty;
    for (size_t at = 0; at < smaller.size(); ++at) {
        if (smaller[at] == '<' && at > 0 && smaller[at - 1] == '>')
            pretty += "\r\n  ";
        pretty += smaller[at];
    }
    ASSERT_TRUE(SetLayerXml(image, pretty)) << GetLastError();
    EXPECT_EQ(LayerXml(image), smaller);

    WIM_INFO header = {};
    ASSERT_TRUE(WIMGetAttributes(handle, &header, sizeof header));
    EXPECT_NE(header.WimAttributes & WIM_ATTRIBUTE_VERIFY_DATA, 0u);
    EXPECT_FALSE(SetLayerXml(handle, smaller));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(WIMCloseHandle(other));
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_TRUE(WIMCloseHandle(handle)) << GetLastError();

    // Written as the handle closed: another reader sees the last tree.
    auto info = WimlibInfo(wim);
    EXPECT_EQ(info[1]["Name"], "A & B <test>");
    EXPECT_EQ(info[1]["Description"], "Line \"one\" \xE2\x98\xBA");
    EXPECT_EQ(info[1]["Display Name"], "Shown");
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quote(wim)), 0);
    const std::string file = Utf8FromWide(InfoXml(wim));
    EXPECT_NE(file.find("<LANGUAGES><LANGUAGE>en-US</LANGUAGE><DEFAULT>en-US</DEFAULT>"), std::string::npos)
        << file;
    handle = Open(wim, WIM_GENERIC_READ);
    image = WIMLoadImage(handle, 1);
    EXPECT_EQ(LayerXml(image), smaller);
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_TRUE(WIMCloseHandle(handle));
}

TEST_F(WimlibLayerRealWim, MalformedXmlIsRefusedAndNothingChanges)
{
    const std::string wim = MakeWim("malformed.wim", 1);
    HANDLE handle = Open(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    HANDLE image = WIMLoadImage(handle, 1);
    ASSERT_NE(image, nullptr);
    const std::string before = ReadBytes(wim);
    const char* const bad[] = {
        "<IMAGE INDEX=\"1\"><NAME>x</NAME>",
        "<IMAGE INDEX=\"1\"><NAME>x</FLAGS></IMAGE>",
        "<IMAGE INDEX=\"1\"><NAME>a &bogus; b</NAME></IMAGE>",
        "<IMAGE INDEX=\"1\"><NAME>a & b</NAME></IMAGE>",
        "<IMAGE INDEX=\"1\"><NAME>a < b</NAME></IMAGE>",
        "<IMAGE INDEX=\"1\"><NAME>x</NAME></IMAGE><IMAGE/>",
        "<IMAGE INDEX=\"1\" INDEX=\"2\"><NAME>x</NAME></IMAGE>",
        "<WIM><NAME>x</NAME></WIM>",
        "<IMAGE INDEX=\"1\">loose<NAME>x</NAME></IMAGE>",
        "",
    };
    for (const char* xml : bad) {
        SCOPED_TRACE(xml);
        EXPECT_FALSE(SetLayerXml(image, xml));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    EXPECT_EQ(ReadBytes(wim), before);
    EXPECT_EQ(WimlibInfo(wim)[1]["Name"], "First");
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_TRUE(WIMCloseHandle(handle));
}

TEST_F(WimlibLayerRealWim, DeleteRewritesTheFileAndKeepsTheOthers)
{
    const std::string wim = MakeWim("delete.wim", 3, "--compress=none");
    const off_t sizeBefore = static_cast<off_t>(ReadBytes(wim).size());
    HANDLE handle = Open(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    HANDLE third = WIMLoadImage(handle, 3);
    HANDLE second = WIMLoadImage(handle, 2);
    ASSERT_NE(third, nullptr);
    ASSERT_NE(second, nullptr);

    const std::string unchanged = ReadBytes(wim);
    EXPECT_FALSE(WIMDeleteImage(handle, 2));  // its image handle is open
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(WIMDeleteImage(handle, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WIMDeleteImage(handle, 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ReadBytes(wim), unchanged);

    EXPECT_TRUE(WIMCloseHandle(second));
    ASSERT_TRUE(WIMDeleteImage(handle, 2)) << GetLastError();
    // Kept until the close; the handles show the file without it.
    EXPECT_EQ(ReadBytes(wim), unchanged);
    EXPECT_EQ(WIMGetImageCount(handle), 2u);
    // The open handle on the old third image now speaks of image 2.
    const std::string thirdXml = LayerXml(third);
    EXPECT_EQ(thirdXml.rfind("<IMAGE INDEX=\"2\"><NAME>Third</NAME>", 0), 0u) << thirdXml;
    EXPECT_TRUE(WIMCloseHandle(third));
    EXPECT_TRUE(WIMCloseHandle(handle)) << GetLastError();
    auto info = WimlibInfo(wim);
    ASSERT_EQ(info.size(), 3u);
    EXPECT_EQ(info[0]["Image Count"], "2");
    EXPECT_EQ(info[1]["Name"], "First");
    EXPECT_EQ(info[2]["Name"], "Third");
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quote(wim)), 0);
    EXPECT_LT(static_cast<off_t>(ReadBytes(wim).size()), sizeBefore - 100000);  // the 200 kB file went too
}

TEST_F(WimlibLayerRealWim, BootImageChangeIsStoredAtTheClose)
{
    const std::string wim = MakeWim("boot.wim", 2);
    HANDLE handle = Open(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    const std::string before = ReadBytes(wim);
    ASSERT_TRUE(WIMSetBootImage(handle, 2));
    WIM_INFO header = {};
    ASSERT_TRUE(WIMGetAttributes(handle, &header, sizeof header));
    EXPECT_EQ(header.BootIndex, 2u);
    EXPECT_FALSE(WIMSetBootImage(handle, 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ReadBytes(wim), before);
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_EQ(WimlibInfo(wim)[0]["Boot Index"], "2");
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quote(wim)), 0);

    handle = Open(wim, kReadWrite);
    ASSERT_TRUE(WIMGetAttributes(handle, &header, sizeof header));
    EXPECT_EQ(header.BootIndex, 2u);
    ASSERT_TRUE(WIMSetBootImage(handle, 0));
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_EQ(WimlibInfo(wim)[0]["Boot Index"], "0");
}

TEST_F(WimlibLayerRealWim, FailuresTellTheirCauseAndLeaveFilesAlone)
{
    EXPECT_EQ(Open(Path("missing.wim"), WIM_GENERIC_READ), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(Path("no/such/folder/x.wim"), WIM_GENERIC_READ), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open(Path("no/such/folder/x.wim"), kReadWrite, 0, WIM_CREATE_NEW), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    struct Damaged {
        std::string name;
        std::string bytes;
        DWORD error;
    };
    const std::string good = ReadBytes(MakeWim("good.wim", 2));
    std::vector<Damaged> damaged = {
        {"short.wim", "not a WIM\n", static_cast<DWORD>(ERROR_BAD_FORMAT)},
        {"text.wim", std::string(4000, 'x'), static_cast<DWORD>(ERROR_BAD_FORMAT)},
        {"truncated.wim", good.substr(0, good.size() / 2), static_cast<DWORD>(ERROR_FILE_CORRUPT)},
    };
    for (const Damaged& d : damaged) {
        SCOPED_TRACE(d.name);
        WriteBytes(Path(d.name), d.bytes);
        EXPECT_EQ(Open(Path(d.name), kReadWrite), nullptr);
        EXPECT_EQ(GetLastError(), d.error);
        EXPECT_EQ(ReadBytes(Path(d.name)), d.bytes);
    }

    // The header's read-only flag (WIM_HDR_FLAG_READONLY, 0x4 at offset 16).
    std::string marked = good;
    marked[16] = static_cast<char>(marked[16] | 0x4);
    WriteBytes(Path("marked.wim"), marked);
    EXPECT_NE(WimlibInfo(Path("marked.wim"))[0]["Attributes"].find("Readonly"), std::string::npos);
    // A file without write permission, which Windows shows as read-only.
    WriteBytes(Path("locked.wim"), good);
    chmod(Path("locked.wim").c_str(), 0444);

    for (const char* name : {"marked.wim", "locked.wim"}) {
        SCOPED_TRACE(name);
        const std::string path = Path(name);
        const std::string before = ReadBytes(path);
        EXPECT_EQ(Open(path, kReadWrite), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

        HANDLE handle = Open(path, WIM_GENERIC_READ);
        ASSERT_NE(handle, nullptr) << GetLastError();
        WIM_INFO header = {};
        ASSERT_TRUE(WIMGetAttributes(handle, &header, sizeof header));
        EXPECT_NE(header.WimAttributes & WIM_ATTRIBUTE_READONLY, 0u);
        EXPECT_FALSE(WIMDeleteImage(handle, 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_FALSE(WIMSetBootImage(handle, 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        HANDLE image = WIMLoadImage(handle, 1);
        ASSERT_NE(image, nullptr);
        EXPECT_FALSE(SetLayerXml(image, "<IMAGE INDEX=\"1\"><NAME>Changed</NAME></IMAGE>"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(ReadBytes(path), before);
        EXPECT_TRUE(WIMCloseHandle(image));
        EXPECT_TRUE(WIMCloseHandle(handle));
    }

    HANDLE handle = Open(Path("good.wim"), WIM_GENERIC_READ);
    ASSERT_NE(handle, nullptr);
    WIM_INFO header = {};
    EXPECT_FALSE(WIMGetAttributes(handle, &header, sizeof header - 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(WIMSetTemporaryPath(handle, DosPath(Path("no-such-folder")).c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(WIMSetTemporaryPath(handle, WSTR("")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(WIMSetTemporaryPath(handle, DosPath(folder_).c_str()));
    EXPECT_TRUE(WIMCloseHandle(handle));
}

TEST_F(WimlibLayerRealWim, VerifyFlagRefusesDamagedIntegrityTableAndWritesOne)
{
    const std::string wim = MakeWim("integrity.wim", 1, "--check");
    std::string bytes = ReadBytes(wim);
    // The integrity table's header entry: offset at 0x84, then its first
    // hash 12 bytes into the table.
    uint64_t offset = 0;
    std::memcpy(&offset, bytes.data() + 0x84, sizeof offset);
    ASSERT_GT(offset, 0u);
    ASSERT_LT(offset + 12, bytes.size());
    bytes[offset + 12] = static_cast<char>(bytes[offset + 12] ^ 0x5A);
    WriteBytes(wim, bytes);

    EXPECT_EQ(Open(wim, WIM_GENERIC_READ, WIM_FLAG_VERIFY), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CRC));
    EXPECT_EQ(ReadBytes(wim), bytes);
    HANDLE handle = Open(wim, WIM_GENERIC_READ);  // without the check it opens
    EXPECT_NE(handle, nullptr);
    EXPECT_TRUE(WIMCloseHandle(handle));

    // A change through a handle opened with the flag leaves an integrity table.
    const std::string plain = MakeWim("plain.wim", 2);
    EXPECT_EQ(WimlibInfo(plain)[0]["Attributes"].find("Integrity info"), std::string::npos);
    handle = Open(plain, kReadWrite, WIM_FLAG_VERIFY);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(WIMDeleteImage(handle, 1));
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_NE(WimlibInfo(plain)[0]["Attributes"].find("Integrity info"), std::string::npos);
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quote(plain)), 0);
}

TEST_F(WimlibLayerRealWim, HandlesOutliveEachOtherAndStaleOnesFailCleanly)
{
    const std::string wim = MakeWim("handles.wim", 2);
    HANDLE handle = Open(wim, WIM_GENERIC_READ);
    HANDLE image = WIMLoadImage(handle, 1);
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_EQ(LayerXml(image).rfind("<IMAGE INDEX=\"1\"><NAME>First</NAME>", 0), 0u);
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_FALSE(WIMCloseHandle(image));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WIMCloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    handle = Open(wim, kReadWrite);
    image = WIMLoadImage(handle, 2);
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_EQ(WIMGetImageCount(handle), 2u);
    EXPECT_FALSE(WIMDeleteImage(image, 1));  // closed
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    image = WIMLoadImage(handle, 2);
    EXPECT_FALSE(WIMDeleteImage(image, 1));  // an image handle where a WIM handle belongs
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WIMGetImageCount(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1234))), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WIMGetImageCount(nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_TRUE(WIMCloseHandle(image));

    // A change through one handle is seen through another opened before it,
    // once written.
    HANDLE reader = Open(wim, WIM_GENERIC_READ);
    HANDLE writer = Open(wim, kReadWrite);
    ASSERT_TRUE(WIMDeleteImage(writer, 1));
    EXPECT_EQ(WIMGetImageCount(reader), 2u);
    EXPECT_TRUE(WIMCloseHandle(writer));
    EXPECT_EQ(WIMGetImageCount(reader), 1u);

    // A file that no longer reads fails every call, and is read again once whole.
    const std::string whole = ReadBytes(wim);
    WriteBytes(wim, std::string(4096, '\0'));
    EXPECT_EQ(WIMGetImageCount(reader), 0u);
    EXPECT_EQ(WIMGetImageCount(reader), 0u);
    WriteBytes(wim, whole);
    EXPECT_EQ(WIMGetImageCount(reader), 1u);
    EXPECT_TRUE(WIMCloseHandle(reader));
}

struct CallbackLog {
    int messages = 0;
    DWORD abortOn = 0;
};

DWORD CALLBACK RecordingCallback(DWORD message, WPARAM, LPARAM, PVOID userData)
{
    auto* log = static_cast<CallbackLog*>(userData);
    ++log->messages;
    return message == log->abortOn ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
}

DWORD CALLBACK AbortingCallback(DWORD, WPARAM, LPARAM, PVOID)
{
    return WIM_MSG_ABORT_IMAGE;
}

TEST_F(WimlibLayerRealWim, CallbacksHearWritesAndAnAbortKeepsTheFile)
{
    const std::string wim = MakeWim("abort.wim", 2, "--check");
    const std::string before = ReadBytes(wim);
    HANDLE handle = Open(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    HANDLE image = WIMLoadImage(handle, 1);

    CallbackLog log;
    const DWORD first = WIMRegisterMessageCallback(nullptr, RecordingCallback, &log);
    const DWORD second = WIMRegisterMessageCallback(nullptr, AbortingCallback, nullptr);
    EXPECT_NE(first, INVALID_CALLBACK_VALUE);
    EXPECT_NE(second, INVALID_CALLBACK_VALUE);
    EXPECT_NE(first, second);

    // Kept until the close, which writes them and is aborted: a rebuild
    // into a new file (the delete), then an append in place.
    ASSERT_TRUE(WIMDeleteImage(handle, 2)) << GetLastError();
    ASSERT_TRUE(SetLayerXml(image, "<IMAGE><NAME>Renamed</NAME></IMAGE>")) << GetLastError();
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_FALSE(WIMCloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    EXPECT_GT(log.messages, 0);
    EXPECT_EQ(ReadBytes(wim), before);
    handle = Open(wim, kReadWrite);
    image = WIMLoadImage(handle, 1);
    ASSERT_TRUE(SetLayerXml(image, "<IMAGE><NAME>Renamed</NAME></IMAGE>")) << GetLastError();
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_FALSE(WIMCloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    EXPECT_EQ(ReadBytes(wim), before);

    EXPECT_TRUE(WIMUnregisterMessageCallback(nullptr, AbortingCallback));
    EXPECT_FALSE(WIMUnregisterMessageCallback(nullptr, AbortingCallback));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const int heard = log.messages;
    handle = Open(wim, kReadWrite);
    image = WIMLoadImage(handle, 1);
    ASSERT_TRUE(SetLayerXml(image, "<IMAGE><NAME>Renamed</NAME></IMAGE>")) << GetLastError();
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_TRUE(WIMCloseHandle(handle)) << GetLastError();
    EXPECT_GT(log.messages, heard);
    EXPECT_EQ(WimlibInfo(wim)[1]["Name"], "Renamed");
    EXPECT_TRUE(WIMUnregisterMessageCallback(nullptr, RecordingCallback));

    // Registered on the WIM handle: heard for its write, dropped when it closes.
    CallbackLog own;
    handle = Open(wim, kReadWrite);
    EXPECT_NE(WIMRegisterMessageCallback(handle, RecordingCallback, &own), INVALID_CALLBACK_VALUE);
    ASSERT_TRUE(WIMSetBootImage(handle, 1));
    HANDLE other = Open(MakeWim("other.wim", 1), kReadWrite);
    ASSERT_TRUE(WIMSetBootImage(other, 1));
    EXPECT_TRUE(WIMCloseHandle(other));
    EXPECT_EQ(own.messages, 0) << "another WIM's messages";
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_GT(own.messages, 0);
    EXPECT_FALSE(WIMUnregisterMessageCallback(handle, RecordingCallback));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace

// The figures every progress message carries: a percentage that never
// passes 100 and a remaining time at the pace so far, with no division by
// nothing at either end.
TEST(WimlibLayerProgress, PercentAndRemainingTimeFromBytesDone)
{
    const DWORD started = GetTickCount() - 1000;
    struct Case {
        uint64_t done, total;
        WPARAM percent;
        LPARAM minRemaining, maxRemaining;
    };
    const Case cases[] = {
        {0, 0, 100, 0, 0},                                  // nothing to write
        {0, 400, 0, 0, 0},                                  // no pace yet
        {100, 400, 25, 3000, 3300},                         // a quarter in a second: three to go
        {400, 400, 100, 0, 0},      {500, 400, 100, 0, 0},  // a library that counts past its total
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.done) + " of " + std::to_string(c.total));
        const layer::ProgressFigures figures = layer::EstimateProgress(c.done, c.total, started);
        EXPECT_EQ(figures.percent, c.percent);
        EXPECT_GE(figures.remaining, c.minRemaining);
        EXPECT_LE(figures.remaining, c.maxRemaining);
    }
}
