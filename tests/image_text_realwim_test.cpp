// Image texts through the change path (escape, the program's XML tree, the
// wimlib layer) on real WIM files: stored to the character, as wimlib-imagex
// reads them back, or refused with the file untouched.
#include "imaging/wimgapi.h"
#include "imaging/wimlib/layer.h"
#include "metadata/image_info.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/xml_notice.h"

#include <mmsystem.h>

#include <chrono>
#include <cstring>
#include <fstream>

namespace {

constexpr DWORD kReadWrite = WIM_GENERIC_READ | WIM_GENERIC_WRITE;

HANDLE OpenWim(const std::string& wim, DWORD access)
{
    DWORD creation = 0;
    return WIMCreateFile(DosPath(wim).c_str(), access, WIM_OPEN_EXISTING, 0, WIM_COMPRESS_NONE, &creation);
}

std::string Sha256(const std::string& path)
{
    return ShellOutput("sha256sum " + Quoted(path) + " | cut -c1-64");
}

// The file's XML as wimlib-imagex prints it (UTF-16, the mark dropped).
WString FileXml(const std::string& wim)
{
    const std::string bytes = ShellOutput("wimlib-imagex info --xml " + Quoted(wim));
    WString text(bytes.size() / 2, WCHAR{});
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(WCHAR));
    if (!text.empty() && text[0] == 0xFEFF)
        text.erase(0, 1);
    return text;
}

// The text of the first `element` of image `index` in the file, references
// decoded; "(absent)" when the image has no such element.
WString StoredText(const std::string& wim, int index, const std::string& element)
{
    const WString xml = FileXml(wim);
    const WString image = WideFromUtf8("<IMAGE INDEX=\"" + std::to_string(index) + "\">");
    const size_t imageAt = xml.find(image);
    const size_t imageEnd = xml.find(WSTR("</IMAGE>"), imageAt);
    const WString open = WideFromUtf8("<" + element + ">");
    const size_t start = xml.find(open, imageAt);
    if (imageAt == WString::npos || start == WString::npos || start > imageEnd)
        return WSTR("(absent)");
    const size_t from = start + open.size();
    const WString raw = xml.substr(from, xml.find(WSTR("</"), from) - from);
    WString decoded;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            decoded += raw[i];
            continue;
        }
        const size_t semicolon = raw.find(';', i);
        const std::string name = Utf8FromWide(raw.substr(i + 1, semicolon - i - 1));
        i = semicolon;
        if (name == "lt")
            decoded += '<';
        else if (name == "gt")
            decoded += '>';
        else if (name == "amp")
            decoded += '&';
        else if (name == "quot")
            decoded += '"';
        else if (name == "apos")
            decoded += '\'';
        else {
            unsigned long code =
                name[1] == 'x' ? std::stoul(name.substr(2), nullptr, 16) : std::stoul(name.substr(1));
            if (code >= 0x10000) {
                code -= 0x10000;
                decoded += static_cast<WCHAR>(0xD800 + (code >> 10));
                code = 0xDC00 + (code & 0x3FF);
            }
            decoded += static_cast<WCHAR>(code);
        }
    }
    return decoded;
}

// Puts a new XML document into a WIM: appended, and the header's XML entry
// pointed at it (wimlib-imagex has no way to write arbitrary XML).
void ReplaceWimXml(const std::string& wim, const std::string& utf8)
{
    std::string bytes = FileBytes(wim);
    const WString text = WSTR("\xFEFF") + WideFromUtf8(utf8);
    const uint64_t offset = bytes.size();
    const uint64_t size = text.size() * sizeof(WCHAR);
    bytes.append(reinterpret_cast<const char*>(text.data()), size);
    const uint64_t sizeAndFlags =
        size | (static_cast<uint64_t>(static_cast<unsigned char>(bytes[72 + 7])) << 56);
    std::memcpy(&bytes[72], &sizeAndFlags, 8);
    std::memcpy(&bytes[80], &offset, 8);
    std::memcpy(&bytes[88], &size, 8);
    std::ofstream(wim, std::ios::binary | std::ios::trunc) << bytes;
}

BOOL SetLayerXml(HANDLE image, const WString& xml)
{
    WString text = WSTR("\xFEFF") + xml;
    return WIMSetImageInformation(image, text.data(), static_cast<DWORD>(text.size() * sizeof(WCHAR)));
}

class ImageTextRealWim : public testing::Test {
protected:
    void SetUp() override
    {
        previous_ = SetImagingLibrary(&PlatformImagingLibrary());
        wim = folder / "texts.wim";
        MakeSampleWim(wim, 2, "--compress=none");
    }
    void TearDown() override { SetImagingLibrary(previous_); }

    // Sets one element of image 1 as the change operation does.
    bool SetField(const WString& element, const WString& text)
    {
        HANDLE handle = OpenWim(wim, kReadWrite);
        if (handle == nullptr)
            return false;
        HANDLE image = WIMLoadImage(handle, 1);
        const bool stored = SetImageField(task, image, element, EscapeXmlText(text));
        const DWORD error = GetLastError();
        WIMCloseHandle(image);
        WIMCloseHandle(handle);
        SetLastError(error);
        return stored;
    }

    XmlNoticeCounter notices;
    ScratchFolder folder;
    TaskState task;
    std::string wim;
    const ImagingLibrary* previous_ = nullptr;
};

TEST_F(ImageTextRealWim, TextsAreStoredToTheCharacter)
{
    WString long10k;
    const WString pattern = WSTR("ab <&> \u4E2D\u6587 \xD83D\xDE00 ]]> \"'\t");
    while (long10k.size() < 10000)
        long10k += pattern;
    long10k.resize(10000);
    if (long10k.back() >= 0xD800 && long10k.back() <= 0xDBFF)
        long10k.back() = 'z';  // not a pair cut in half
    const WString texts[] = {
        WSTR("  two  spaces "),
        WSTR("    "),
        WSTR("a]]>b"),
        WSTR("line one\r\nline two\ttabbed\r"),
        WSTR("A & B < C > D \"quoted\" 'single'"),
        WSTR("\xD83D\xDE00 \xD840\xDC0B astral"),
        long10k,
    };
    for (const WString& text : texts) {
        SCOPED_TRACE(Utf8FromWide(text.substr(0, 40)));
        ASSERT_TRUE(SetField(WSTR("DESCRIPTION"), text)) << GetLastError();
        EXPECT_EQ(StoredText(wim, 1, "DESCRIPTION"), text);
    }
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(wim)), 0);
    EXPECT_EQ(notices.count(), 0);
}

TEST_F(ImageTextRealWim, TextsXmlCannotHoldAreRefusedBeforeAnythingIsWritten)
{
    const WString texts[] = {
        WSTR("x\x0001y"),         WSTR("vertical\x000Btab"), WSTR("form\x000C"),
        WSTR("\x001F"),           WSTR("not\xFFFE"),         WSTR("not\xFFFF"),
        WSTR("lone \xD800 high"), WSTR("lone \xDC00 low"),   WSTR("\xDE00\xD83D reversed"),
        WSTR("cut \xD83D"),
    };
    const std::string before = Sha256(wim);
    // Refused before a commit starts: no journal, no sync.
    static int syncs;
    syncs = 0;
    int (*previous)(int) = layer::SyncDescriptor;
    layer::SyncDescriptor = [](int descriptor) {
        ++syncs;
        return fsync(descriptor);
    };
    for (const WString& text : texts) {
        SCOPED_TRACE(testing::PrintToString(std::vector<int>(text.begin(), text.end())));
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SetField(WSTR("DESCRIPTION"), text));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(Sha256(wim), before);
    }
    layer::SyncDescriptor = previous;
    EXPECT_EQ(syncs, 0);
    EXPECT_EQ(StoredText(wim, 1, "DESCRIPTION"), WSTR("Description 1"));
}

TEST_F(ImageTextRealWim, AChangeKeepsEveryOtherElementItsAttributesAndItsPlace)
{
    // Blank texts, an unknown element with attributes, one of only white
    // space and one without text, as another tool may have written them.
    ReplaceWimXml(wim, "<WIM><TOTALBYTES>1</TOTALBYTES><IMAGE INDEX=\"1\"><DIRCOUNT>4</DIRCOUNT>"
                       "<FILECOUNT>3</FILECOUNT><TOTALBYTES>25300</TOTALBYTES><NAME>Image 1</NAME>"
                       "<TOOL kind=\"x&amp;y\" n='2'>made</TOOL><BLANK>   </BLANK><LINES>\r\n  </LINES>"
                       "<MARK on=\"1\"/><DESCRIPTION>Description 1</DESCRIPTION></IMAGE>"
                       "<IMAGE INDEX=\"2\"><NAME>Image 2</NAME></IMAGE></WIM>");
    ASSERT_EQ(Shell("wimlib-imagex info " + Quoted(wim)), 0);

    task.changeSource = DosPath(wim);
    task.changeIndex = 1;
    task.changeFlags = WSTR("    ");
    task.changeName = WSTR("X");
    task.changeDescription = WSTR("  two  spaces ");
    task.startTime = timeGetTime();
    ASSERT_TRUE(RunChange(task)) << Utf8FromWide(task.logText);

    const std::string xml = Utf8FromWide(FileXml(wim));
    EXPECT_NE(xml.find("<NAME>X</NAME><TOOL kind=\"x&amp;y\" n=\"2\">made</TOOL><BLANK>   </BLANK>"
                       "<LINES>\n  </LINES><MARK on=\"1\"/><DESCRIPTION>  two  spaces </DESCRIPTION>"
                       "<FLAGS>    </FLAGS></IMAGE>"),
              std::string::npos)
        << xml;
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(wim)), 0);
}

TEST_F(ImageTextRealWim, WhatWimlibCannotStoreIsRefusedAndTheFileKept)
{
    HANDLE handle = OpenWim(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    HANDLE image = WIMLoadImage(handle, 1);
    const std::string before = Sha256(wim);
    const WCHAR* wanted[] = {
        WSTR("<IMAGE INDEX=\"1\"><NAME>Image 1</NAME><NEW a=\"1\">t</NEW></IMAGE>"),
        WSTR("<IMAGE INDEX=\"1\"><NAME>Image 1</NAME><NEW><EMPTY/><MARKED a=\"1\"/></NEW></IMAGE>"),
    };
    for (const WCHAR* xml : wanted) {
        SCOPED_TRACE(Utf8FromWide(xml));
        EXPECT_FALSE(SetLayerXml(image, xml));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(Sha256(wim), before);
    }
    WIMCloseHandle(image);
    WIMCloseHandle(handle);
}

// Elements without text say nothing and wimlib cannot hold them: they are
// left out, and the texts beside them are stored (an offline installation's
// element with some values missing).
TEST_F(ImageTextRealWim, ElementsWithoutTextAreLeftOutAndTheirNeighboursStored)
{
    HANDLE handle = OpenWim(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    HANDLE image = WIMLoadImage(handle, 1);
    ASSERT_TRUE(SetLayerXml(image, WSTR("<IMAGE INDEX=\"1\"><NAME>Image 1</NAME><EMPTY/><FLAGS>Pro</FLAGS>"
                                        "<WINDOWS><ARCH>9</ARCH><HAL></HAL><VERSION><MAJOR/></VERSION>"
                                        "<SYSTEMROOT>WINDOWS</SYSTEMROOT></WINDOWS>"
                                        "<DESCRIPTION>Description 1</DESCRIPTION></IMAGE>")))
        << GetLastError();
    WIMCloseHandle(image);
    WIMCloseHandle(handle);
    const std::string xml = Utf8FromWide(FileXml(wim));
    EXPECT_NE(xml.find("<FLAGS>Pro</FLAGS><WINDOWS><ARCH>9</ARCH><SYSTEMROOT>WINDOWS</SYSTEMROOT></WINDOWS>"
                       "<DESCRIPTION>Description 1</DESCRIPTION></IMAGE>"),
              std::string::npos)
        << xml;
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(wim)), 0);

    // One left out before an element of the file's with attributes does not
    // move that element, which could not be added again.
    ReplaceWimXml(
        wim, "<WIM><TOTALBYTES>1</TOTALBYTES><IMAGE INDEX=\"1\"><NAME>Image 1</NAME>"
             "<TOOL kind=\"x\">made</TOOL></IMAGE><IMAGE INDEX=\"2\"><NAME>Image 2</NAME></IMAGE></WIM>");
    handle = OpenWim(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    image = WIMLoadImage(handle, 1);
    EXPECT_TRUE(SetLayerXml(
        image, WSTR("<IMAGE INDEX=\"1\"><NAME>Image 1</NAME><EMPTY/><TOOL kind=\"x\">made</TOOL></IMAGE>")))
        << GetLastError();
    WIMCloseHandle(image);
    WIMCloseHandle(handle);
    EXPECT_THAT(Utf8FromWide(FileXml(wim)),
                testing::HasSubstr("<NAME>Image 1</NAME><TOOL kind=\"x\">made</TOOL>"));
}

TEST_F(ImageTextRealWim, ReferencesAboveU10000AndDeepTreesReadLikeWimlibReadsThem)
{
    HANDLE handle = OpenWim(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    HANDLE image = WIMLoadImage(handle, 1);
    ASSERT_TRUE(
        SetLayerXml(image, WSTR("<IMAGE INDEX=\"1\"><NAME>&#x1F600;&#128512;&#x10FFFD;&#65;</NAME></IMAGE>")))
        << GetLastError();
    for (const WCHAR* reference : {WSTR("&#xFFFE;"), WSTR("&#xD800;"), WSTR("&#x110000;"), WSTR("&#1;")}) {
        EXPECT_FALSE(
            SetLayerXml(image, WString(WSTR("<IMAGE><NAME>")) + reference + WSTR("</NAME></IMAGE>")));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }

    // Checking 40,000 attributes for a repeated one must not take quadratic
    // time (seconds); the repeat at the end is found.
    std::string attributes;
    for (int i = 0; i < 40000; ++i)
        attributes += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    const WString many = WideFromUtf8("<IMAGE><NAME" + attributes + " a7=\"again\">x</NAME></IMAGE>");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SetLayerXml(image, many));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    WIMCloseHandle(image);
    EXPECT_TRUE(WIMCloseHandle(handle)) << GetLastError();
    // The close wrote the one that was taken, none of the refused ones.
    EXPECT_EQ(StoredText(wim, 1, "NAME"), WSTR("\xD83D\xDE00\xD83D\xDE00\xDBFF\xDFFD"
                                               "A"));

    // 257 levels, as deep as wimlib reads, open here too; one more does not
    // open in either.
    for (int extra : {255, 256}) {
        SCOPED_TRACE(extra);
        std::string nested;
        for (int i = 0; i < extra; ++i)
            nested += "<L>";
        nested += "deep";
        for (int i = 0; i < extra; ++i)
            nested += "</L>";
        const std::string deep = folder / ("deep" + std::to_string(extra) + ".wim");
        ShellOutput("cp " + Quoted(wim) + " " + Quoted(deep));
        ReplaceWimXml(deep, "<WIM><IMAGE INDEX=\"1\"><NAME>Deep</NAME>" + nested + "</IMAGE>" +
                                "<IMAGE INDEX=\"2\"><NAME>Image 2</NAME></IMAGE></WIM>");
        const bool wimlibReads = Shell("wimlib-imagex info " + Quoted(deep)) == 0;
        EXPECT_EQ(wimlibReads, extra == 255);
        HANDLE file = OpenWim(deep, WIM_GENERIC_READ);
        HANDLE deepImage = file != nullptr ? WIMLoadImage(file, 1) : nullptr;
        XmlDocument* document = ReadImageXml(deepImage);
        EXPECT_EQ(document != nullptr, wimlibReads);
        DestroyDocument(document);
        WIMCloseHandle(deepImage);
        WIMCloseHandle(file);
    }
}

}  // namespace
