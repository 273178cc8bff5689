#include "metadata/image_info.h"

#include "imaging/wimgapi.h"
#include "progress/log.h"

#include <algorithm>

namespace {

void ShowXmlParseFailureBox(TaskState& task)
{
    WCHAR text[kTextBufferSize];
    WCHAR caption[kTextBufferSize];
    LoadTableString(238, text);
    LoadTableString(220, caption);
    MessageBoxW(task.mainWindow, text, caption, MB_ICONERROR);
}

bool IsSpace(WCHAR c)
{
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

}  // namespace

void (*ShowXmlParseFailure)(TaskState& task) = ShowXmlParseFailureBox;

XmlDocument* ReadImageXml(HANDLE handle)
{
    if (handle == nullptr)
        return nullptr;
    void* buffer = nullptr;
    DWORD size = 0;
    if (!WIMGetImageInformation(handle, &buffer, &size))
        return nullptr;

    // Copy up to the first NUL into a terminated buffer of our own.
    size_t units = size / sizeof(WCHAR);
    auto* copy = static_cast<WCHAR*>(LocalAlloc(LMEM_ZEROINIT, (units + 1) * sizeof(WCHAR)));
    if (copy == nullptr) {
        LocalFree(buffer);
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
    WriteXml(document, document->root, text, 0);
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
        summary.fileCount = static_cast<int32_t>(DecimalValue(e->text));
    if (const XmlElement* e = FindChild(root, WSTR("DIRCOUNT")))
        summary.dirCount = static_cast<int32_t>(DecimalValue(e->text));
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
            summary.*entry.field = e->text;
    }
    DestroyDocument(document);
}

bool SetImageField(TaskState& task, HANDLE image, WStringView element, WStringView text)
{
    XmlDocument* document = ReadImageXml(image);
    if (document == nullptr) {
        ShowXmlParseFailure(task);
        SetLastError(ERROR_INVALID_DATA);
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
    DWORD error = GetLastError();
    DestroyDocument(document);
    SetLastError(error);
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
