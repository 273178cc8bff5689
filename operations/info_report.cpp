#include "base/language.h"
#include "base/log.h"
#include "base/resource.h"
#include "base/text_box.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "operations/imaging_handles.h"
#include "operations/operations.h"
#include "operations/split_set.h"
#include "operations/temp_directory.h"

namespace {

WString Message(UINT id)
{
    WCHAR buffer[kTextBufferSize];
    return LoadTableString(id, buffer);
}

template <typename... Inserts>
WString Expanded(UINT id, Inserts... inserts)
{
    WCHAR buffer[kTextBufferSize];
    return LoadMessage(buffer, id, inserts...);
}

// A report line whose text may be longer than the message buffer: the
// expansion is cut to fit, and the cut line still ends with its CR LF so
// that the next line does not run on from it.
WString ExpandedLine(UINT id, const WString& text)
{
    WString line = Expanded(id, text.c_str());
    const WStringView end = WSTR("\r\n");
    if (line.size() < end.size() || line.compare(line.size() - end.size(), end.size(), end) == 0)
        return line;
    line.resize(line.size() - end.size());
    // A character above U+FFFF cut in half goes whole.
    if (!line.empty() && line.back() >= 0xD800 && line.back() <= 0xDBFF)
        line.pop_back();
    return line + WString(end);
}

// The failure line, then the system's reason for it.
WString FailureText(const WString& line)
{
    const DWORD code = GetLastError();
    WCHAR reason[kTextBufferSize];
    SystemErrorText(reason, code);
    return line + WSTR("\r\n") + Expanded(IDS_ERROR_REASON, static_cast<const WCHAR*>(reason));
}

WString FailureText(UINT id)
{
    return FailureText(Message(id));
}

// Why a set cannot be reported: the failure line and each missing or foreign part.
WString SetRefusalText(const SplitSet& set)
{
    WString text = Message(IDS_SET_UNUSABLE);
    for (const WString& line : set.refusal)
        text += WSTR("\r\n") + line;
    return text;
}

// A set's parts below the header of its first, one line each.
void AppendSetParts(const SplitSet& set, WString& report)
{
    for (size_t part = 1; part <= set.parts.size(); ++part)
        report += SetPartLine(set, part) + WSTR("\r\n");
}

WString GuidText(const GUID& guid)
{
    WCHAR text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

WString SizeText(int64_t bytes)
{
    if (bytes < 1024)
        return DecimalText(bytes) + WSTR(" Bytes\r\n");
    if (bytes < 0x100000)
        return DecimalText(bytes / 1024) + WSTR(" KB\r\n");
    return DecimalText(bytes / 1024 / 1024) + WSTR(" MB\r\n");
}

void AppendHeader(const WIM_INFO& info, WString& report)
{
    report += Message(IDS_INFO_HEADING);
    report += WSTR("GUID:\t\t") + GuidText(info.Guid) + WSTR("\r\n");
    report += Expanded(IDS_INFO_IMAGES, static_cast<int>(info.ImageCount));
    report += Message(IDS_INFO_COMPRESSION);
    static const WCHAR* const compressions[] = {WSTR("None\r\n"), WSTR("XPRESS\r\n"), WSTR("LZX\r\n"),
                                                WSTR("LZMS\r\n")};
    if (info.CompressionType < 4)
        report += compressions[info.CompressionType];
    report += Expanded(IDS_INFO_PART, static_cast<int>(info.PartNumber), static_cast<int>(info.TotalParts));
    if (info.BootIndex != 0)
        report += Expanded(IDS_INFO_BOOT_INDEX, static_cast<int>(info.BootIndex));
    report += Expanded(IDS_INFO_ATTRIBUTES, static_cast<unsigned>(info.WimAttributes));
    static const struct {
        DWORD bit;
        const WCHAR* line;
    } attributes[] = {
        {WIM_ATTRIBUTE_RESOURCE_ONLY, WSTR("\t\tRESOURCE_ONLY\r\n")},
        {WIM_ATTRIBUTE_METADATA_ONLY, WSTR("\t\tMETADATA_ONLY\r\n")},
        {WIM_ATTRIBUTE_VERIFY_DATA, WSTR("\t\tVERIFY_DATA\r\n")},
        {WIM_ATTRIBUTE_RP_FIX, WSTR("\t\tRP_FIX\r\n")},
        {WIM_ATTRIBUTE_SPANNED, WSTR("\t\tSPANNED\r\n")},
        {WIM_ATTRIBUTE_READONLY, WSTR("\t\tREADONLY\r\n")},
    };
    for (const auto& attribute : attributes) {
        if (info.WimAttributes & attribute.bit)
            report += attribute.line;
    }
}

void AppendImageBlock(TaskState& task, HANDLE wim, DWORD index, WString& report)
{
    report += WSTR("\r\n");
    report += Expanded(IDS_INFO_IMAGE_HEADING, static_cast<int>(index));
    const WimHandle image(WIMLoadImage(wim, index));
    if (!image)
        return;
    ImageSummary summary;
    ReadImageSummary(task, image.get(), summary);
    if (!summary.name.empty())
        report += ExpandedLine(IDS_INFO_NAME, summary.name);
    if (!summary.description.empty())
        report += ExpandedLine(IDS_INFO_DESCRIPTION, summary.description);
    if (!summary.flags.empty())
        report += ExpandedLine(IDS_INFO_FLAGS, summary.flags);
    report += Expanded(IDS_INFO_FILES, summary.fileCount);
    report += Expanded(IDS_INFO_FOLDERS, summary.dirCount);
    report += Message(IDS_INFO_EXPANDED_SIZE) + SizeText(summary.totalBytes);
}

void AppendFileXml(HANDLE wim, WString& report)
{
    void* buffer = nullptr;
    DWORD size = 0;
    if (!WIMGetImageInformation(wim, &buffer, &size))
        return;
    WString xml(static_cast<const WCHAR*>(buffer), size / sizeof(WCHAR));
    LocalFree(buffer);
    xml.resize(WStringView(xml.c_str()).size());  // up to the first NUL, as a terminated copy reads
    report += WSTR("\r\n\r\n");
    report += Message(IDS_INFO_XML_HEADING);
    report += xml;
}

void ShowReport(TaskState& task, const WString& text)
{
    if (task.pageWindow != nullptr)
        SetReportText(GetDlgItem(task.pageWindow, IDC_INFO_TEXT), text.c_str());
}

}  // namespace

bool BuildInfoReportText(TaskState& task, WString& report)
{
    WCHAR tempDirectory[kTextBufferSize];
    TakeTempDirectory(task, nullptr, nullptr, tempDirectory);
    ShowReport(task, Message(IDS_OPENING_WIM));

    UserPath path;
    if (!TakeUserPath(path, task.infoSource)) {
        report = FailureText(IDS_OPEN_WIM_FAILED);
        return false;
    }
    SplitSet set;
    if (!FindSplitSet(path.text, set)) {
        report = SetRefusalText(set);
        return false;
    }
    DWORD creationResult = 0;
    WimHandle wim(WIMCreateFile(set.firstPart.c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, WIM_FLAG_SOLID,
                                WIM_COMPRESS_NONE, &creationResult));
    if (!wim) {
        report = FailureText(IDS_OPEN_WIM_FAILED);
        return false;
    }
    size_t failedPart = 0;
    if (!ReferenceFurtherParts(wim.get(), set, 0, failedPart)) {
        report = FailureText(Expanded(IDS_SET_REFERENCE_FAILED, static_cast<int>(failedPart)));
        return false;
    }
    WIM_INFO info = {};
    UINT failure = 0;
    if (!WIMGetAttributes(wim.get(), &info, sizeof info))
        failure = IDS_ATTRIBUTES_FAILED;
    else if (!WIMSetTemporaryPath(wim.get(), tempDirectory))
        failure = IDS_TEMP_FOLDER_FAILED;
    if (failure != 0) {
        report = FailureText(failure);
        return false;
    }

    report.clear();
    AppendHeader(info, report);
    AppendSetParts(set, report);
    for (DWORD index = 1; index <= info.ImageCount; ++index)
        AppendImageBlock(task, wim.get(), index, report);
    AppendFileXml(wim.get(), report);
    return true;
}

bool BuildInfoReport(TaskState& task)
{
    WString report;
    bool shown = BuildInfoReportText(task, report);
    ShowReport(task, report);
    return shown;
}
