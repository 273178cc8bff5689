#include "operations/image_source.h"

#include "base/log.h"
#include "base/resource.h"
#include "operations/operations.h"

namespace {

UINT FailureLine(SourceStep step)
{
    switch (step) {
    case SourceStep::Open:
        return IDS_OPEN_WIM_FAILED;
    case SourceStep::Attributes:
        return IDS_ATTRIBUTES_FAILED;
    case SourceStep::NoSuchImage:
        return IDS_NO_SUCH_IMAGE;
    default:
        return IDS_LOAD_IMAGE_FAILED;
    }
}

// The find data with the room newer libraries write past the declared structure.
struct FindBuffer {
    WIM_FIND_DATA data;
    BYTE spare[kFindDataSpare];
};

ImageEntry EntryOf(const WIM_FIND_DATA& data)
{
    ImageEntry entry;
    entry.name = data.cFileName;
    entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.lastWrite = data.ftLastWriteTime;
    entry.attributes = data.dwFileAttributes;
    return entry;
}

bool IsDotEntry(const WCHAR* name)
{
    return lstrcmpW(name, WSTR(".")) == 0 || lstrcmpW(name, WSTR("..")) == 0;
}

}  // namespace

SourceStep OpenSourceImage(const WCHAR* path, DWORD index, bool check, SourceImage& source)
{
    if (!FindSplitSet(path, source.set)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return SourceStep::Set;
    }
    const DWORD flags = WIM_FLAG_SOLID | (check ? WIM_FLAG_VERIFY : 0);
    DWORD creationResult = 0;
    source.wim = WIMCreateFile(source.set.firstPart.c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, flags,
                               WIM_COMPRESS_NONE, &creationResult);
    if (!source.wim)
        return SourceStep::Open;
    if (!ReferenceFurtherParts(source.wim.get(), source.set, flags, source.failedPart))
        return SourceStep::References;
    if (!WIMGetAttributes(source.wim.get(), &source.info, sizeof source.info))
        return SourceStep::Attributes;
    if (source.set.parts.empty() && source.info.TotalParts > 1) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return SourceStep::SplitPart;
    }
    if (index == 0 || source.info.ImageCount < index) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SourceStep::NoSuchImage;
    }
    source.image = WIMLoadImage(source.wim.get(), index);
    return source.image ? SourceStep::Ready : SourceStep::Load;
}

void LogSourceParts(TaskState& task, const SourceImage& source)
{
    for (size_t part = 1; part <= source.set.parts.size(); ++part)
        AppendLog(task, SetPartLine(source.set, part));
}

void LogSourceFailure(TaskState& task, SourceStep step, const SourceImage& source, int index)
{
    if (step == SourceStep::Set) {
        LogMessage(task, IDS_SET_UNUSABLE);
        for (const WString& line : source.set.refusal)
            AppendLog(task, line);
    } else if (step == SourceStep::References) {
        LogFailure(task, IDS_SET_REFERENCE_FAILED, static_cast<int>(source.failedPart));
    } else if (step == SourceStep::SplitPart) {
        RefuseSplitPart(task, source.info, IDS_LOAD_IMAGE_FAILED, index);
    } else if (step == SourceStep::NoSuchImage) {
        LogMessage(task, IDS_NO_SUCH_IMAGE, index);
    } else if (step == SourceStep::Open || step == SourceStep::Attributes) {
        LogFailure(task, FailureLine(step));
    } else {
        LogFailure(task, FailureLine(step), index);
    }
}

WString SourceFailureText(SourceStep step, const SourceImage& source, int index, DWORD code)
{
    WCHAR line[kTextBufferSize];
    WCHAR reason[kTextBufferSize];
    if (step == SourceStep::Set) {
        WString text = LoadMessage(line, IDS_SET_UNUSABLE);
        for (const WString& refusal : source.set.refusal)
            text += WSTR(" ") + refusal;
        return text;
    }
    if (step == SourceStep::References)
        LoadMessage(line, IDS_SET_REFERENCE_FAILED, static_cast<int>(source.failedPart));
    else
        LoadMessage(line, FailureLine(step), index);
    if (step == SourceStep::SplitPart)
        LoadMessage(reason, IDS_SPLIT_PART, static_cast<int>(source.info.PartNumber),
                    static_cast<int>(source.info.TotalParts));
    else if (step == SourceStep::NoSuchImage)
        return line;
    else
        SystemErrorText(reason, code);
    return WString(line) + WSTR(" ") + reason;
}

bool ListImageFolder(HANDLE image, WStringView folder, std::vector<ImageEntry>& entries)
{
    const WString pattern = ImageChildPath(folder, WSTR("*"));
    FindBuffer buffer = {};
    const WimHandle find(WIMFindFirstImageFile(image, pattern.c_str(), &buffer.data));
    if (!find)
        return GetLastError() == ERROR_FILE_NOT_FOUND;  // nothing in it
    do {
        if (!IsDotEntry(buffer.data.cFileName))
            entries.push_back(EntryOf(buffer.data));
    } while (WIMFindNextImageFile(find.get(), &buffer.data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool FindImageEntry(HANDLE image, WStringView path, ImageEntry& entry)
{
    const WString text(path);
    FindBuffer buffer = {};
    const WimHandle find(WIMFindFirstImageFile(image, text.c_str(), &buffer.data));
    if (!find)
        return false;
    entry = EntryOf(buffer.data);
    return true;
}

WString ImageChildPath(WStringView folder, WStringView name)
{
    WString path(folder);
    if (path.empty() || path.back() != '\\')
        path.push_back('\\');
    path += name;
    return path;
}
