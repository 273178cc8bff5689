// The small XML tree that image metadata is read into, changed in and written
// back from. It knows one root element, nested elements, attributes and
// character content; nothing is decoded on the way in or escaped on the way
// out, so text read from the imaging library is written back unchanged.
#pragma once

#include "base/text.h"

#include <cstdint>

struct XmlAttribute {
    XmlAttribute* previous = nullptr;
    XmlAttribute* next = nullptr;
    WString name;
    WString value;  // exactly as it stood between the quotes
};

// An element holds either children or text, never both.
struct XmlElement {
    XmlElement* parent = nullptr;
    XmlElement* previousSibling = nullptr;
    XmlElement* nextSibling = nullptr;
    XmlElement* firstChild = nullptr;  // owned, with every sibling after it
    XmlElement* lastChild = nullptr;
    XmlAttribute* firstAttribute = nullptr;  // owned, with every attribute after it
    XmlAttribute* lastAttribute = nullptr;
    WString name;
    WString text;
};

struct XmlDocument {
    XmlElement* root = nullptr;  // owned; present from creation on
    int32_t indentStep = 2;      // spaces per nesting level when writing
};

// A document with a new empty root element.
XmlDocument* CreateDocument();
void DestroyDocument(XmlDocument* document);

// A new unlinked element with the given name, no text, children or attributes.
XmlElement* NewElement(WStringView name = {});

// Frees the element with its whole subtree and its attributes. It does not
// unlink the element from its parent: use it on roots and unlinked elements.
void DestroyElement(XmlElement* element);

// Destroys every child and empties the element's text.
void RemoveChildren(XmlElement* element);

// Destroys every child, then sets the text.
void SetText(XmlElement* element, WStringView text);

// Link an unlinked element as the last or first child; the parent's text is emptied.
void AppendChild(XmlElement* parent, XmlElement* child);
void PrependChild(XmlElement* parent, XmlElement* child);

// The first direct child whose name equals the given one exactly (case matters).
XmlElement* FindChild(const XmlElement* element, WStringView name);

// Replaces the document's tree by the one read from the text, which ends at its
// first NUL (or, for the view, at its end if it holds no NUL). A leading U+FEFF
// is skipped and whatever follows the root's end tag is not examined. On
// failure the partly built tree stays in the document; discard the document.
bool ParseXml(XmlDocument* document, const WCHAR* text);
bool ParseXml(XmlDocument* document, WStringView text);

// The writer's limits. Parsing takes any depth in time and memory linear in
// the text, but the written form indents every line by its depth, so its size
// grows with the square of the depth: a text of a few megabytes nested a
// million levels deep would need terabytes. Trees the imaging library writes
// stay far within both limits (its own parser stops at 256 levels).
constexpr int32_t kXmlMaxWriteDepth = 1024;             // levels below the element written
constexpr size_t kXmlMaxWriteUnits = size_t{16} << 20;  // UTF-16 units of written text

// Appends the text form of the element and its subtree: depth spaces of
// indentation (none when depth <= 0), indentStep more per level, CR LF after
// every element, attribute values between double quotes. Returns false, with
// `output` as it was, when the subtree is deeper than kXmlMaxWriteDepth or
// its text would exceed kXmlMaxWriteUnits.
bool WriteXml(const XmlDocument* document, const XmlElement* element, WString& output, int32_t depth);
