// The reader of the file's XML document (see xml_reader.h).
#include "imaging/wimlib/xml_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace layer {

namespace {

bool IsNameStart(WCHAR c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(WCHAR c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
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

}  // namespace

bool IsXmlSpace(WCHAR c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
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

}  // namespace layer
