// Reading and changing an image's XML through the scripted library.
#include "metadata/image_info.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/xml_notice.h"

namespace {

const HANDLE kImage = ScriptedImaging::ImageHandle(1);

class ImageInfoTest : public testing::Test {
protected:
    XmlNoticeCounter notices;
    ScriptedImaging library;
    TaskState task;
};

TEST_F(ImageInfoTest, SummaryReadsTheFirstOfEachElementAndLargeSizes)
{
    library.imageXml[1] =
        WSTR("<IMAGE INDEX=\"1\"><DIRCOUNT>12</DIRCOUNT><FILECOUNT> 340</FILECOUNT>"
             "<TOTALBYTES>5368709120</TOTALBYTES><NAME>Base</NAME><NAME>Second</NAME>"
             "<DESCRIPTION>A &amp; B</DESCRIPTION><FLAGS>Core</FLAGS>"
             "<DISPLAYNAME>Shown</DISPLAYNAME><DISPLAYDESCRIPTION>Long text</DISPLAYDESCRIPTION>"
             "<WINDOWS><NAME>inner</NAME></WINDOWS></IMAGE>");
    ImageSummary summary;
    summary.name = WSTR("stale");
    ReadImageSummary(task, kImage, summary);
    EXPECT_EQ(Narrow(summary.name), "Base");
    EXPECT_EQ(Narrow(summary.description), "A & B");  // as the user typed it
    EXPECT_EQ(Narrow(summary.flags), "Core");
    EXPECT_EQ(Narrow(summary.displayName), "Shown");
    EXPECT_EQ(Narrow(summary.displayDescription), "Long text");
    EXPECT_EQ(summary.dirCount, 12);
    EXPECT_EQ(summary.fileCount, 340);
    EXPECT_EQ(summary.totalBytes, 5368709120LL);
    EXPECT_EQ(notices.count(), 0);
}

TEST_F(ImageInfoTest, MissingElementsAndUnreadableXmlLeaveTheSummaryReset)
{
    library.imageXml[1] = WSTR("<IMAGE INDEX=\"1\"><CREATIONTIME/></IMAGE>");
    ImageSummary summary;
    summary.fileCount = 9;
    summary.flags = WSTR("x");
    ReadImageSummary(task, kImage, summary);
    EXPECT_TRUE(summary.name.empty() && summary.flags.empty() && summary.displayName.empty());
    EXPECT_EQ(summary.fileCount, 0);
    EXPECT_EQ(summary.totalBytes, 0);
    EXPECT_EQ(notices.count(), 0);

    library.imageXml[1] = WSTR("<IMAGE><NAME>x</NAME>");  // cut short
    summary.name = WSTR("stale");
    ReadImageSummary(task, kImage, summary);
    EXPECT_TRUE(summary.name.empty());
    EXPECT_EQ(notices.count(), 1);

    library.Fail("WIMGetImageInformation", ERROR_INVALID_HANDLE);
    ReadImageSummary(task, kImage, summary);
    EXPECT_EQ(notices.count(), 2);
}

TEST_F(ImageInfoTest, SetImageFieldReplacesInPlaceOrAppendsAndHandsBackExactBytes)
{
    library.imageXml[1] = WSTR("<IMAGE INDEX=\"1\"><DIRCOUNT>1</DIRCOUNT><NAME>Old</NAME><NAME>Dup</NAME>"
                               "<WINDOWS><ARCH>9</ARCH></WINDOWS></IMAGE>");
    EXPECT_TRUE(SetImageField(task, kImage, WSTR("NAME"), WSTR("New")));
    EXPECT_TRUE(SetImageField(task, kImage, WSTR("DISPLAYNAME"), EscapeXmlText(WSTR("A & B <test>"))));
    EXPECT_EQ(Narrow(library.imageXml[1]), "<IMAGE INDEX=\"1\">\r\n"
                                           "  <DIRCOUNT>1</DIRCOUNT>\r\n"
                                           "  <NAME>New</NAME>\r\n"
                                           "  <NAME>Dup</NAME>\r\n"
                                           "  <WINDOWS>\r\n"
                                           "    <ARCH>9</ARCH>\r\n"
                                           "  </WINDOWS>\r\n"
                                           "  <DISPLAYNAME>A &amp; B &lt;test&gt;</DISPLAYNAME>\r\n"
                                           "</IMAGE>\r\n");
    ASSERT_EQ(library.storedInformation.size(), 2u);
    const std::vector<unsigned char>& bytes = library.storedInformation.back();
    ASSERT_EQ(bytes.size() % 2, 0u);
    EXPECT_EQ(bytes[0], 0xFF);  // U+FEFF, little-endian, no terminator
    EXPECT_EQ(bytes[1], 0xFE);
    EXPECT_EQ(bytes.size(), 2 * (library.imageXml[1].size() + 1));
    EXPECT_EQ(bytes[bytes.size() - 2], '\n');

    // The escaped text reads back as the user typed it.
    ImageSummary summary;
    ReadImageSummary(task, kImage, summary);
    EXPECT_EQ(Narrow(summary.displayName), "A & B <test>");
}

TEST_F(ImageInfoTest, SetImageFieldReportsWhatWasNotStored)
{
    library.imageXml[1] = WSTR("<IMAGE INDEX=\"1\"><NAME>x</NAME></IMAGE>");
    library.Fail("WIMSetImageInformation", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetImageField(task, kImage, WSTR("NAME"), WSTR("y")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(notices.count(), 0);

    library.imageXml[1] = WSTR("<IMAGE>text<NAME>x</NAME></IMAGE>");  // mixed content
    EXPECT_FALSE(SetImageField(task, kImage, WSTR("NAME"), WSTR("y")));
    EXPECT_EQ(notices.count(), 1);
    EXPECT_EQ(library.CallCount("WIMSetImageInformation"), 1);
}

TEST_F(ImageInfoTest, CountsBeyondThirtyTwoBitsAreClampedNotWrapped)
{
    const struct {
        const WCHAR* text;
        int32_t count;
    } cases[] = {
        {WSTR("2147483647"), INT32_MAX},           {WSTR("2147483648"), INT32_MAX},
        {WSTR("4294967297"), INT32_MAX},  // 2^32 + 1 would wrap to 1
        {WSTR("99999999999999999999"), INT32_MAX}, {WSTR("-2147483649"), INT32_MIN},
    };
    for (const auto& c : cases) {
        library.imageXml[1] = WString(WSTR("<IMAGE><DIRCOUNT>")) + c.text + WSTR("</DIRCOUNT><FILECOUNT>") +
                              c.text + WSTR("</FILECOUNT></IMAGE>");
        ImageSummary summary;
        ReadImageSummary(task, kImage, summary);
        EXPECT_EQ(summary.dirCount, c.count) << Narrow(c.text);
        EXPECT_EQ(summary.fileCount, c.count) << Narrow(c.text);
    }
}

TEST_F(ImageInfoTest, UnreadableXmlLeavesItsOwnReasonAsTheLastError)
{
    // The notice is a message box in the program; it may change the last
    // error, as this one does.
    auto previous = ShowXmlParseFailure;
    ShowXmlParseFailure = [](TaskState&) { SetLastError(ERROR_CANCELLED); };

    // A fetch the library refuses keeps the library's reason.
    library.Fail("WIMGetImageInformation", ERROR_INVALID_HANDLE, 1);
    SetLastError(0);
    EXPECT_EQ(ReadImageXml(kImage), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetImageField(task, kImage, WSTR("NAME"), WSTR("y")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // XML fetched without fault that does not parse says so, whatever the
    // last error was before.
    ScriptedImaging second;
    second.imageXml[1] = WSTR("<IMAGE><NAME>x</IMAGE>");
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadImageXml(kImage), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetImageField(task, kImage, WSTR("NAME"), WSTR("y")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(second.CallCount("WIMSetImageInformation"), 0);

    ShowXmlParseFailure = previous;
}

TEST(XmlTextValueTest, DecodesReferencesAndLeavesEverythingElse)
{
    const struct {
        const WCHAR* stored;
        WString shown;
    } cases[] = {
        {WSTR("A &amp; B &lt; C"), WSTR("A & B < C")},
        {WSTR("&gt;&quot;&apos;"), WSTR(">\"'")},
        {WSTR("&amp;amp;"), WSTR("&amp;")},  // decoded once
        {WSTR("&#65;&#x42;&#X43;"), WSTR("AB&#X43;")},
        {WSTR("&#x1F600;"), WString{0xD83D, 0xDE00}},
        {WSTR("&#65536;"), WString{0xD800, 0xDC00}},
        {WSTR("&#x110000;&#0;&#xD800;&#;&#x;"), WSTR("&#x110000;&#0;&#xD800;&#;&#x;")},
        {WSTR("& alone, &unknown; and &amp"), WSTR("& alone, &unknown; and &amp")},
        {WSTR("plain"), WSTR("plain")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Narrow(XmlTextValue(c.stored)), Narrow(c.shown)) << Narrow(c.stored);
}

TEST(DecimalValueTest, FollowsTheStandardConversionRules)
{
    EXPECT_EQ(DecimalValue(WSTR("  42abc")), 42);
    EXPECT_EQ(DecimalValue(WSTR("-17")), -17);
    EXPECT_EQ(DecimalValue(WSTR("+8")), 8);
    EXPECT_EQ(DecimalValue(WSTR("x12")), 0);
    EXPECT_EQ(DecimalValue(WSTR("")), 0);
    EXPECT_EQ(DecimalValue(WSTR("2147483648")), 2147483648LL);
    EXPECT_EQ(DecimalValue(WSTR("99999999999999999999")), INT64_MAX);
    EXPECT_EQ(DecimalValue(WSTR("-9223372036854775808")), INT64_MIN);
}

}  // namespace
