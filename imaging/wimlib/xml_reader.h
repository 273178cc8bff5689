// A small XML reader for the file's XML document that keeps where each
// element stands in its source, so an element can be handed out exactly as
// the file holds it.
//
// Why a reader of its own beside metadata/xml.cpp: that tree decodes nothing
// so that the program writes back what it read, while wimlib needs decoded,
// checked characters and the store needs each element's place in the text.
#pragma once

#include "imaging/wimlib/layer.h"

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

bool IsXmlSpace(WCHAR c);
bool EqualsAscii(WStringView text, const char* ascii);

// The text up to its first NUL, the way the library's buffers end.
WStringView UpToNul(WStringView text);

// One root element; false for text XML 1.0 cannot hold or that is not
// well formed.
bool ParseXml(WStringView text, XmlNode& root);

}  // namespace layer
