// The image XML store: reads the file's XML document with a small reader
// that keeps where each element stands in its source, so an image's element
// can be handed out exactly as the file holds it, and stores a caller's
// image element through wimlib's image properties.
#include "imaging/wimlib/layer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace layer {

namespace {

struct XmlNode {
    WString name;
    std::vector<std::pair<WString, WString>> attributes;  // values as written
    WString text;                                         // character data, references decoded
    std::vector<XmlNode> children;
    size_t begin = 0;  // the start tag's '<'
    size_t end = 0;    // just past the end tag
};

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
    static constexpr int kMaxDepth = 64;

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
                                 (codePoint >= 0x20 && (codePoint < 0xD800 || codePoint > 0xDFFF));
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
        WString ignored;
        while (position_ < close) {
            if (Peek() == '<')
                return false;
            if (Peek() == '&') {
                if (!ReadReference(ignored) || position_ > close)
                    return false;
            } else {
                ++position_;
            }
        }
        for (const auto& attribute : node.attributes) {
            if (attribute.first == name)
                return false;
        }
        node.attributes.emplace_back(std::move(name), WString(source_.substr(start, close - start)));
        position_ = close + 1;
        return true;
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
                return true;
            }
            if (Peek() == '>') {
                ++position_;
                break;
            }
            if (!spaced || !ReadAttribute(node))
                return false;
        }
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
                node.text.append(source_.substr(start, position_ - 3 - start));
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
    XmlReader reader(UpToNul(text));
    return reader.ReadDocument(root);
}

// The file's XML document as wimlib reads it from disk, without its mark.
bool ReadFileXml(WimFile& file, WString& xml)
{
    void* buffer = nullptr;
    size_t size = 0;
    if (!WimlibSucceeds([&] { return wimlib_get_xml_data(file.wim, &buffer, &size); }))
        return false;
    xml.assign(size / sizeof(WCHAR), WCHAR{});
    std::memcpy(xml.data(), buffer, xml.size() * sizeof(WCHAR));
    std::free(buffer);
    if (!xml.empty() && xml[0] == 0xFEFF)
        xml.erase(0, 1);
    return true;
}

// The IMAGE element of one image in the file's document: the one whose INDEX
// says so, else the index-th IMAGE.
const XmlNode* FindImageElement(const XmlNode& document, DWORD index)
{
    const XmlNode* byPosition = nullptr;
    DWORD position = 0;
    for (const XmlNode& child : document.children) {
        if (!EqualsAscii(child.name, "IMAGE"))
            continue;
        if (++position == index)
            byPosition = &child;
        for (const auto& [name, value] : child.attributes) {
            if (EqualsAscii(name, "INDEX") && EqualsAscii(value, std::to_string(index).c_str()))
                return &child;
        }
    }
    return byPosition;
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
    std::vector<PropertyChange> expected;  // every text the image holds afterwards
};

// Texts of a subtree that keeps its shape: set those that differ.
void PlanTextChanges(const XmlNode& before, const XmlNode& after, const std::string& path, StorePlan& plan)
{
    if (after.children.empty()) {
        if (!after.text.empty()) {
            if (after.text != before.text)
                plan.changes.push_back({path, Utf8FromWide(after.text)});
            plan.expected.push_back({path, Utf8FromWide(after.text)});
        }
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
        plan.expected.push_back({path, Utf8FromWide(node.text)});
        return;
    }
    std::map<WString, int> seen;
    for (const XmlNode& child : node.children) {
        if (HasText(child))
            PlanAddition(child, JoinPath(path, PathStep(child.name, ++seen[child.name])), plan);
    }
}

// The property changes that turn the image element `before` (as the file
// holds it) into `after` (as the caller gives it). The caller's children
// that match the file's from the first on keep their elements and only get
// new texts; from the first that differs in shape, the file's remaining
// children are removed and the caller's added in order. So unchanged
// elements keep their place, and appended ones come last, as given.
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

    size_t kept = 0;
    while (kept < old.size() && kept < wanted.size() && SameShape(*old[kept], *wanted[kept]))
        ++kept;

    // Occurrence numbers among the image's children, counted in the file.
    std::map<WString, int> seen;
    std::vector<int> oldOccurrence;
    for (const XmlNode* child : old)
        oldOccurrence.push_back(++seen[child->name]);

    StorePlan plan;
    for (size_t i = 0; i < kept; ++i)
        PlanTextChanges(*old[i], *wanted[i], PathStep(old[i]->name, oldOccurrence[i]), plan);
    // Last first, so the numbers of the earlier ones stay right.
    for (size_t i = old.size(); i > kept; --i)
        plan.changes.push_back({PathStep(old[i - 1]->name, oldOccurrence[i - 1]), std::string()});

    std::map<WString, int> present;
    for (size_t i = 0; i < kept; ++i)
        ++present[old[i]->name];
    for (size_t i = kept; i < wanted.size(); ++i) {
        if (HasText(*wanted[i]))
            PlanAddition(*wanted[i], PathStep(wanted[i]->name, ++present[wanted[i]->name]), plan);
    }
    return plan;
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
    WString xml;
    if (!ReadFileXml(file, xml))
        return FALSE;
    WStringView text = UpToNul(xml);
    if (entry->kind == HandleKind::Image) {
        XmlNode document;
        if (!ParseXml(text, document))
            return Fail(ERROR_INVALID_DATA);
        const XmlNode* image = FindImageElement(document, entry->index);
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
    WString xml;
    if (!ReadFileXml(file, xml))
        return FALSE;
    XmlNode document;
    if (!ParseXml(xml, document))
        return Fail(ERROR_INVALID_DATA);
    const XmlNode* current = FindImageElement(document, entry->index);
    if (current == nullptr)
        return Fail(ERROR_INVALID_DATA);

    const StorePlan plan = PlanStore(*current, wanted);
    if (plan.changes.empty()) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    const int image = static_cast<int>(entry->index);
    for (const PropertyChange& change : plan.changes) {
        const char* value = change.value.empty() ? nullptr : change.value.c_str();
        if (!WimlibSucceeds(
                [&] { return wimlib_set_image_property(file.wim, image, change.path.c_str(), value); })) {
            Reload(file);
            return FALSE;
        }
    }
    // Each text must now stand where the caller put it; otherwise the paths
    // did not mean to wimlib what they were meant to, and nothing is written.
    for (const PropertyChange& text : plan.expected) {
        const char* stored = wimlib_get_image_property(file.wim, image, text.path.c_str());
        if (stored == nullptr || text.value != stored) {
            SetLastError(ERROR_INVALID_DATA);
            Reload(file);
            return FALSE;
        }
    }
    if (!Commit(file))
        return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
