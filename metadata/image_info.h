// An image's XML information: fetched from the imaging library, read into a
// summary, changed one element at a time and handed back whole.
#pragma once

#include "base/task_state.h"
#include "metadata/xml.h"

#include <cstdint>

// The texts as the user typed them (references decoded); counts beyond 32
// bits clamped.
struct ImageSummary {
    WString name;
    WString description;
    WString displayName;
    WString displayDescription;
    WString flags;
    int32_t dirCount = 0;
    int32_t fileCount = 0;
    int64_t totalBytes = 0;
};

// The XML of an image handle (root IMAGE) or a WIM handle (one IMAGE per
// image), parsed; null when the library refuses it (its last error stands)
// or it does not parse (ERROR_INVALID_DATA). The caller destroys the document.
XmlDocument* ReadImageXml(HANDLE handle);

// Hands the document back to the library: U+FEFF and the written text, no
// terminator. Returns the library's answer; the last error tells why.
bool WriteImageXml(HANDLE image, const XmlDocument* document);

// Fills `summary` from the image's XML; on failure shows the parse-failure
// notice and leaves it reset.
void ReadImageSummary(TaskState& task, HANDLE image, ImageSummary& summary);

// Sets the text of the image element's direct child `element` (appending it
// when absent) and writes the XML back. The text is stored as given: callers
// escape a user's text first (EscapeXmlText). Returns false when nothing was
// stored; the parse-failure notice has then been shown if the XML could not
// be read, and the last error tells why: the failed fetch's own reason, XML
// that does not parse, or the library's refusal of the write.
bool SetImageField(TaskState& task, HANDLE image, WStringView element, WStringView text);

// A user's text made safe for an element's content: &, < and > escaped, and
// carriage returns written as references so that they survive a reader.
WString EscapeXmlText(WStringView text);

// A text from outside (a hive, say) made fit for an element's content: the
// XML special characters escaped and characters XML cannot hold left out, so
// a damaged or hostile source cannot make the document unreadable.
WString XmlContentText(WStringView text);

// An element's text as the user typed it: the five named references and
// numeric ones decoded. What is not a well-formed reference stays as it is.
// The tree keeps texts as stored; this is for showing them.
WString XmlTextValue(WStringView text);

// Standard string-to-integer rules: leading white space, one sign, digits up
// to the first non-digit; no leading digits gives 0.
int64_t DecimalValue(WStringView text);

// The message box for image XML that cannot be read (IDS_XML_UNREADABLE, IDS_TAB_INFO,
// error icon, owned by mainWindow). Tests put a recorder in its place.
extern void (*ShowXmlParseFailure)(TaskState& task);
