#include "metadata/xml.h"

// Trees come from outside the program, so nothing here recurses: a text
// nested a hundred thousand levels deep must not exhaust a thread's stack.
// The parent links serve as the stack when parsing, writing and destroying.

namespace {

constexpr WCHAR kByteOrderMark = 0xFEFF;

// The wide white-space set of the C locale. Beyond ASCII the C libraries'
// answers differ between platforms, so both builds keep to the six that every
// one of them accepts: TAB, LF, VT, FF, CR and space.
bool IsStandardSpace(WCHAR c)
{
    return c == WSTR(' ') || (c >= 0x09 && c <= 0x0D);
}

// Between elements a byte-order mark counts as white space too.
bool IsSpace(WCHAR c)
{
    return IsStandardSpace(c) || c == kByteOrderMark;
}

bool IsNameTerminator(WCHAR c)
{
    switch (c) {
    case WSTR('\t'):
    case WSTR('\n'):
    case WSTR('\r'):
    case WSTR(' '):
    case WSTR('"'):
    case WSTR('#'):
    case WSTR('&'):
    case WSTR('\''):
    case WSTR('/'):
    case WSTR('<'):
    case WSTR('='):
    case WSTR('>'):
    case kByteOrderMark:
        return true;
    default:
        return false;
    }
}

// A position in the text. The text ends at its first NUL, so every read past
// the end yields 0, which no character inside the text can be.
class Cursor {
public:
    explicit Cursor(WStringView text) : text_(text.substr(0, text.find(WCHAR{0}))) {}

    bool AtEnd() const { return pos_ == text_.size(); }

    WCHAR Peek(size_t ahead = 0) const
    {
        return ahead < text_.size() - pos_ ? text_[pos_ + ahead] : WCHAR{0};
    }

    void Advance(size_t count = 1) { pos_ += count < text_.size() - pos_ ? count : text_.size() - pos_; }

    bool Consume(WCHAR c)
    {
        if (AtEnd() || text_[pos_] != c)
            return false;
        ++pos_;
        return true;
    }

    void SkipWhitespace()
    {
        while (!AtEnd() && IsSpace(text_[pos_]))
            ++pos_;
    }

    WStringView TakeName()
    {
        size_t start = pos_;
        while (!AtEnd() && !IsNameTerminator(text_[pos_]))
            ++pos_;
        return text_.substr(start, pos_ - start);
    }

    size_t Position() const { return pos_; }

    // Goes back to an earlier position.
    void Rewind(size_t position) { pos_ = position < pos_ ? position : pos_; }

    // Everything up to the next stop character, or to the end of the text.
    WStringView TakeUntil(WCHAR stop)
    {
        size_t start = pos_;
        size_t found = text_.find(stop, pos_);
        pos_ = found == WStringView::npos ? text_.size() : found;
        return text_.substr(start, pos_ - start);
    }

private:
    WStringView text_;
    size_t pos_ = 0;
};

void FreeAttributes(XmlElement* element)
{
    XmlAttribute* attribute = element->firstAttribute;
    while (attribute != nullptr) {
        XmlAttribute* next = attribute->next;
        delete attribute;
        attribute = next;
    }
    element->firstAttribute = nullptr;
    element->lastAttribute = nullptr;
}

// A repeated name replaces the value and keeps the attribute's first place.
void SetAttribute(XmlElement* element, WStringView name, WStringView value)
{
    for (XmlAttribute* attribute = element->firstAttribute; attribute != nullptr;
         attribute = attribute->next) {
        if (attribute->name == name) {
            attribute->value = value;
            return;
        }
    }
    auto* attribute = new XmlAttribute;
    attribute->name = name;
    attribute->value = value;
    attribute->previous = element->lastAttribute;
    if (element->lastAttribute != nullptr)
        element->lastAttribute->next = attribute;
    else
        element->firstAttribute = attribute;
    element->lastAttribute = attribute;
}

bool ParseAttributes(XmlElement* element, Cursor& cursor)
{
    cursor.SkipWhitespace();
    for (;;) {
        WCHAR c = cursor.Peek();
        if (c == WSTR('>') || c == WSTR('/'))
            return true;
        if (cursor.AtEnd())
            return false;
        WStringView name = cursor.TakeName();
        cursor.SkipWhitespace();
        if (!cursor.Consume(WSTR('=')))
            return false;
        cursor.SkipWhitespace();
        WCHAR quote = cursor.Peek();
        if (quote != WSTR('"') && quote != WSTR('\''))
            return false;
        cursor.Advance();
        WStringView value = cursor.TakeUntil(quote);
        if (!cursor.Consume(quote))
            return false;
        SetAttribute(element, name, value);
        cursor.SkipWhitespace();
    }
}

// Reads "<name attributes>" or "<name attributes/>" into the element.
bool ParseStartTag(XmlElement* element, Cursor& cursor, bool& selfClosing)
{
    cursor.SkipWhitespace();
    if (!cursor.Consume(WSTR('<')))
        return false;
    WStringView name = cursor.TakeName();
    if (IsStandardSpace(cursor.Peek()) && !ParseAttributes(element, cursor))
        return false;
    if (cursor.Consume(WSTR('/'))) {
        if (!cursor.Consume(WSTR('>')))
            return false;
        selfClosing = true;
    } else if (cursor.Consume(WSTR('>'))) {
        selfClosing = false;
    } else {
        return false;
    }
    element->name = name;
    return true;
}

// The closing name must match exactly: case and trailing white space count.
bool ParseEndTag(const XmlElement* element, Cursor& cursor)
{
    if (cursor.Peek() != WSTR('<') || cursor.Peek(1) != WSTR('/'))
        return false;
    cursor.Advance(2);
    WStringView closingName = cursor.TakeUntil(WSTR('>'));
    return cursor.Consume(WSTR('>')) && closingName == element->name;
}

// True when the content goes on with another child's start tag.
bool ChildFollows(const Cursor& cursor)
{
    return cursor.Peek() == WSTR('<') && cursor.Peek(1) != WSTR('/');
}

XmlElement* StartChild(XmlElement* parent)
{
    XmlElement* child = NewElement();
    AppendChild(parent, child);
    return child;
}

// Reads the element at the cursor into root, descending into each child as it
// is met and climbing back through the parent links when it ends.
bool ParseTree(XmlElement* root, Cursor& cursor)
{
    XmlElement* current = root;  // the element whose start tag comes next
    for (;;) {
        bool selfClosing = false;
        if (!ParseStartTag(current, cursor, selfClosing))
            return false;
        if (!selfClosing) {
            const size_t contentStart = cursor.Position();
            cursor.SkipWhitespace();
            if (ChildFollows(cursor)) {
                current = StartChild(current);
                continue;
            }
            // Text up to the next tag, white space at either end included: a
            // user's "  two  spaces " or a FLAGS of blanks is content, not
            // layout, and must come back as it went in.
            cursor.Rewind(contentStart);
            if (cursor.Peek() != WSTR('<'))
                SetText(current, cursor.TakeUntil(WSTR('<')));
            if (!ParseEndTag(current, cursor))
                return false;
        }
        // current is complete: go on in its parent with the next child, or
        // close the parent and climb further.
        for (;;) {
            if (current == root)
                return true;
            current = current->parent;
            cursor.SkipWhitespace();
            if (ChildFollows(cursor)) {
                current = StartChild(current);
                break;
            }
            if (!ParseEndTag(current, cursor))
                return false;
        }
    }
}

// Appends to the output within kXmlMaxWriteUnits; once a piece would not
// fit, nothing more is appended and the write has failed.
class BoundedWriter {
public:
    explicit BoundedWriter(WString& output) : output_(output), start_(output.size()) {}

    bool failed() const { return failed_; }

    void Append(WStringView piece)
    {
        if (!Reserve(piece.size()))
            return;
        output_ += piece;
    }

    void Append(WCHAR c) { Append(WStringView(&c, 1)); }

    void AppendIndent(int64_t depth)
    {
        if (depth <= 0 || !Reserve(static_cast<uint64_t>(depth)))
            return;
        output_.append(static_cast<size_t>(depth), WSTR(' '));
    }

    void AppendStartTag(const XmlElement* element, int64_t depth)
    {
        AppendIndent(depth);
        Append(WSTR('<'));
        Append(element->name);
        for (const XmlAttribute* attribute = element->firstAttribute; attribute != nullptr;
             attribute = attribute->next) {
            Append(WSTR(' '));
            Append(attribute->name);
            Append(WSTR("=\""));
            Append(attribute->value);
            Append(WSTR('"'));
        }
    }

    void AppendEndTag(const XmlElement* element)
    {
        Append(WSTR("</"));
        Append(element->name);
        Append(WSTR(">\r\n"));
    }

    // Puts the output back as it was.
    void Fail()
    {
        failed_ = true;
        output_.erase(start_);
    }

private:
    bool Reserve(uint64_t units)
    {
        if (failed_)
            return false;
        if (units > kXmlMaxWriteUnits - (output_.size() - start_)) {
            Fail();
            return false;
        }
        return true;
    }

    WString& output_;
    size_t start_;
    bool failed_ = false;
};

}  // namespace

XmlDocument* CreateDocument()
{
    auto* document = new XmlDocument;
    document->root = NewElement();
    document->indentStep = 2;
    return document;
}

void DestroyDocument(XmlDocument* document)
{
    if (document == nullptr)
        return;
    DestroyElement(document->root);
    delete document;
}

XmlElement* NewElement(WStringView name)
{
    auto* element = new XmlElement;
    element->name = name;
    return element;
}

void DestroyElement(XmlElement* element)
{
    if (element == nullptr)
        return;
    RemoveChildren(element);
    FreeAttributes(element);
    delete element;
}

void RemoveChildren(XmlElement* element)
{
    if (element == nullptr)
        return;
    // Post-order walk: go down to a leaf, free it, and let its parent's child
    // list start at the next sibling; a parent left without children becomes a
    // leaf in turn.
    XmlElement* node = element->firstChild;
    while (node != nullptr) {
        if (node->firstChild != nullptr) {
            node = node->firstChild;
            continue;
        }
        XmlElement* parent = node->parent;
        XmlElement* sibling = node->nextSibling;
        FreeAttributes(node);
        delete node;
        parent->firstChild = sibling;
        if (sibling != nullptr) {
            sibling->previousSibling = nullptr;
            node = sibling;
        } else {
            parent->lastChild = nullptr;
            node = parent == element ? nullptr : parent;
        }
    }
    element->firstChild = nullptr;
    element->lastChild = nullptr;
    element->text.clear();
}

void SetText(XmlElement* element, WStringView text)
{
    RemoveChildren(element);
    element->text = text;
}

void AppendChild(XmlElement* parent, XmlElement* child)
{
    parent->text.clear();
    child->parent = parent;
    child->nextSibling = nullptr;
    child->previousSibling = parent->lastChild;
    if (parent->lastChild != nullptr)
        parent->lastChild->nextSibling = child;
    else
        parent->firstChild = child;
    parent->lastChild = child;
}

void PrependChild(XmlElement* parent, XmlElement* child)
{
    parent->text.clear();
    child->parent = parent;
    child->previousSibling = nullptr;
    child->nextSibling = parent->firstChild;
    if (parent->firstChild != nullptr)
        parent->firstChild->previousSibling = child;
    else
        parent->lastChild = child;
    parent->firstChild = child;
}

XmlElement* FindChild(const XmlElement* element, WStringView name)
{
    if (element == nullptr)
        return nullptr;
    for (XmlElement* child = element->firstChild; child != nullptr; child = child->nextSibling) {
        if (child->name == name)
            return child;
    }
    return nullptr;
}

bool ParseXml(XmlDocument* document, const WCHAR* text)
{
    return ParseXml(document, text != nullptr ? WStringView(text) : WStringView());
}

bool ParseXml(XmlDocument* document, WStringView text)
{
    if (document == nullptr)
        return false;
    DestroyElement(document->root);
    document->root = NewElement();
    Cursor cursor(text);
    if (cursor.Peek() == kByteOrderMark)
        cursor.Advance();
    return ParseTree(document->root, cursor);
}

bool WriteXml(const XmlDocument* document, const XmlElement* element, WString& output, int32_t depth)
{
    if (document == nullptr || element == nullptr)
        return true;
    BoundedWriter writer(output);
    // 64 bits: a deep tree must not wrap the indentation around.
    const int64_t step = document->indentStep;
    int64_t level = depth;
    int32_t nesting = 0;
    const XmlElement* node = element;
    while (!writer.failed()) {
        writer.AppendStartTag(node, level);
        if (node->firstChild != nullptr) {
            if (nesting == kXmlMaxWriteDepth) {
                writer.Fail();
                break;
            }
            writer.Append(WSTR(">\r\n"));
            node = node->firstChild;
            level += step;
            ++nesting;
            continue;
        }
        if (node->text.empty()) {
            writer.Append(WSTR(" />\r\n"));
        } else {
            writer.Append(WSTR('>'));
            writer.Append(node->text);
            writer.AppendEndTag(node);
        }
        // Close every element whose last child has just been written.
        while (node != element && node->nextSibling == nullptr) {
            node = node->parent;
            level -= step;
            --nesting;
            writer.AppendIndent(level);
            writer.AppendEndTag(node);
        }
        if (node == element)
            break;
        node = node->nextSibling;
    }
    return !writer.failed();
}
