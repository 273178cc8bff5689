#include "metadata/xml.h"
#include "tests/gtest_support.h"

#include <iterator>
#include <memory>
#include <random>

namespace {

struct DocumentDeleter {
    void operator()(XmlDocument* document) const { DestroyDocument(document); }
};
using Document = std::unique_ptr<XmlDocument, DocumentDeleter>;

// Both entry points: the zero-terminated text and the view.
template <typename Text>
Document Parse(Text text, bool* parsed = nullptr)
{
    Document document(CreateDocument());
    bool ok = ParseXml(document.get(), text);
    if (parsed != nullptr)
        *parsed = ok;
    return document;
}

WString Written(const XmlDocument* document, int32_t depth = 0)
{
    WString output;
    WriteXml(document, document->root, output, depth);
    return output;
}

// Texts end right before an inaccessible page, so a parser that reads one
// unit past the end crashes the test instead of passing by luck.
class GuardedBuffer {
public:
    GuardedBuffer()
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        pageSize_ = info.dwPageSize;
        base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, kBytes + pageSize_, MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        guarded_ = base_ != nullptr && VirtualProtect(base_ + kBytes, pageSize_, PAGE_NOACCESS, &old);
    }
    ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
    bool Ready() const { return guarded_; }

    // The text with no terminator: its last unit touches the guard page.
    WStringView Place(WStringView text)
    {
        WCHAR* start = reinterpret_cast<WCHAR*>(base_ + kBytes) - text.size();
        std::copy(text.begin(), text.end(), start);
        return {start, text.size()};
    }
    const WCHAR* PlaceTerminated(WStringView text)
    {
        WString copy(text);
        return Place(WStringView(copy.c_str(), copy.size() + 1)).data();
    }

private:
    static constexpr size_t kBytes = 1 << 16;
    BYTE* base_ = nullptr;
    DWORD pageSize_ = 0;
    bool guarded_ = false;
};

// Image XML as the imaging library hands it out, already in the writer's layout.
const WCHAR kImage[] = WSTR("\uFEFF<IMAGE INDEX=\"2\">\r\n"
                            "  <DIRCOUNT>12</DIRCOUNT>\r\n"
                            "  <NAME>Base &amp; more</NAME>\r\n"
                            "  <WINDOWS>\r\n"
                            "    <ARCH>9</ARCH>\r\n"
                            "    <LANGUAGES>\r\n"
                            "      <LANGUAGE>zh-TW</LANGUAGE>\r\n"
                            "    </LANGUAGES>\r\n"
                            "  </WINDOWS>\r\n"
                            "  <FLAGS />\r\n"
                            "</IMAGE>\r\n");

TEST(XmlWrite, IndentsTwoSpacesPerLevelAndEndsEveryElementWithCrLf)
{
    Document document = Parse(WSTR("<IMAGE INDEX='1'><NAME>Base</NAME><FLAGS/></IMAGE>"));
    EXPECT_EQ(Written(document.get()),
              WSTR("<IMAGE INDEX=\"1\">\r\n  <NAME>Base</NAME>\r\n  <FLAGS />\r\n</IMAGE>\r\n"));

    XmlElement* inner = NewElement(WSTR("C"));
    SetText(inner, WSTR("t"));
    AppendChild(FindChild(document->root, WSTR("FLAGS")), inner);
    EXPECT_EQ(Written(document.get()), WSTR("<IMAGE INDEX=\"1\">\r\n  <NAME>Base</NAME>\r\n  <FLAGS>\r\n")
                                           WSTR("    <C>t</C>\r\n  </FLAGS>\r\n</IMAGE>\r\n"));
    // A negative start depth indents only the levels that come out positive.
    EXPECT_EQ(Written(document.get(), -2), WSTR("<IMAGE INDEX=\"1\">\r\n<NAME>Base</NAME>\r\n<FLAGS>\r\n")
                                               WSTR("  <C>t</C>\r\n</FLAGS>\r\n</IMAGE>\r\n"));
}

TEST(XmlParse, KeepsTextsVerbatimAndRewritesInItsOwnLayout)
{
    const struct {
        const WCHAR* text;
        const WCHAR* written;
    } cases[] = {
        {WSTR("<A/>"), WSTR("<A />\r\n")},
        {WSTR("<A />"), WSTR("<A />\r\n")},
        {WSTR("<A></A>"), WSTR("<A />\r\n")},
        {WSTR("<A> \r\n\t \n</A>"), WSTR("<A> \r\n\t \n</A>\r\n")},
        {WSTR("<A>  x y  </A>"), WSTR("<A>  x y  </A>\r\n")},
        {WSTR("<A>\r\n  <B>  </B>\r\n</A>"), WSTR("<A>\r\n  <B>  </B>\r\n</A>\r\n")},
        {WSTR("<A>&amp;&lt;\"'></A>"), WSTR("<A>&amp;&lt;\"'></A>\r\n")},
        {WSTR("<A k='1'/>"), WSTR("<A k=\"1\" />\r\n")},
        {WSTR("<A k='1' k=\"2\"/>"), WSTR("<A k=\"2\" />\r\n")},
        {WSTR("<A a='1' b='2' a='3'/>"), WSTR("<A a=\"3\" b=\"2\" />\r\n")},
        {WSTR("<A\tk = \"<&>'\r\n\" >v</A>"), WSTR("<A k=\"<&>'\r\n\">v</A>\r\n")},
        {WSTR("<ns:A-1.\u4E2D>x</ns:A-1.\u4E2D>"), WSTR("<ns:A-1.\u4E2D>x</ns:A-1.\u4E2D>\r\n")},
        {WSTR("\uFEFF<A>\uFEFF<B/>\uFEFF</A>"), WSTR("<A>\r\n  <B />\r\n</A>\r\n")},
        {WSTR("\r\n <A/>garbage <<< </B"), WSTR("<A />\r\n")},
        {WSTR("<A><B>1</B></A></C><?"), WSTR("<A>\r\n  <B>1</B>\r\n</A>\r\n")},
        {WSTR("<A/>\0<B/>"), WSTR("<A />\r\n")},
        {kImage, kImage + 1},
    };
    for (const auto& c : cases) {
        bool parsed = false;
        Document document = Parse(c.text, &parsed);
        ASSERT_TRUE(parsed) << Utf8FromWide(c.text);
        EXPECT_EQ(Written(document.get()), c.written) << Utf8FromWide(c.text);
    }
    // The view form stops at its end, or at a NUL inside it.
    bool parsed = false;
    Parse(WStringView(WSTR("<A/>\0x"), 6), &parsed);
    EXPECT_TRUE(parsed);
    Parse(WStringView(WSTR("<A>\0</A>"), 8), &parsed);
    EXPECT_FALSE(parsed);
}

TEST(XmlParse, RefusesMalformedTexts)
{
    const WCHAR* cases[] = {
        WSTR(""),
        WSTR("\uFEFF"),
        WSTR(" \r\n"),
        WSTR("A"),
        WSTR("x<A/>"),
        WSTR("<a></A>"),
        WSTR("<A></A >"),
        WSTR("< A></A>"),
        WSTR("<A></ A>"),
        WSTR("<A/ >"),
        WSTR("<A#/>"),
        WSTR("<A\uFEFF/>"),
        WSTR("<A k/>"),
        WSTR("<A k=1/>"),
        WSTR("<A k='1/>"),
        WSTR("<A k=\"1'/>"),
        WSTR("<A k=\"1\"x/>"),
        WSTR("<A>x<B/></A>"),
        WSTR("<A><B/>x</A>"),
        WSTR("<A><B/>\r\nx\r\n<C/></A>"),
        WSTR("<?xml version=\"1.0\"?><A/>"),
        WSTR("<!-- c --><A/>"),
        WSTR("<A><!-- c --></A>"),
        WSTR("<!DOCTYPE A><A/>"),
        WSTR("<A><![CDATA[x]]></A>"),
        WSTR("<A><?pi x?></A>"),
        WSTR("<A>text"),
        WSTR("<A><B></B>"),
        WSTR("<A></A"),
        WSTR("<A"),
        WSTR("<A k=\"1\""),
        WSTR("<A><"),
        WSTR("<A></"),
    };
    for (const WCHAR* text : cases) {
        bool parsed = true;
        Parse(text, &parsed);
        EXPECT_FALSE(parsed) << Utf8FromWide(text);
    }
}

TEST(XmlTree, KeepsChildrenAndTextExclusiveAndFindsDirectChildrenExactly)
{
    Document document = Parse(WSTR("<R><name>a</name><NAME>b</NAME><G><X/></G><NAME>c</NAME></R>"));
    XmlElement* root = document->root;
    EXPECT_EQ(FindChild(root, WSTR("NAME"))->text, WSTR("b"));
    EXPECT_EQ(FindChild(root, WSTR("X")), nullptr);
    EXPECT_EQ(FindChild(root, WSTR("NAM")), nullptr);

    XmlElement* group = FindChild(root, WSTR("G"));
    SetText(group, WSTR("t"));
    EXPECT_EQ(group->firstChild, nullptr);
    EXPECT_EQ(group->lastChild, nullptr);
    AppendChild(group, NewElement(WSTR("Y")));
    PrependChild(group, NewElement(WSTR("X")));
    AppendChild(group, NewElement(WSTR("Z")));
    EXPECT_TRUE(group->text.empty());
    EXPECT_EQ(Written(document.get()),
              WSTR("<R>\r\n  <name>a</name>\r\n  <NAME>b</NAME>\r\n  <G>\r\n    <X />\r\n")
                  WSTR("    <Y />\r\n    <Z />\r\n  </G>\r\n  <NAME>c</NAME>\r\n</R>\r\n"));
    EXPECT_EQ(group->lastChild->previousSibling->previousSibling, group->firstChild);
    EXPECT_EQ(group->firstChild->nextSibling->parent, group);

    // A new parse replaces the tree; a failed one leaves a destroyable partial tree.
    ASSERT_TRUE(ParseXml(document.get(), WSTR("<S/>")));
    EXPECT_EQ(Written(document.get()), WSTR("<S />\r\n"));
    EXPECT_FALSE(ParseXml(document.get(), WSTR("<S><T k='1'><U>")));
    RemoveChildren(document->root);
    EXPECT_EQ(document->root->firstChild, nullptr);
}

TEST(XmlParse, HandlesDeepNestingWithoutRecursion)
{
    const int depth = 100000;
    WString text;
    for (int i = 0; i < depth; ++i)
        text += WSTR("<a k='1'>");
    text += WSTR("x");
    for (int i = 0; i < depth; ++i)
        text += WSTR("</a>");

    bool parsed = false;
    Document document = Parse(text, &parsed);
    ASSERT_TRUE(parsed);
    int levels = 1;
    const XmlElement* node = document->root;
    for (; node->firstChild != nullptr; node = node->firstChild)
        ++levels;
    EXPECT_EQ(levels, depth);
    EXPECT_EQ(node->text, WSTR("x"));

    // Written out, such a tree is refused (indented, it would take 20 GB).
    WString output = WSTR("kept");
    EXPECT_FALSE(WriteXml(document.get(), document->root, output, 0));
    EXPECT_EQ(output, WSTR("kept"));

    // An unclosed deep text fails, and the partial tree is destroyed with the document.
    Parse(text.substr(0, text.size() - 4), &parsed);
    EXPECT_FALSE(parsed);
}

// A chain of `levels` elements below the root, the innermost holding "x".
Document Chain(int levels)
{
    WString text;
    for (int i = 0; i <= levels; ++i)
        text += WSTR("<a>");
    text += WSTR("x");
    for (int i = 0; i <= levels; ++i)
        text += WSTR("</a>");
    return Parse(text);
}

TEST(XmlWrite, RefusesTreesPastItsDepthAndSizeLimitsAndLeavesTheOutput)
{
    struct Case {
        const char* what;
        Document document;
        int32_t depth;
        bool written;
    };
    Case cases[] = {
        {"at the depth limit", Chain(kXmlMaxWriteDepth), 0, true},
        {"one level deeper", Chain(kXmlMaxWriteDepth + 1), 0, false},
        {"a huge starting indentation", Parse(WSTR("<a/>")), INT32_MAX, false},
        {"a text longer than the limit",
         Parse(WSTR("<a>") + WString(kXmlMaxWriteUnits, WSTR('t')) + WSTR("</a>")), 0, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        WString output = WSTR("kept");
        EXPECT_EQ(WriteXml(c.document.get(), c.document->root, output, c.depth), c.written);
        if (!c.written) {
            EXPECT_EQ(output, WSTR("kept"));
            continue;
        }
        bool parsed = false;
        Document again = Parse(output.substr(4), &parsed);
        EXPECT_TRUE(parsed);
    }

    // Within the depth limit, many deep lines together exceed the size limit:
    // 20,000 siblings 1,000 levels down, each indented by 2,000 spaces.
    Document wide = Chain(999);
    XmlElement* bottom = wide->root;
    while (bottom->firstChild != nullptr)
        bottom = bottom->firstChild;
    for (int i = 0; i < 20000; ++i)
        AppendChild(bottom, NewElement(WSTR("b")));
    WString output;
    EXPECT_FALSE(WriteXml(wide.get(), wide->root, output, 0));
    EXPECT_TRUE(output.empty());
}

TEST(XmlParse, NeverReadsPastTheEndOfATruncatedText)
{
    GuardedBuffer buffer;
    ASSERT_TRUE(buffer.Ready());
    WStringView full(kImage);
    size_t rootEnd = full.rfind(WSTR('>')) + 1;
    for (size_t length = 0; length <= full.size(); ++length) {
        WStringView prefix = full.substr(0, length);
        bool parsed = false;
        Parse(buffer.PlaceTerminated(prefix), &parsed);
        EXPECT_EQ(parsed, length >= rootEnd) << length;
        Parse(buffer.Place(prefix), &parsed);
        EXPECT_EQ(parsed, length >= rootEnd) << length;
    }
}

// Any text either fails or gives a tree whose written form reads back to the
// same written form. Values holding a double quote are the known exception:
// the writer always quotes with double quotes and escapes nothing.
TEST(XmlParse, SurvivesRandomAndMutatedTexts)
{
    GuardedBuffer buffer;
    ASSERT_TRUE(buffer.Ready());
    // Single characters that matter to the parser, and pieces that make
    // random texts well-formed often enough to reach the writer.
    const WStringView pieces[] = {
        WSTR("<"),    WSTR(">"),    WSTR("/"),    WSTR("="),    WSTR("\""),       WSTR("'"),
        WSTR(" "),    WSTR("\t"),   WSTR("\r\n"), WSTR("\v"),   WSTR("\uFEFF"),   WSTR("A"),
        WSTR("x"),    WSTR("&"),    WSTR("?"),    WSTR("!"),    WSTR("\u4E2D"),   WSTR("<A>"),
        WSTR("</A>"), WSTR("<B/>"), WSTR("<B>"),  WSTR("</B>"), WSTR(" k='v\"'"), WSTR(" k=\"\"")};
    const WStringView seeds[] = {kImage, WSTR("<A k='v' j=\"w\"><B>t</B><C/></A>"), WSTR("<A>x</A>")};
    std::mt19937 random(20240611);
    auto pick = [&random](size_t count) {
        return std::uniform_int_distribution<size_t>(0, count - 1)(random);
    };
    auto piece = [&]() { return pieces[pick(std::size(pieces))]; };

    int parsedCount = 0;
    for (int iteration = 0; iteration < 6000; ++iteration) {
        WString text;
        if (iteration % 2 == 0) {
            for (size_t count = pick(30); count > 0; --count)
                text += piece();
        } else {
            text = WString(seeds[pick(std::size(seeds))]);
            for (size_t edits = 1 + pick(3); edits > 0; --edits) {
                size_t at = pick(text.size() + 1);
                switch (pick(3)) {
                case 0:
                    text.insert(at, piece());
                    break;
                case 1:
                    text.erase(at, 1 + pick(3));
                    break;
                default:
                    if (at < text.size())
                        text[at] = piece()[0];
                    break;
                }
            }
        }
        bool parsed = false;
        Document document = Parse(buffer.Place(text), &parsed);
        if (!parsed)
            continue;
        ++parsedCount;
        WString output = Written(document.get());
        bool quoteInValue = false;
        for (const XmlElement* node = document->root; node != nullptr;) {
            for (const XmlAttribute* a = node->firstAttribute; a != nullptr; a = a->next)
                quoteInValue |= a->value.find(WSTR('"')) != WString::npos;
            if (node->firstChild != nullptr) {
                node = node->firstChild;
                continue;
            }
            while (node != nullptr && node->nextSibling == nullptr)
                node = node->parent;
            node = node != nullptr ? node->nextSibling : nullptr;
        }
        if (quoteInValue)
            continue;
        Document again = Parse(buffer.PlaceTerminated(output), &parsed);
        ASSERT_TRUE(parsed) << Utf8FromWide(text);
        EXPECT_EQ(Written(again.get()), output) << Utf8FromWide(text);
    }
    EXPECT_GT(parsedCount, 300);
}

}  // namespace
