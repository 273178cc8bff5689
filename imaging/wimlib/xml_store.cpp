// The image XML store: reads the file's XML document with a small reader
// that keeps where each element stands in its source, so an image's element
// can be handed out exactly as the file holds it, and stores a caller's
// image element through wimlib's image properties.
//
// Why a reader of its own beside metadata/xml.cpp: that tree decodes nothing
// so that the program writes back what it read, while wimlib needs decoded,
// checked characters and this store needs each element's place in the text.
//
// The file's document is read and parsed once per reading of the file (a
// report on a file of hundreds of images asks for every image's element), and
// a caller's element is stored only when the file then holds exactly that:
// its characters are checked before anything is written, the change is
// compared in memory before the commit and in the written file after it.
#include "imaging/wimlib/layer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace layer {

struct XmlAttributeValue {
    WString name;
    WString written;  // as it stood between the quotes
    WString value;    // references decoded, white space made spaces
};

struct XmlNode {
    WString name;
    std::vector<XmlAttributeValue> attributes;
    WString text;  // character data, references decoded
    std::vector<XmlNode> children;
    size_t begin = 0;  // the start tag's '<'
    size_t end = 0;    // just past the end tag
};

namespace {

bool IsXmlSpace(WCHAR c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(WCHAR c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(WCHAR c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool EqualsAscii(WStringView text, const char* ascii)
{
    const size_t length = std::strlen(ascii);
    if (text.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != static_cast<WCHAR>(static_cast<unsigned char>(ascii[i])))
            return false;
    }
    return true;
}

// The characters XML 1.0 can hold: tab, line feed, carriage return, U+0020
// to U+D7FF, U+E000 to U+FFFD, and U+10000 up (in UTF-16, a high surrogate
// followed by a low one). Anything else would make the file's XML unreadable
// to every reader, wimlib first.
bool HoldsOnlyXmlCharacters(WStringView text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const WCHAR c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || (c >= 0xDC00 && c <= 0xDFFF) ||
                   c == 0xFFFE || c == 0xFFFF) {
            return false;
        }
    }
    return true;
}

void AppendCodePoint(WString& out, uint32_t codePoint)
{
    if (codePoint >= 0x10000) {
        codePoint -= 0x10000;
        out.push_back(static_cast<WCHAR>(0xD800 + (codePoint >> 10)));
        out.push_back(static_cast<WCHAR>(0xDC00 + (codePoint & 0x3FF)));
    } else {
        out.push_back(static_cast<WCHAR>(codePoint));
    }
}

// Appends text with its line ends made line feeds, as every XML reader does.
void AppendNormalized(WString& out, WStringView text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r')
            out.push_back(text[i]);
        else if (i + 1 == text.size() || text[i + 1] != '\n')
            out.push_back('\n');
    }
}

class XmlReader {
public:
    explicit XmlReader(WStringView source) : source_(source) {}

    // One root element, with only white space, comments and processing
    // instructions around it. A leading U+FEFF is skipped.
    bool ReadDocument(XmlNode& root)
    {
        position_ = 0;
        if (!AtEnd() && Peek() == 0xFEFF)
            ++position_;
        if (!SkipMisc() || AtEnd() || Peek() != '<')
            return false;
        if (!ReadElement(root, 0))
            return false;
        return SkipMisc() && AtEnd();
    }

private:
    // libxml2, which wimlib reads with, takes 256 levels below the root.
    static constexpr int kMaxDepth = 256;

    bool AtEnd() const { return position_ >= source_.size(); }
    WCHAR Peek() const { return source_[position_]; }

    bool StartsWith(const char* ascii) const
    {
        return EqualsAscii(
            source_.substr(position_, std::min(std::strlen(ascii), source_.size() - position_)), ascii);
    }

    size_t Find(const char* ascii, size_t from) const
    {
        for (size_t at = from; at < source_.size(); ++at) {
            const size_t length = std::strlen(ascii);
            if (at + length <= source_.size() && EqualsAscii(source_.substr(at, length), ascii))
                return at;
        }
        return WStringView::npos;
    }

    // Moves past `close`, which must follow; false when it never does.
    bool SkipPast(const char* close, size_t from)
    {
        const size_t at = Find(close, from);
        if (at == WStringView::npos)
            return false;
        position_ = at + std::strlen(close);
        return true;
    }

    bool SkipSpace()
    {
        const size_t start = position_;
        while (!AtEnd() && IsXmlSpace(Peek()))
            ++position_;
        return position_ != start;
    }

    bool SkipMisc()
    {
        for (;;) {
            SkipSpace();
            if (StartsWith("<?")) {
                if (!SkipPast("?>", position_ + 2))
                    return false;
            } else if (StartsWith("<!--")) {
                if (!SkipPast("-->", position_ + 4))
                    return false;
            } else {
                // A document type declaration has no place in image XML.
                return !StartsWith("<!");
            }
        }
    }

    bool ReadName(WString& name)
    {
        const size_t start = position_;
        if (AtEnd() || !IsNameStart(Peek()))
            return false;
        while (!AtEnd() && IsNameChar(Peek()))
            ++position_;
        name.assign(source_.substr(start, position_ - start));
        return true;
    }

    // One entity or character reference, position at its '&'.
    bool ReadReference(WString& out)
    {
        const size_t semicolon = source_.find(WCHAR(';'), position_);
        if (semicolon == WStringView::npos || semicolon - position_ > 12)
            return false;
        const WStringView reference = source_.substr(position_ + 1, semicolon - position_ - 1);
        if (EqualsAscii(reference, "lt")) {
            out.push_back('<');
        } else if (EqualsAscii(reference, "gt")) {
            out.push_back('>');
        } else if (EqualsAscii(reference, "amp")) {
            out.push_back('&');
        } else if (EqualsAscii(reference, "quot")) {
            out.push_back('"');
        } else if (EqualsAscii(reference, "apos")) {
            out.push_back('\'');
        } else if (reference.size() >= 2 && reference[0] == '#') {
            const bool hex = reference[1] == 'x';
            const WStringView digits = reference.substr(hex ? 2 : 1);
            if (digits.empty())
                return false;
            uint32_t codePoint = 0;
            for (WCHAR c : digits) {
                uint32_t digit;
                if (c >= '0' && c <= '9')
                    digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f')
                    digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F')
                    digit = c - 'A' + 10;
                else
                    return false;
                codePoint = codePoint * (hex ? 16 : 10) + digit;
                if (codePoint > 0x10FFFF)
                    return false;
            }
            const bool allowed = codePoint == 0x9 || codePoint == 0xA || codePoint == 0xD ||
                                 (codePoint >= 0x20 && codePoint <= 0xD7FF) ||
                                 (codePoint >= 0xE000 && codePoint <= 0xFFFD) || codePoint >= 0x10000;
            if (!allowed)
                return false;
            AppendCodePoint(out, codePoint);
        } else {
            return false;
        }
        position_ = semicolon + 1;
        return true;
    }

    bool ReadAttribute(XmlNode& node)
    {
        WString name;
        if (!ReadName(name))
            return false;
        SkipSpace();
        if (AtEnd() || Peek() != '=')
            return false;
        ++position_;
        SkipSpace();
        if (AtEnd() || (Peek() != '"' && Peek() != '\''))
            return false;
        const WCHAR quote = Peek();
        const size_t start = ++position_;
        const size_t close = source_.find(quote, start);
        if (close == WStringView::npos)
            return false;
        WString value;
        while (position_ < close) {
            if (Peek() == '<')
                return false;
            if (Peek() == '&') {
                if (!ReadReference(value) || position_ > close)
                    return false;
            } else if (Peek() == '\r' && position_ + 1 < close && source_[position_ + 1] == '\n') {
                // A line end is one space, as every XML reader makes it.
                value.push_back(' ');
                position_ += 2;
            } else {
                value.push_back(IsXmlSpace(Peek()) ? WCHAR(' ') : Peek());
                ++position_;
            }
        }
        node.attributes.push_back(
            {std::move(name), WString(source_.substr(start, close - start)), std::move(value)});
        position_ = close + 1;
        return true;
    }

    // Sorted, so that an element of many attributes is checked in n log n.
    static bool HasRepeatedAttribute(const XmlNode& node)
    {
        if (node.attributes.size() < 2)
            return false;
        std::vector<WStringView> names;
        names.reserve(node.attributes.size());
        for (const XmlAttributeValue& attribute : node.attributes)
            names.emplace_back(attribute.name);
        std::sort(names.begin(), names.end());
        return std::adjacent_find(names.begin(), names.end()) != names.end();
    }

    bool ReadElement(XmlNode& node, int depth)
    {
        if (depth > kMaxDepth)
            return false;
        node.begin = position_++;
        if (!ReadName(node.name))
            return false;
        for (;;) {
            const bool spaced = SkipSpace();
            if (AtEnd())
                return false;
            if (StartsWith("/>")) {
                position_ += 2;
                node.end = position_;
                return !HasRepeatedAttribute(node);
            }
            if (Peek() == '>') {
                ++position_;
                break;
            }
            if (!spaced || !ReadAttribute(node))
                return false;
        }
        if (HasRepeatedAttribute(node))
            return false;
        for (;;) {
            if (AtEnd())
                return false;
            if (StartsWith("</")) {
                position_ += 2;
                WString closing;
                if (!ReadName(closing) || closing != node.name)
                    return false;
                SkipSpace();
                if (AtEnd() || Peek() != '>')
                    return false;
                node.end = ++position_;
                return true;
            }
            if (StartsWith("<!--")) {
                if (!SkipPast("-->", position_ + 4))
                    return false;
            } else if (StartsWith("<![CDATA[")) {
                const size_t start = position_ + 9;
                if (!SkipPast("]]>", start))
                    return false;
                AppendNormalized(node.text, source_.substr(start, position_ - 3 - start));
            } else if (StartsWith("<?")) {
                if (!SkipPast("?>", position_ + 2))
                    return false;
            } else if (StartsWith("<!")) {
                return false;
            } else if (Peek() == '<') {
                node.children.emplace_back();
                if (!ReadElement(node.children.back(), depth + 1))
                    return false;
            } else if (Peek() == '&') {
                if (!ReadReference(node.text))
                    return false;
            } else if (StartsWith("]]>")) {
                return false;
            } else if (Peek() == '\r') {
                // Line ends read as one line feed, as wimlib's reader makes
                // them; a carriage return that must stay is written &#13;.
                if (position_ + 1 == source_.size() || source_[position_ + 1] != '\n')
                    node.text.push_back('\n');
                ++position_;
            } else {
                node.text.push_back(Peek());
                ++position_;
            }
        }
    }

    WStringView source_;
    size_t position_ = 0;
};

// The text up to its first NUL, the way the library's buffers end.
WStringView UpToNul(WStringView text)
{
    const size_t nul = text.find(WCHAR{0});
    return nul == WStringView::npos ? text : text.substr(0, nul);
}

bool ParseXml(WStringView text, XmlNode& root)
{
    text = UpToNul(text);
    if (!HoldsOnlyXmlCharacters(text))
        return false;
    XmlReader reader(text);
    return reader.ReadDocument(root);
}

// A WIMStruct's XML document as wimlib gives it, without its mark.
bool ReadWimXml(WIMStruct* wim, WString& xml)
{
    void* buffer = nullptr;
    size_t size = 0;
    if (!WimlibSucceeds([&] { return wimlib_get_xml_data(wim, &buffer, &size); }))
        return false;
    xml.assign(size / sizeof(WCHAR), WCHAR{});
    std::memcpy(xml.data(), buffer, xml.size() * sizeof(WCHAR));
    std::free(buffer);
    if (!xml.empty() && xml[0] == 0xFEFF)
        xml.erase(0, 1);
    return true;
}

}  // namespace

// The file's document, parsed, with its IMAGE elements found by index.
struct FileXml {
    WString text;  // up to its first NUL; the nodes' places refer to it
    XmlNode document;
    std::vector<const XmlNode*> byPosition;          // the n-th IMAGE
    std::map<WString, const XmlNode*> byIndexValue;  // the first IMAGE of each INDEX value

    // The IMAGE element of one image: the one whose INDEX says so, else the
    // index-th IMAGE.
    const XmlNode* Image(DWORD index) const
    {
        WString number;
        for (char digit : std::to_string(index))
            number.push_back(static_cast<WCHAR>(digit));
        const auto found = byIndexValue.find(number);
        if (found != byIndexValue.end())
            return found->second;
        return index >= 1 && index <= byPosition.size() ? byPosition[index - 1] : nullptr;
    }
};

namespace {

bool ParseFileXml(WString text, FileXml& xml)
{
    xml.text = std::move(text);
    xml.text.resize(UpToNul(xml.text).size());
    if (!ParseXml(xml.text, xml.document))
        return Fail(ERROR_INVALID_DATA);
    for (const XmlNode& child : xml.document.children) {
        if (!EqualsAscii(child.name, "IMAGE"))
            continue;
        xml.byPosition.push_back(&child);
        for (const XmlAttributeValue& attribute : child.attributes) {
            if (EqualsAscii(attribute.name, "INDEX"))
                xml.byIndexValue.emplace(attribute.value, &child);
        }
    }
    return true;
}

// The file's document, read and parsed once for each reading of the file.
const FileXml* CurrentXml(WimFile& file)
{
    if (file.xml == nullptr) {
        auto xml = std::make_shared<FileXml>();
        WString text;
        if (!ReadWimXml(file.wim, text) || !ParseFileXml(std::move(text), *xml))
            return nullptr;
        file.xml = std::move(xml);
    }
    return file.xml.get();
}

// ---------------------------------------------------------------------------
// Storing an image's XML through wimlib's image properties

// Statistics wimlib computes and keeps itself; a caller's copy is not stored.
bool IsManaged(const XmlNode& node)
{
    static const char* const kManaged[] = {"DIRCOUNT",      "FILECOUNT",    "TOTALBYTES",
                                           "HARDLINKBYTES", "CREATIONTIME", "LASTMODIFICATIONTIME"};
    for (const char* name : kManaged) {
        if (EqualsAscii(node.name, name))
            return true;
    }
    return false;
}

bool IsBlank(WStringView text)
{
    for (WCHAR c : text) {
        if (!IsXmlSpace(c))
            return false;
    }
    return true;
}

// wimlib keeps elements and texts only: text beside child elements cannot be
// stored.
bool IsStorable(const XmlNode& node)
{
    if (node.children.empty())
        return true;
    if (!IsBlank(node.text))
        return false;
    for (const XmlNode& child : node.children) {
        if (!IsStorable(child))
            return false;
    }
    return true;
}

// wimlib cannot hold an element without text anywhere below it.
bool HasText(const XmlNode& node)
{
    if (node.children.empty())
        return !node.text.empty();
    for (const XmlNode& child : node.children) {
        if (HasText(child))
            return true;
    }
    return false;
}

// Whether setting texts alone turns `before` into `after`. Setting an empty
// text removes the element in wimlib, so emptying a text changes the shape.
bool SameShape(const XmlNode& before, const XmlNode& after)
{
    if (before.name != after.name || before.children.size() != after.children.size())
        return false;
    if (before.children.empty())
        return before.text.empty() || !after.text.empty();
    for (size_t i = 0; i < before.children.size(); ++i) {
        if (!SameShape(before.children[i], after.children[i]))
            return false;
    }
    return true;
}

// wimlib's property path step: "NAME" for the first of its name, "NAME[n]"
// for later ones.
std::string PathStep(const WString& name, int occurrence)
{
    std::string step = Utf8FromWide(name);
    if (occurrence > 1)
        step += "[" + std::to_string(occurrence) + "]";
    return step;
}

std::string JoinPath(const std::string& parent, const std::string& step)
{
    return parent.empty() ? step : parent + "/" + step;
}

struct PropertyChange {
    std::string path;
    std::string value;  // empty: remove the element and its subtree
};

struct StorePlan {
    std::vector<PropertyChange> changes;
    bool storable = true;  // false: wimlib's properties cannot say what the caller gave
};

bool SameAttributes(const XmlNode& a, const XmlNode& b)
{
    if (a.attributes.size() != b.attributes.size())
        return false;
    for (size_t i = 0; i < a.attributes.size(); ++i) {
        if (a.attributes[i].name != b.attributes[i].name || a.attributes[i].value != b.attributes[i].value)
            return false;
    }
    return true;
}

// A kept element can get new texts only: its attributes and those below it
// stay as the file has them.
bool KeepsAttributes(const XmlNode& before, const XmlNode& after)
{
    if (!SameAttributes(before, after))
        return false;
    for (size_t i = 0; i < after.children.size(); ++i) {
        if (!KeepsAttributes(before.children[i], after.children[i]))
            return false;
    }
    return true;
}

// An added element is made of paths with texts: no attributes, no element
// without text.
bool CanBeAdded(const XmlNode& node)
{
    if (!node.attributes.empty())
        return false;
    if (node.children.empty())
        return !node.text.empty();
    return std::all_of(node.children.begin(), node.children.end(), CanBeAdded);
}

// Texts of a subtree that keeps its shape: set those that differ.
void PlanTextChanges(const XmlNode& before, const XmlNode& after, const std::string& path, StorePlan& plan)
{
    if (after.children.empty()) {
        if (!after.text.empty() && after.text != before.text)
            plan.changes.push_back({path, Utf8FromWide(after.text)});
        return;
    }
    std::map<WString, int> seen;
    for (size_t i = 0; i < after.children.size(); ++i) {
        const XmlNode& child = after.children[i];
        const std::string childPath = JoinPath(path, PathStep(child.name, ++seen[child.name]));
        PlanTextChanges(before.children[i], child, childPath, plan);
    }
}

// A new subtree, leaf by leaf in document order: wimlib creates the missing
// elements of each path as last children, so the order comes out as given.
void PlanAddition(const XmlNode& node, const std::string& path, StorePlan& plan)
{
    if (node.children.empty()) {
        plan.changes.push_back({path, Utf8FromWide(node.text)});
        return;
    }
    std::map<WString, int> seen;
    for (const XmlNode& child : node.children) {
        if (HasText(child))
            PlanAddition(child, JoinPath(path, PathStep(child.name, ++seen[child.name])), plan);
    }
}

// The property changes that turn the image element `before` (as the file
// holds it) into `after` (as the caller gives it). wimlib can set a text,
// remove an element, and add one only as a last child. So the caller's
// children are matched in order with the file's children of the same shape;
// the file's children left unmatched are removed where they stand, the
// matched ones keep their element (attributes and place included) and only
// get new texts, and from the first caller's child without a match on, the
// rest are added at the end in order.
StorePlan PlanStore(const XmlNode& before, const XmlNode& after)
{
    std::vector<const XmlNode*> old;
    std::vector<const XmlNode*> wanted;
    for (const XmlNode& child : before.children) {
        if (!IsManaged(child))
            old.push_back(&child);
    }
    for (const XmlNode& child : after.children) {
        if (!IsManaged(child))
            wanted.push_back(&child);
    }

    std::vector<bool> keep(old.size(), false);
    std::vector<std::pair<const XmlNode*, const XmlNode*>> matched;
    size_t next = 0;
    size_t added = 0;
    for (; added < wanted.size(); ++added) {
        size_t at = next;
        while (at < old.size() && !SameShape(*old[at], *wanted[added]))
            ++at;
        if (at == old.size())
            break;
        keep[at] = true;
        matched.emplace_back(old[at], wanted[added]);
        next = at + 1;
    }

    StorePlan plan;
    // Removals first, last first, so the numbers of the earlier ones stay right.
    std::map<WString, int> seen;
    std::vector<int> occurrence;
    for (const XmlNode* child : old)
        occurrence.push_back(++seen[child->name]);
    for (size_t i = old.size(); i > 0; --i) {
        if (!keep[i - 1])
            plan.changes.push_back({PathStep(old[i - 1]->name, occurrence[i - 1]), std::string()});
    }
    // The kept ones, numbered among themselves now.
    std::map<WString, int> present;
    for (const auto& [file, caller] : matched) {
        plan.storable = plan.storable && KeepsAttributes(*file, *caller);
        PlanTextChanges(*file, *caller, PathStep(file->name, ++present[file->name]), plan);
    }
    for (size_t i = added; i < wanted.size(); ++i) {
        plan.storable = plan.storable && CanBeAdded(*wanted[i]);
        PlanAddition(*wanted[i], PathStep(wanted[i]->name, ++present[wanted[i]->name]), plan);
    }
    return plan;
}

// The children that the caller's element and the file's are compared on:
// below the image, wimlib's own statistics are wimlib's.
std::vector<const XmlNode*> ComparedChildren(const XmlNode& node, bool image)
{
    std::vector<const XmlNode*> children;
    for (const XmlNode& child : node.children) {
        if (!image || !IsManaged(child))
            children.push_back(&child);
    }
    return children;
}

// Whether the file's element holds what the caller gave: the same names in
// the same order, the same attributes with the same values, the same texts
// to the character. The image element's own INDEX is wimlib's to keep.
bool Holds(const XmlNode& stored, const XmlNode& wanted, bool image = true)
{
    if (stored.name != wanted.name)
        return false;
    if (!image && !SameAttributes(stored, wanted))
        return false;
    const std::vector<const XmlNode*> have = ComparedChildren(stored, image);
    const std::vector<const XmlNode*> want = ComparedChildren(wanted, image);
    if (want.empty() && !image)
        return have.empty() && stored.text == wanted.text;
    if (have.size() != want.size())
        return false;
    for (size_t i = 0; i < want.size(); ++i) {
        if (!Holds(*have[i], *want[i], false))
            return false;
    }
    return true;
}

// Whether the image `index` of a WIMStruct holds the caller's element; false
// with ERROR_INVALID_DATA when it does not.
bool WimHolds(WIMStruct* wim, DWORD index, const XmlNode& wanted)
{
    WString text;
    FileXml xml;
    if (!ReadWimXml(wim, text) || !ParseFileXml(std::move(text), xml))
        return false;
    const XmlNode* stored = xml.Image(index);
    if (stored == nullptr || !Holds(*stored, wanted))
        return Fail(ERROR_INVALID_DATA);
    return true;
}

}  // namespace

BOOL WINAPI LayerGetImageInformation(HANDLE handle, PVOID* buffer, PDWORD size)
{
    std::shared_ptr<HandleEntry> entry = LookupAny(handle);
    if (entry == nullptr)
        return FALSE;
    if (buffer == nullptr || size == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!Current(file))
        return FALSE;
    const FileXml* xml = CurrentXml(file);
    if (xml == nullptr)
        return FALSE;
    WStringView text = xml->text;
    if (entry->kind == HandleKind::Image) {
        const XmlNode* image = xml->Image(entry->index);
        if (image == nullptr)
            return Fail(ERROR_INVALID_DATA);
        text = text.substr(image->begin, image->end - image->begin);
    }

    // The mark, the text, and a NUL beyond the reported size for callers
    // that read it as a string.
    const size_t units = 1 + text.size();
    auto* out = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, (units + 1) * sizeof(WCHAR)));
    if (out == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    out[0] = 0xFEFF;
    std::memcpy(out + 1, text.data(), text.size() * sizeof(WCHAR));
    out[units] = 0;
    *buffer = out;
    *size = static_cast<DWORD>(units * sizeof(WCHAR));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerSetImageInformation(HANDLE handle, PVOID buffer, DWORD size)
{
    std::shared_ptr<HandleEntry> entry = Lookup(handle, HandleKind::Image);
    if (entry == nullptr)
        return FALSE;
    if (buffer == nullptr || size < sizeof(WCHAR))
        return Fail(ERROR_INVALID_PARAMETER);
    // Characters XML cannot hold, lone surrogates among them, are refused
    // here, before anything is written.
    XmlNode wanted;
    if (!ParseXml(WStringView(static_cast<const WCHAR*>(buffer), size / sizeof(WCHAR)), wanted) ||
        !EqualsAscii(wanted.name, "IMAGE") || !IsStorable(wanted))
        return Fail(ERROR_INVALID_DATA);

    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!file.Writable())
        return Fail(ERROR_ACCESS_DENIED);
    if (!Current(file))
        return FALSE;
    const FileXml* xml = CurrentXml(file);
    if (xml == nullptr)
        return FALSE;
    const DWORD index = entry->index;
    const XmlNode* current = xml->Image(index);
    if (current == nullptr)
        return Fail(ERROR_INVALID_DATA);

    // What wimlib's properties cannot say (an attribute of an added element,
    // an element without text, a changed attribute) is refused here, before
    // anything is written.
    const StorePlan plan = PlanStore(*current, wanted);
    if (!plan.storable)
        return Fail(ERROR_NOT_SUPPORTED);
    if (plan.changes.empty()) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    for (const PropertyChange& change : plan.changes) {
        const char* value = change.value.empty() ? nullptr : change.value.c_str();
        if (!WimlibSucceeds([&] {
                return wimlib_set_image_property(file.wim, static_cast<int>(index), change.path.c_str(),
                                                 value);
            })) {
            Reload(file);
            return FALSE;
        }
    }
    // And the written file must hold it too, or the write is undone.
    if (!Commit(file, {.rebuild = false,
                       .check = [&](WIMStruct* written) { return WimHolds(written, index, wanted); }}))
        return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
