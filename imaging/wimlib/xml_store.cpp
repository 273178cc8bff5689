// The image XML store: hands out an image's element exactly as the file
// holds it, and stores a caller's image element through wimlib's image
// properties.
//
// The file's document is read and parsed once per reading of the file (a
// report on a file of hundreds of images asks for every image's element), and
// a caller's element is stored only when the file then holds exactly that:
// its characters are checked before anything is written, the change is
// compared in memory before the commit and in the written file after it.
#include "imaging/wimlib/xml_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace layer {

namespace {

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

// The file's document, read and parsed once for each reading of the file,
// or the view kept changes give. wimlib has no document for a file not yet
// written: it holds no image then but the ones kept.
const FileXml* CurrentXml(WimFile& file)
{
    if (file.xml == nullptr) {
        auto xml = std::make_shared<FileXml>();
        WString text;
        if (!ReadWimXml(file.wim, text))
            return nullptr;
        if (text.empty() && file.pending)
            text = WSTR("<WIM></WIM>");
        if (!ParseFileXml(std::move(text), *xml))
            return nullptr;
        file.xml = std::move(xml);
    }
    return file.xml.get();
}

// ---------------------------------------------------------------------------
// The document while changes are kept

// An element's content as its source has it: from its first child to its
// last (text beside children is not stored, see IsStorable).
WStringView ContentOf(const XmlNode& element, WStringView source)
{
    if (element.children.empty())
        return {};
    const size_t begin = element.children.front().begin;
    return source.substr(begin, element.children.back().end - begin);
}

// The document in the parts a kept change moves: each image's content in
// index order, and the root's other children.
struct DocumentParts {
    WString root;
    std::vector<WString> images;
    WString others;
};

bool SplitDocument(WimFile& file, DocumentParts& parts)
{
    const FileXml* xml = CurrentXml(file);
    if (xml == nullptr)
        return false;
    parts.root = xml->document.name;
    for (DWORD index = 1; index <= xml->byPosition.size(); ++index) {
        const XmlNode* image = xml->Image(index);
        if (image == nullptr)
            return false;
        parts.images.emplace_back(ContentOf(*image, xml->text));
    }
    for (const XmlNode& child : xml->document.children) {
        if (!EqualsAscii(child.name, "IMAGE"))
            parts.others += xml->text.substr(child.begin, child.end - child.begin);
    }
    return true;
}

// The parts as the view of the file's document, images numbered in order.
void ShowDocument(WimFile& file, const DocumentParts& parts)
{
    WString text = WSTR("<") + parts.root + WSTR(">");
    for (size_t i = 0; i < parts.images.size(); ++i) {
        text += WSTR("<IMAGE INDEX=\"");
        for (char digit : std::to_string(i + 1))
            text.push_back(static_cast<WCHAR>(digit));
        text += WSTR("\">") + parts.images[i] + WSTR("</IMAGE>");
    }
    text += parts.others + WSTR("</") + parts.root + WSTR(">");
    auto xml = std::make_shared<FileXml>();
    if (ParseFileXml(std::move(text), *xml))
        file.xml = std::move(xml);
    else
        file.xml.reset();
}

// What wimlib holds of an image before it is written (its figures are
// wimlib's to count then).
WString ContentInWimlib(WIMStruct* wim, int index)
{
    auto element = [](const char* name, const WString& content) {
        const WString tag = WideFromUtf8(name);
        return WSTR("<") + tag + WSTR(">") + content + WSTR("</") + tag + WSTR(">");
    };
    auto value = [&](const std::string& path) {
        const char* text = wimlib_get_image_property(wim, index, path.c_str());
        return text != nullptr ? WideFromUtf8(text) : WString();
    };
    WString content;
    for (const char* count : {"DIRCOUNT", "FILECOUNT", "TOTALBYTES", "HARDLINKBYTES"}) {
        const WString figure = value(count);
        if (!figure.empty())
            content += element(count, figure);
    }
    for (const char* time : {"CREATIONTIME", "LASTMODIFICATIONTIME"}) {
        const WString high = value(std::string(time) + "/HIGHPART");
        const WString low = value(std::string(time) + "/LOWPART");
        if (!high.empty() && !low.empty())
            content += element(time, element("HIGHPART", high) + element("LOWPART", low));
    }
    return content;
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

// An added element is made of paths with texts: no attributes. An element
// without text anywhere below it is left out, as wimlib leaves out a text
// set empty: it says nothing, and refusing it would lose every text beside
// it (an offline installation's element with one value missing).
bool CanBeAdded(const XmlNode& node)
{
    if (!node.attributes.empty())
        return false;
    return std::all_of(node.children.begin(), node.children.end(), CanBeAdded);
}

bool IsLeftOut(const XmlNode& node)
{
    return node.attributes.empty() && !HasText(node) &&
           std::all_of(node.children.begin(), node.children.end(), IsLeftOut);
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
    if (!HasText(node))
        return;
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
        if (at == old.size() && IsLeftOut(*wanted[added]))
            continue;  // nothing to store, and no reason to add what follows
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
// below the image, wimlib's own statistics are wimlib's, and elements
// without text are not stored.
std::vector<const XmlNode*> ComparedChildren(const XmlNode& node, bool image)
{
    std::vector<const XmlNode*> children;
    for (const XmlNode& child : node.children) {
        if ((!image || !IsManaged(child)) && !IsLeftOut(child))
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

// A NAME another image of the file has is refused before any property is
// set: wimlib refuses it part way through the changes otherwise.
bool NamesAreFree(WimFile& file, DWORD index, const StorePlan& plan)
{
    for (const PropertyChange& change : plan.changes) {
        if (change.path != "NAME" || change.value.empty())
            continue;
        const char* own = wimlib_get_image_name(file.wim, static_cast<int>(index));
        if (wimlib_image_name_in_use(file.wim, change.value.c_str()) &&
            (own == nullptr || change.value != own))
            return Fail(ERROR_ALREADY_EXISTS);
    }
    return true;
}

// A text as wimlib writes it: the characters markup needs escaped, and
// carriage returns as references so that a reader keeps them.
void AppendEscaped(WString& out, WStringView text)
{
    for (WCHAR c : text) {
        switch (c) {
        case '&':
            out += WSTR("&amp;");
            break;
        case '<':
            out += WSTR("&lt;");
            break;
        case '>':
            out += WSTR("&gt;");
            break;
        case '\r':
            out += WSTR("&#13;");
            break;
        default:
            out.push_back(c);
        }
    }
}

// An element the caller gave, as wimlib will write it: no white space
// between elements, nothing without text, attributes as the file had them.
void AppendStored(WString& out, const XmlNode& node)
{
    if (IsLeftOut(node))
        return;
    out += WSTR("<") + node.name;
    for (const XmlAttributeValue& attribute : node.attributes)
        out += WSTR(" ") + attribute.name + WSTR("=\"") + attribute.written + WSTR("\"");
    out += WSTR(">");
    if (node.children.empty())
        AppendEscaped(out, node.text);
    for (const XmlNode& child : node.children)
        AppendStored(out, child);
    out += WSTR("</") + node.name + WSTR(">");
}

// The content the image will have once written: the caller's children, but
// wimlib's own statistics as it keeps them.
WString StoredContent(const XmlNode& current, WStringView currentSource, const XmlNode& wanted)
{
    WString content;
    for (const XmlNode& child : wanted.children) {
        if (!IsManaged(child)) {
            AppendStored(content, child);
            continue;
        }
        for (const XmlNode& own : current.children) {
            if (own.name == child.name) {
                content += currentSource.substr(own.begin, own.end - own.begin);
                break;
            }
        }
    }
    return content;
}

// The image's element as the caller gave it, kept for the view and for the
// check of the written file.
void KeepStoredImage(WimFile& file, DWORD index, const XmlNode& wanted)
{
    auto& stored = file.kept.storedImages;
    std::erase_if(stored, [index](const auto& element) { return element.first == index; });
    stored.emplace_back(index, std::make_shared<const XmlNode>(wanted));
    DocumentParts parts;
    const std::shared_ptr<const FileXml> xml = file.xml;
    const XmlNode* current = xml != nullptr ? xml->Image(index) : nullptr;
    if (current != nullptr && SplitDocument(file, parts) && index <= parts.images.size()) {
        parts.images[index - 1] = StoredContent(*current, xml->text, wanted);
        ShowDocument(file, parts);
    } else {
        file.xml.reset();
    }
}

}  // namespace

void ShowAddedImageXml(WimFile& file)
{
    DocumentParts parts;
    const int added = static_cast<int>(ImageCountOf(file));
    if (added == 0 || !SplitDocument(file, parts)) {
        file.xml.reset();
        return;
    }
    parts.images.push_back(ContentInWimlib(file.wim, added));
    ShowDocument(file, parts);
}

void ShowDeletedImageXml(WimFile& file, DWORD index)
{
    DocumentParts parts;
    if (!SplitDocument(file, parts) || index == 0 || index > parts.images.size()) {
        file.xml.reset();
        return;
    }
    parts.images.erase(parts.images.begin() + (index - 1));
    ShowDocument(file, parts);
}

bool WrittenXmlHolds(const KeptChanges& kept, DWORD images, WStringView xml, DWORD imageCount)
{
    if (imageCount != images)
        return Fail(ERROR_INVALID_DATA);
    if (kept.storedImages.empty())
        return true;
    FileXml written;
    if (!ParseFileXml(WString(xml), written))
        return false;
    for (const auto& [index, wanted] : kept.storedImages) {
        const XmlNode* stored = written.Image(index);
        if (stored == nullptr || !Holds(*stored, *wanted))
            return Fail(ERROR_INVALID_DATA);
    }
    return true;
}

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
    const WStringView text(static_cast<const WCHAR*>(buffer), size / sizeof(WCHAR));
    if (!ParseXml(text, wanted) || !EqualsAscii(wanted.name, "IMAGE") || !IsStorable(wanted))
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
    if (!NamesAreFree(file, index, plan))
        return FALSE;
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
    // Kept until the close; the written file must hold it then, or nothing
    // the handles changed is kept.
    KeepStoredImage(file, index, wanted);
    KeepChange(file);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
