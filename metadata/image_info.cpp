#include "metadata/image_info.h"

#include "base/last_error.h"
#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"

#include <algorithm>

namespace {

void ShowXmlParseFailureBox(TaskState& task)
{
    WCHAR text[kTextBufferSize];
    WCHAR caption[kTextBufferSize];
    LoadTableString(IDS_XML_UNREADABLE, text);
    LoadTableString(IDS_TAB_INFO, caption);
    MessageBoxW(task.mainWindow, text, caption, MB_ICONERROR);
}

bool IsSpace(WCHAR c)
{
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// A count kept in 32 bits: one beyond their range shows as the largest (or
// smallest) value rather than wrapping round to a small or negative one.
int32_t ClampedCount(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// The character a reference names ("amp", "#38", "#x26"), or -1.
int32_t ReferencedCharacter(WStringView name)
{
    static const struct {
        const WCHAR* name;
        WCHAR character;
    } entities[] = {
        {WSTR("amp"), '&'}, {WSTR("lt"), '<'}, {WSTR("gt"), '>'}, {WSTR("quot"), '"'}, {WSTR("apos"), '\''},
    };
    for (const auto& entity : entities) {
        if (name == entity.name)
            return entity.character;
    }
    if (name.size() < 2 || name[0] != '#')
        return -1;
    const bool hex = name[1] == 'x';
    size_t i = hex ? 2 : 1;
    if (i == name.size())
        return -1;
    int64_t value = 0;
    for (; i < name.size(); ++i) {
        WCHAR c = name[i];
        int digit = c >= '0' && c <= '9'          ? c - '0'
                    : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
        if (digit < 0)
            return -1;
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0x10FFFF)
            return -1;
    }
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF))
        return -1;
    return static_cast<int32_t>(value);
}

}  // namespace

void (*ShowXmlParseFailure)(TaskState& task) = ShowXmlParseFailureBox;

XmlDocument* ReadImageXml(HANDLE handle)
{
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* buffer = nullptr;
    DWORD size = 0;
    if (!WIMGetImageInformation(handle, &buffer, &size))
        return nullptr;  // the library's reason stands

    // Copy up to the first NUL into a terminated buffer of our own.
    size_t units = size / sizeof(WCHAR);
    auto* copy = static_cast<WCHAR*>(LocalAlloc(LMEM_ZEROINIT, (units + 1) * sizeof(WCHAR)));
    if (copy == nullptr) {
        LocalFree(buffer);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const WCHAR* source = static_cast<const WCHAR*>(buffer);
    for (size_t i = 0; i < units && source[i] != 0; ++i)
        copy[i] = source[i];
    LocalFree(buffer);

    XmlDocument* document = CreateDocument();
    bool parsed = ParseXml(document, copy);
    LocalFree(copy);
    if (!parsed) {
        DestroyDocument(document);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    return document;
}

bool WriteImageXml(HANDLE image, const XmlDocument* document)
{
    if (document == nullptr || image == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    WString text(1, static_cast<WCHAR>(0xFEFF));
    if (!WriteXml(document, document->root, text, 0)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return WIMSetImageInformation(image, text.data(), static_cast<DWORD>(text.size() * sizeof(WCHAR))) !=
           FALSE;
}

void ReadImageSummary(TaskState& task, HANDLE image, ImageSummary& summary)
{
    summary = ImageSummary{};
    XmlDocument* document = ReadImageXml(image);
    if (document == nullptr) {
        ShowXmlParseFailure(task);
        return;
    }
    const XmlElement* root = document->root;
    if (const XmlElement* e = FindChild(root, WSTR("FILECOUNT")))
        summary.fileCount = ClampedCount(DecimalValue(e->text));
    if (const XmlElement* e = FindChild(root, WSTR("DIRCOUNT")))
        summary.dirCount = ClampedCount(DecimalValue(e->text));
    if (const XmlElement* e = FindChild(root, WSTR("TOTALBYTES")))
        summary.totalBytes = DecimalValue(e->text);
    const struct {
        const WCHAR* element;
        WString ImageSummary::*field;
    } texts[] = {
        {WSTR("NAME"), &ImageSummary::name},
        {WSTR("DESCRIPTION"), &ImageSummary::description},
        {WSTR("DISPLAYNAME"), &ImageSummary::displayName},
        {WSTR("DISPLAYDESCRIPTION"), &ImageSummary::displayDescription},
        {WSTR("FLAGS"), &ImageSummary::flags},
    };
    for (const auto& entry : texts) {
        if (const XmlElement* e = FindChild(root, entry.element))
            summary.*entry.field = XmlTextValue(e->text);
    }
    DestroyDocument(document);
}

bool SetImageField(TaskState& task, HANDLE image, WStringView element, WStringView text)
{
    XmlDocument* document = ReadImageXml(image);
    if (document == nullptr) {
        // The notice is a message box, which may change the last error.
        const DWORD cause = GetLastError();
        ShowXmlParseFailure(task);
        SetLastError(cause);
        return false;
    }
    XmlElement* child = FindChild(document->root, element);
    if (child != nullptr) {
        SetText(child, text);
    } else {
        child = NewElement(element);
        SetText(child, text);
        AppendChild(document->root, child);
    }
    bool stored = WriteImageXml(image, document);
    LastErrorKept error;
    DestroyDocument(document);
    return stored;
}

WString EscapeXmlText(WStringView text)
{
    WString escaped;
    escaped.reserve(text.size());
    for (WCHAR c : text) {
        switch (c) {
        case '&':
            escaped += WSTR("&amp;");
            break;
        case '<':
            escaped += WSTR("&lt;");
            break;
        case '>':
            escaped += WSTR("&gt;");
            break;
        case '\r':
            // A reader turns a carriage return into a line feed unless it
            // comes as a reference.
            escaped += WSTR("&#13;");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

WString XmlTextValue(WStringView text)
{
    WString value;
    value.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text[i] == '&' ? text.find(';', i + 1) : WStringView::npos;
        int32_t character =
            end == WStringView::npos ? -1 : ReferencedCharacter(text.substr(i + 1, end - i - 1));
        if (character < 0) {
            value += text[i++];
            continue;
        }
        if (character > 0xFFFF) {
            character -= 0x10000;
            value += static_cast<WCHAR>(0xD800 + (character >> 10));
            value += static_cast<WCHAR>(0xDC00 + (character & 0x3FF));
        } else {
            value += static_cast<WCHAR>(character);
        }
        i = end + 1;
    }
    return value;
}

int64_t DecimalValue(WStringView text)
{
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // Accumulate as a negative number so that the most negative value fits;
    // saturate like the C library does on overflow.
    int64_t value = 0;
    const int64_t lowest = INT64_MIN;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (value < (lowest + digit) / 10) {
            return negative ? lowest : INT64_MAX;
        }
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    return value == lowest ? INT64_MAX : -value;
}

WString XmlContentText(WStringView text)
{
    WString fit;
    for (size_t i = 0; i < text.size(); ++i) {
        WCHAR c = text[i];
        bool high = c >= 0xD800 && c <= 0xDBFF;
        bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            fit += c;
            fit += text[++i];
            continue;
        }
        if (high || low || c == 0xFFFE || c == 0xFFFF || (c < 0x20 && c != '\t' && c != '\n' && c != '\r'))
            continue;
        fit += c;
    }
    return EscapeXmlText(fit);
}
