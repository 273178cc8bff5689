#include "tests/support/scripted_imaging.h"

#include "base/log.h"

#include <algorithm>
#include <cstdio>

ScriptedImaging* ScriptedImaging::current = nullptr;

std::string Narrow(WStringView text)
{
    return Utf8FromWide(text);
}

std::string SystemText(DWORD code)
{
    WCHAR text[kTextBufferSize];
    return Narrow(SystemErrorText(text, code));
}

std::string ReasonLine(DWORD code)
{
    return "錯誤: " + SystemText(code) + "\r\n";
}

bool SplitClosingLine(const std::string& log, std::string* before)
{
    WCHAR text[kTextBufferSize];
    const std::string quick = Narrow(LoadTableString(174, text)) + "\r\n";
    if (log.size() >= quick.size() && log.compare(log.size() - quick.size(), quick.size(), quick) == 0) {
        *before = log.substr(0, log.size() - quick.size());
        return true;
    }
    // "...費時 %1.": the duration is digits and s, or digits, m, two digits and s.
    const std::string timed = Narrow(LoadTableString(173, text));
    const size_t insert = timed.find("%1");
    const std::string head = timed.substr(0, insert), tail = timed.substr(insert + 2) + "\r\n";
    const size_t start = log.rfind(head);
    if (start == std::string::npos || log.size() < start + head.size() + tail.size() ||
        log.compare(log.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string duration =
        log.substr(start + head.size(), log.size() - tail.size() - start - head.size());
    const size_t minutes = duration.find('m');
    auto digits = [](const std::string& part) {
        return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
    };
    const bool wellFormed = duration.size() >= 2 && duration.back() == 's' &&
                            (minutes == std::string::npos
                                 ? digits(duration.substr(0, duration.size() - 1))
                                 : digits(duration.substr(0, minutes)) && duration.size() - minutes == 4 &&
                                       digits(duration.substr(minutes + 1, 2)));
    if (!wellFormed)
        return false;
    *before = log.substr(0, start);
    return true;
}

std::string HandleText(HANDLE handle)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(handle)));
    return text;
}

namespace {

std::string Number(unsigned long long value)
{
    return std::to_string(value);
}
std::string Text(PCWSTR text)
{
    return text ? "\"" + Narrow(text) + "\"" : "null";
}
std::string Pointer(const void* pointer)
{
    return pointer ? "ptr" : "null";
}

bool IsImageHandle(HANDLE handle)
{
    UINT_PTR value = reinterpret_cast<UINT_PTR>(handle);
    return value > 0x2000 && value < 0x3000;
}

DWORD ImageIndex(HANDLE handle)
{
    return static_cast<DWORD>(reinterpret_cast<UINT_PTR>(handle) - 0x2000);
}

ScriptedImaging& S()
{
    return *ScriptedImaging::current;
}

DWORD WINAPI ScriptedRegisterMessageCallback(HANDLE wim, WIMMessageCallback callback, PVOID user)
{
    if (!S().Enter("WIMRegisterMessageCallback",
                   {HandleText(wim), Pointer(reinterpret_cast<void*>(callback)), Pointer(user)}))
        return INVALID_CALLBACK_VALUE;
    S().callbacks.push_back({callback});
    return static_cast<DWORD>(S().callbacks.size() - 1);
}

BOOL WINAPI ScriptedUnregisterMessageCallback(HANDLE wim, WIMMessageCallback callback)
{
    if (!S().Enter("WIMUnregisterMessageCallback",
                   {HandleText(wim), Pointer(reinterpret_cast<void*>(callback))}))
        return FALSE;
    auto& list = S().callbacks;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->function == callback) {
            list.erase(it);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

HANDLE WINAPI ScriptedCreateFile(PCWSTR path, DWORD access, DWORD disposition, DWORD flags, DWORD compression,
                                 PDWORD creationResult)
{
    char accessText[16];
    std::snprintf(accessText, sizeof accessText, "0x%lX", static_cast<unsigned long>(access));
    if (!S().Enter("WIMCreateFile", {Text(path), accessText, Number(disposition), Number(flags),
                                     Number(compression), Pointer(creationResult)}))
        return nullptr;
    if (creationResult) {
        const bool created =
            disposition != WIM_OPEN_EXISTING && (disposition != WIM_OPEN_ALWAYS || S().openAlwaysCreates);
        *creationResult = created ? WIM_CREATED_NEW : WIM_OPENED_EXISTING;
    }
    return ScriptedImaging::kWimHandle;
}

BOOL WINAPI ScriptedSetTemporaryPath(HANDLE wim, PCWSTR path)
{
    return S().Enter("WIMSetTemporaryPath", {HandleText(wim), Text(path)});
}

BOOL WINAPI ScriptedGetAttributes(HANDLE wim, WIM_INFO* info, DWORD size)
{
    if (!S().Enter("WIMGetAttributes", {HandleText(wim), Pointer(info), Number(size)}))
        return FALSE;
    *info = S().info;
    return TRUE;
}

DWORD WINAPI ScriptedGetImageCount(HANDLE wim)
{
    if (!S().Enter("WIMGetImageCount", {HandleText(wim)}))
        return 0;
    return S().info.ImageCount;
}

HANDLE WINAPI ScriptedLoadImage(HANDLE wim, DWORD index)
{
    if (!S().Enter("WIMLoadImage", {HandleText(wim), Number(index)}))
        return nullptr;
    if (index == 0 || index > S().info.ImageCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ScriptedImaging::ImageHandle(index);
}

HANDLE WINAPI ScriptedCaptureImage(HANDLE wim, PCWSTR path, DWORD flags)
{
    if (!S().Enter("WIMCaptureImage", {HandleText(wim), Text(path), Number(flags)}))
        return nullptr;
    S().info.ImageCount++;
    return ScriptedImaging::ImageHandle(S().info.ImageCount);
}

BOOL WINAPI ScriptedApplyImage(HANDLE image, PCWSTR path, DWORD flags)
{
    return S().Enter("WIMApplyImage", {HandleText(image), Text(path), Number(flags)});
}

BOOL WINAPI ScriptedExportImage(HANDLE image, HANDLE destination, DWORD flags)
{
    return S().Enter("WIMExportImage", {HandleText(image), HandleText(destination), Number(flags)});
}

BOOL WINAPI ScriptedDeleteImage(HANDLE wim, DWORD index)
{
    if (!S().Enter("WIMDeleteImage", {HandleText(wim), Number(index)}))
        return FALSE;
    if (index == 0 || index > S().info.ImageCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    S().info.ImageCount--;
    return TRUE;
}

BOOL WINAPI ScriptedSetBootImage(HANDLE wim, DWORD index)
{
    if (!S().Enter("WIMSetBootImage", {HandleText(wim), Number(index)}))
        return FALSE;
    S().bootIndex = index;
    return TRUE;
}

BOOL WINAPI ScriptedGetImageInformation(HANDLE handle, PVOID* buffer, PDWORD size)
{
    if (!S().Enter("WIMGetImageInformation", {HandleText(handle), Pointer(buffer), Pointer(size)}))
        return FALSE;
    WString text(1, static_cast<WCHAR>(0xFEFF));
    if (IsImageHandle(handle)) {
        auto found = S().imageXml.find(ImageIndex(handle));
        if (found == S().imageXml.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        text += found->second;
    } else {
        text += S().fileXml;
    }
    DWORD bytes = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    void* copy = LocalAlloc(LMEM_FIXED, bytes);
    memcpy(copy, text.data(), bytes);
    *buffer = copy;
    *size = bytes;
    return TRUE;
}

BOOL WINAPI ScriptedSetImageInformation(HANDLE handle, PVOID buffer, DWORD size)
{
    if (!S().Enter("WIMSetImageInformation", {HandleText(handle), Pointer(buffer), Number(size)}))
        return FALSE;
    auto* bytes = static_cast<unsigned char*>(buffer);
    S().storedInformation.emplace_back(bytes, bytes + size);
    if (IsImageHandle(handle)) {
        const WCHAR* units = static_cast<const WCHAR*>(buffer);
        size_t count = size / sizeof(WCHAR);
        if (count > 0 && units[0] == 0xFEFF) {
            ++units;
            --count;
        }
        S().imageXml[ImageIndex(handle)] = WString(units, count);
    }
    return TRUE;
}

BOOL WINAPI ScriptedMountImageHandle(HANDLE image, PCWSTR path, DWORD flags)
{
    return S().Enter("WIMMountImageHandle", {HandleText(image), Text(path), Number(flags)});
}

BOOL WINAPI ScriptedGetMountedImages(WIM_MOUNT_LIST* list, PDWORD size)
{
    if (!S().Enter("WIMGetMountedImages", {Pointer(list), Number(*size)}))
        return FALSE;
    const DWORD needed = static_cast<DWORD>(S().mounted.size() * sizeof(WIM_MOUNT_LIST));
    const DWORD room = *size;
    *size = needed;
    if (needed > room) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(S().mounted.begin(), S().mounted.end(), list);
    return TRUE;
}

BOOL WINAPI ScriptedGetMountedImageHandle(PCWSTR path, DWORD flags, PHANDLE wim, PHANDLE image)
{
    if (!S().Enter("WIMGetMountedImageHandle", {Text(path), Number(flags), Pointer(wim), Pointer(image)}))
        return FALSE;
    *wim = ScriptedImaging::kWimHandle;
    *image = ScriptedImaging::ImageHandle(1);
    return TRUE;
}

BOOL WINAPI ScriptedCommitImageHandle(HANDLE image, DWORD flags, PHANDLE newImage)
{
    return S().Enter("WIMCommitImageHandle", {HandleText(image), Number(flags), Pointer(newImage)});
}

BOOL WINAPI ScriptedUnmountImageHandle(HANDLE image, DWORD flags)
{
    return S().Enter("WIMUnmountImageHandle", {HandleText(image), Number(flags)});
}

BOOL WINAPI ScriptedSplitFile(HANDLE wim, PCWSTR path, PLARGE_INTEGER size, DWORD flags)
{
    return S().Enter("WIMSplitFile",
                     {HandleText(wim), Text(path), size ? Number(size->QuadPart) : "null", Number(flags)});
}

BOOL WINAPI ScriptedSetReferenceFile(HANDLE wim, PCWSTR path, DWORD flags)
{
    return S().Enter("WIMSetReferenceFile", {HandleText(wim), Text(path), Number(flags)});
}

HANDLE WINAPI ScriptedFindFirstImageFile(HANDLE image, PCWSTR path, PWIM_FIND_DATA data)
{
    if (!S().Enter("WIMFindFirstImageFile", {HandleText(image), Text(path), Pointer(data)}))
        return nullptr;
    const auto found = S().found.find(WString(path));
    if (found == S().found.end() || found->second.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    *data = found->second.front();
    S().findPath = path;
    S().findNext = 1;
    return ScriptedImaging::kFindHandle;
}

BOOL WINAPI ScriptedFindNextImageFile(HANDLE find, PWIM_FIND_DATA data)
{
    if (!S().Enter("WIMFindNextImageFile", {HandleText(find), Pointer(data)}))
        return FALSE;
    const std::vector<WIM_FIND_DATA>& entries = S().found[S().findPath];
    if (S().findNext >= entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *data = entries[S().findNext++];
    return TRUE;
}

BOOL WINAPI ScriptedExtractImagePath(HANDLE image, PCWSTR path, PCWSTR destination, DWORD flags)
{
    return S().Enter("WIMExtractImagePath",
                     {HandleText(image), Text(path), Text(destination), Number(flags)});
}

BOOL WINAPI ScriptedCloseHandle(HANDLE handle)
{
    return S().Enter("WIMCloseHandle", {HandleText(handle)});
}

#define SCRIPTED_TABLE_ENTRY(stem, field, result, failure, parameters, arguments) .field = Scripted##stem,
const ImagingLibrary kScriptedLibrary = {WIMGAPI_ENTRY_POINTS(SCRIPTED_TABLE_ENTRY)};

}  // namespace

ScriptedImaging::ScriptedImaging()
{
    info.ImageCount = 1;
    info.PartNumber = 1;
    info.TotalParts = 1;
    outer_ = current;
    current = this;
    previous_ = SetImagingLibrary(&kScriptedLibrary);
}

ScriptedImaging::~ScriptedImaging()
{
    SetImagingLibrary(previous_);
    current = outer_;
}

void ScriptedImaging::Fail(const std::string& name, DWORD error, int nth)
{
    failures_[name] = {error, nth, false};
}

void ScriptedImaging::FailOnce(const std::string& name, DWORD error, int nth)
{
    failures_[name] = {error, nth, true};
}

void ScriptedImaging::DeliverDuring(const std::string& name, std::vector<ScriptedMessage> messages)
{
    messages_[name] = std::move(messages);
}

void ScriptedImaging::Hook(const std::string& name, std::function<void()> action)
{
    hooks_[name] = std::move(action);
}

bool ScriptedImaging::Enter(const std::string& name, const std::vector<std::string>& arguments)
{
    std::string line = name + "(";
    for (size_t i = 0; i < arguments.size(); ++i)
        line += (i ? ", " : "") + arguments[i];
    calls.push_back(line + ")");
    int invocation = ++invocations_[name];

    if (auto hook = hooks_.find(name); hook != hooks_.end())
        hook->second();
    if (auto scripted = messages_.find(name); scripted != messages_.end()) {
        for (const ScriptedMessage& message : scripted->second) {
            for (Registered callback : std::vector<Registered>(callbacks))
                verdicts.push_back(callback.function(message.id, message.wParam, message.lParam, nullptr));
        }
    }
    if (auto failure = failures_.find(name); failure != failures_.end()) {
        const Failure& f = failure->second;
        if (f.once ? invocation == f.nth : invocation >= f.nth) {
            SetLastError(f.error);
            return false;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

std::string ScriptedImaging::CallText() const
{
    std::string text;
    for (const std::string& call : calls)
        text += call + "\n";
    return text;
}

int ScriptedImaging::CallCount(const std::string& name) const
{
    int count = 0;
    for (const std::string& call : calls)
        count += call.compare(0, name.size() + 1, name + "(") == 0;
    return count;
}
