#include "metadata/windows_probe.h"

#include "metadata/image_info.h"
#include "metadata/offline_hive.h"

#include <vector>

namespace {

struct LanguageEntry {
    WString languageName;
    DWORD lcid = 0;
};

struct WindowsInfo {
    WString editionId;
    WString architecture;
    WString productName;
    WString hal;
    WString productType;
    WString productSuite;
    std::vector<LanguageEntry> languages;
    WString defaultLanguage;
    WString versionMajor;
    WString versionMinor;
    WString versionBuild;
    WString versionSpBuild;
    WString systemRoot;
};

// Names under which the copies are loaded, and the keys read from them.
const WCHAR kSoftwareKey[] = WSTR("CRV_SOFTWARE");
const WCHAR kSystemKey[] = WSTR("CRV_SYSTEM");
const WCHAR kCurrentVersion[] = WSTR("CRV_SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
const WCHAR kEnvironment[] = WSTR("CRV_SYSTEM\\ControlSet001\\Control\\Session Manager\\Environment");
const WCHAR kHalDevice[] = WSTR("CRV_SYSTEM\\ControlSet001\\Enum\\Root\\ACPI_HAL\\0000");
const WCHAR kProductOptions[] = WSTR("CRV_SYSTEM\\ControlSet001\\Control\\ProductOptions");
const WCHAR kUiLanguages[] = WSTR("CRV_SYSTEM\\ControlSet001\\Control\\MUI\\UILanguages");
const WCHAR kNlsLanguage[] = WSTR("CRV_SYSTEM\\ControlSet001\\Control\\Nls\\Language");

// Hive copies are named "<prefix><owner>.CRV" in the temporary directory.
const WCHAR kSoftwareCopyPrefix[] = WSTR("CRV_SOFTWARE.");
const WCHAR kSystemCopyPrefix[] = WSTR("CRV_SYSTEM.");
const WCHAR kLibraryCopyPrefix[] = WSTR("CRV_KERNEL32.");
const WCHAR kCopySuffix[] = WSTR(".CRV");

// A hive larger than this is not read, in either build: real ones stay far
// below it, and a copy of anything bigger would only fill the temporary
// directory.
constexpr ULONGLONG kMaxHiveFileBytes = 1ull << 30;
// The system library is about a megabyte; its version is not read from a
// file of this size or more.
constexpr ULONGLONG kMaxLibraryFileBytes = 64ull << 20;
// Version resources are a few kilobytes; a larger claim is not believed.
constexpr DWORD kMaxVersionInfoBytes = 1 << 20;
// More interface languages than any installation has; a damaged hive may
// list any number.
constexpr size_t kMaxLanguages = 1024;

WString TrimOneBackslash(const WCHAR* path)
{
    WString trimmed = path == nullptr ? WString() : WString(path);
    if (!trimmed.empty() && trimmed.back() == '\\')
        trimmed.pop_back();
    return trimmed;
}

bool EqualsIgnoringCase(WStringView a, const char* ascii)
{
    size_t i = 0;
    for (; ascii[i] != 0; ++i) {
        if (i >= a.size())
            return false;
        WCHAR c = a[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<WCHAR>(c - 'a' + 'A');
        char d = ascii[i];
        if (d >= 'a' && d <= 'z')
            d = static_cast<char>(d - 'a' + 'A');
        if (c != static_cast<WCHAR>(d))
            return false;
    }
    return i == a.size();
}

// A text from the installation made fit for an element's content: the XML
// special characters escaped and characters XML cannot hold left out, so a
// damaged or hostile hive cannot make the image's XML unreadable.
WString ElementText(WStringView text)
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

XmlElement* AppendTextChild(XmlElement* parent, const WCHAR* name, const WString& text)
{
    XmlElement* child = NewElement(name);
    SetText(child, ElementText(text));
    AppendChild(parent, child);
    return child;
}

WString HiveCopyPath(const WString& directory, const WCHAR* prefix)
{
    return directory + WSTR("\\") + prefix + DecimalText(HiveCopyOwner()) + kCopySuffix;
}

// The owner number of a hive copy's file name, or false when the name is
// not one of ours.
bool CopyOwnerOf(WStringView name, uint32_t& owner)
{
    WStringView rest;
    for (const WCHAR* prefix : {kSoftwareCopyPrefix, kSystemCopyPrefix, kLibraryCopyPrefix}) {
        WStringView p(prefix);
        if (name.size() > p.size() && name.substr(0, p.size()) == p)
            rest = name.substr(p.size());
    }
    WStringView suffix(kCopySuffix);
    if (rest.size() <= suffix.size() || rest.substr(rest.size() - suffix.size()) != suffix)
        return false;
    WStringView digits = rest.substr(0, rest.size() - suffix.size());
    if (digits.size() > 10)
        return false;
    uint64_t value = 0;
    for (WCHAR c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull)
        return false;
    owner = static_cast<uint32_t>(value);
    return true;
}

// Removes hive copies that a probe which never finished (a killed program)
// left in the temporary directory. Copies of a process that still runs are
// in use and stay.
void RemoveLeftoverCopies(const WString& directory)
{
    WString pattern = directory + WSTR("\\CRV_*.CRV");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        uint32_t owner = 0;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !CopyOwnerOf(found.cFileName, owner))
            continue;
        if (owner == HiveCopyOwner() || !HiveCopyOwnerRuns(owner))
            DeleteFileW((directory + WSTR("\\") + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

WString TemporaryDirectory(const WCHAR* given)
{
    WString directory = TrimOneBackslash(given);
    if (!directory.empty())
        return directory;
    WCHAR buffer[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
        return WString();
    return TrimOneBackslash(buffer);
}

bool FitsCopy(const WString& path, ULONGLONG limit)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return size <= limit;
}

struct WindowsPaths {
    WString systemLibrary;
    WString softwareHive;
    WString systemHive;
};

WindowsPaths WindowsPathsOf(const WString& windowsDirectory)
{
    WString w = TrimOneBackslash(windowsDirectory.c_str());
    return WindowsPaths{
        .systemLibrary = w + WSTR("\\System32\\Kernel32.dll"),
        .softwareHive = w + WSTR("\\System32\\config\\SOFTWARE"),
        .systemHive = w + WSTR("\\System32\\config\\SYSTEM"),
    };
}

// A file that cannot report its attributes may still be listed by a search.
bool FileExists(const WCHAR* path)
{
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
        return true;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return found.dwFileAttributes != INVALID_FILE_ATTRIBUTES;
}

bool IsWindowsDirectory(const WString& candidate)
{
    WindowsPaths paths = WindowsPathsOf(candidate);
    return FileExists(paths.softwareHive.c_str()) && FileExists(paths.systemHive.c_str()) &&
           FileExists(paths.systemLibrary.c_str());
}

bool FindWindowsDirectory(const WCHAR* sourceDirectory, WString& windowsDirectory)
{
    WString source = TrimOneBackslash(sourceDirectory);
    for (const WCHAR* name :
         {WSTR("\\WINDOWS"), WSTR("\\WINNT"), WSTR("\\I386"), WSTR("\\AMD64"), WSTR("\\IA64")}) {
        WString candidate = source + name;
        if (IsWindowsDirectory(candidate)) {
            windowsDirectory = candidate;
            return true;
        }
    }
    return false;
}

bool EnablePrivilege(const WCHAR* name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = false;
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        // Success with ERROR_NOT_ALL_ASSIGNED means the account lacks it.
        SetLastError(ERROR_SUCCESS);
        enabled = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                  GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(token);
    return enabled;
}

WString UpperCase(const WString& text)
{
    std::vector<WCHAR> copy(text.begin(), text.end());
    copy.push_back(0);
    if (text.size() > 0)
        CharUpperBuffW(copy.data(), static_cast<DWORD>(text.size()));
    return WString(copy.data());
}

WString HexWord(DWORD number)
{
    static const char kDigits[] = "0123456789ABCDEF";
    WString text(4, '0');
    for (int i = 3; i >= 0; --i) {
        text[static_cast<size_t>(i)] = static_cast<WCHAR>(kDigits[number & 0xF]);
        number >>= 4;
    }
    return text;
}

// InstallLanguage as the number it names, read like "%x": blanks, an
// optional 0x, then hexadecimal digits up to the first other character. False
// (no language matches) without a digit or beyond 32 bits.
bool HexValue(WStringView text, DWORD& value)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= 0x09 && text[i] <= 0x0D)))
        ++i;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        i += 2;
    uint64_t number = 0;
    size_t digits = 0;
    for (; i < text.size(); ++i, ++digits) {
        WCHAR c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        number = number * 16 + digit;
        if (number > 0xFFFFFFFFull)
            return false;
    }
    if (digits == 0)
        return false;
    value = static_cast<DWORD>(number);
    return true;
}

// The version resource of a file, in a block of its own; empty when the file
// has none (or claims an unbelievable size).
std::vector<BYTE> ReadVersionBlock(const WCHAR* path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0 || size > kMaxVersionInfoBytes)
        return {};
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path, 0, size, block.data()))
        return {};
    return block;
}

// The answer to a query into the block, or null when there is none or it
// holds fewer than `minimumUnits` units of `unitSize` bytes. `units` is cut
// to what lies inside the block, since a damaged resource may claim more.
const BYTE* QueryVersionBlock(std::vector<BYTE>& block, const WCHAR* query, UINT unitSize, UINT minimumUnits,
                              UINT& units)
{
    void* value = nullptr;
    units = 0;
    if (!VerQueryValueW(block.data(), query, &value, &units) || value == nullptr)
        return nullptr;
    const uintptr_t first = reinterpret_cast<uintptr_t>(block.data());
    const uintptr_t start = reinterpret_cast<uintptr_t>(value);
    const uintptr_t end = first + block.size();
    if (start < first || start > end)
        return nullptr;
    size_t room = static_cast<size_t>(end - start) / unitSize;
    if (units > room)
        units = static_cast<UINT>(room);
    if (units < minimumUnits)
        return nullptr;
    return static_cast<const BYTE*>(value);
}

// ProductName from the library's version resource (`block`, read once for
// this and the file version); unchanged when the library has none.
WString ReadVersionString(std::vector<BYTE>& block, const WString& current)
{
    if (block.empty())
        return current;

    WString digits = WSTR("04090000");
    UINT units = 0;
    if (const BYTE* translation = QueryVersionBlock(block, WSTR("\\VarFileInfo\\Translation"), 1, 4, units)) {
        DWORD first = static_cast<DWORD>(translation[0]) | static_cast<DWORD>(translation[1]) << 8 |
                      static_cast<DWORD>(translation[2]) << 16 | static_cast<DWORD>(translation[3]) << 24;
        digits = HexWord(first & 0xFFFF) + HexWord(first >> 16);
    }
    WCHAR query[37];
    CopyToBuffer(query, 37, WSTR("\\StringFileInfo\\") + digits + WSTR("\\ProductName"));

    const BYTE* value = QueryVersionBlock(block, query, sizeof(WCHAR), 0, units);
    if (value == nullptr)
        return WString();
    // Through a 260-character buffer: a longer name is cut there.
    WCHAR buffer[kTextBufferSize];
    size_t length = 0;
    for (; length < units && length + 1 < kTextBufferSize; ++length) {
        WCHAR c;
        memcpy(&c, value + length * sizeof(WCHAR), sizeof(WCHAR));
        if (c == 0)
            break;
        buffer[length] = c;
    }
    return WString(buffer, length);
}

// The four words of the file version; all "0" when the resource has no
// fixed part, unchanged when there is no resource.
void ReadFileVersion(std::vector<BYTE>& block, WString& major, WString& minor, WString& build,
                     WString& spBuild)
{
    if (block.empty())
        return;
    UINT units = 0;
    const BYTE* fixed = QueryVersionBlock(block, WSTR("\\"), 1, sizeof(VS_FIXEDFILEINFO), units);
    if (fixed == nullptr) {
        major = minor = build = spBuild = WSTR("0");
        return;
    }
    VS_FIXEDFILEINFO info;
    memcpy(&info, fixed, sizeof(info));
    major = DecimalText(HIWORD(info.dwFileVersionMS));
    minor = DecimalText(LOWORD(info.dwFileVersionMS));
    build = DecimalText(HIWORD(info.dwFileVersionLS));
    spBuild = DecimalText(LOWORD(info.dwFileVersionLS));
}

void ReadInstalledLanguages(WindowsInfo& info)
{
    std::vector<WString> names;
    if (!ReadHiveSubkeyNames(kUiLanguages, kMaxLanguages, names))
        return;
    for (WString& name : names) {
        WString key = WString(kUiLanguages) + WSTR("\\") + name;
        DWORD lcid = ReadHiveNumber(key.c_str(), WSTR("LCID"));
        info.languages.push_back(LanguageEntry{std::move(name), lcid});
    }
    if (info.languages.empty())
        return;
    DWORD install = 0;
    if (!HexValue(ReadHiveString(kNlsLanguage, WSTR("InstallLanguage")), install))
        return;
    for (const LanguageEntry& entry : info.languages) {
        if (entry.lcid == install) {
            info.defaultLanguage = entry.languageName;
            return;
        }
    }
}

void ReadWindowsSettings(WindowsInfo& info, const WString& systemLibrary)
{
    info.editionId = UpperCase(ReadHiveString(kCurrentVersion, WSTR("EditionID")));
    WString architecture = ReadHiveString(kEnvironment, WSTR("PROCESSOR_ARCHITECTURE"));
    if (EqualsIgnoringCase(architecture, "AMD64"))
        info.architecture = WSTR("9");
    else if (EqualsIgnoringCase(architecture, "IA64"))
        info.architecture = WSTR("6");
    else
        info.architecture = WSTR("0");
    std::vector<BYTE> version = ReadVersionBlock(systemLibrary.c_str());
    info.productName = ReadVersionString(version, info.productName);
    info.hal = ReadHiveString(kHalDevice, WSTR("HardwareID"));
    info.productType = ReadHiveString(kProductOptions, WSTR("ProductType"));
    info.productSuite = ReadHiveString(kProductOptions, WSTR("ProductSuite"));
    ReadInstalledLanguages(info);
    ReadFileVersion(version, info.versionMajor, info.versionMinor, info.versionBuild, info.versionSpBuild);
    WString root = ReadHiveString(kCurrentVersion, WSTR("SystemRoot"));
    if (root.size() > 3)
        root.erase(0, 3);
    info.systemRoot = UpperCase(root);
}

void AddWindowsElement(TaskState& task, HANDLE image, const WindowsInfo& info)
{
    XmlDocument* document = ReadImageXml(image);
    if (document == nullptr) {
        ShowXmlParseFailure(task);
        return;
    }
    XmlElement* root = document->root;
    if (FindChild(root, WSTR("WINDOWS")) == nullptr) {
        XmlElement* windows = NewElement(WSTR("WINDOWS"));
        PrependChild(root, windows);
        AppendTextChild(windows, WSTR("ARCH"), info.architecture);
        AppendTextChild(windows, WSTR("PRODUCTNAME"), info.productName);
        AppendTextChild(windows, WSTR("HAL"), info.hal);
        AppendTextChild(windows, WSTR("PRODUCTTYPE"), info.productType);
        AppendTextChild(windows, WSTR("PRODUCTSUITE"), info.productSuite);
        if (!info.languages.empty()) {
            XmlElement* languages = NewElement(WSTR("LANGUAGES"));
            AppendChild(windows, languages);
            for (const LanguageEntry& entry : info.languages)
                AppendTextChild(languages, WSTR("LANGUAGE"), entry.languageName);
            AppendTextChild(languages, WSTR("DEFAULT"), info.defaultLanguage);
        }
        XmlElement* version = NewElement(WSTR("VERSION"));
        AppendChild(windows, version);
        AppendTextChild(version, WSTR("MAJOR"), info.versionMajor);
        AppendTextChild(version, WSTR("MINOR"), info.versionMinor);
        AppendTextChild(version, WSTR("BUILD"), info.versionBuild);
        AppendTextChild(version, WSTR("SPBUILD"), info.versionSpBuild);
        AppendTextChild(windows, WSTR("SYSTEMROOT"), info.systemRoot);
    }
    if (FindChild(root, WSTR("FLAGS")) == nullptr && !info.editionId.empty()) {
        XmlElement* flags = NewElement(WSTR("FLAGS"));
        SetText(flags, ElementText(info.editionId));
        PrependChild(root, flags);
    }
    WriteImageXml(image, document);
    DestroyDocument(document);
}

}  // namespace

void ProbeOfflineWindows(TaskState& task, HANDLE image, const WCHAR* sourceDirectory,
                         const WCHAR* tempDirectory)
{
    WString copies = TemporaryDirectory(tempDirectory);
    if (copies.empty())
        return;
    RemoveLeftoverCopies(copies);

    WString windowsDirectory;
    if (!FindWindowsDirectory(sourceDirectory, windowsDirectory))
        return;
    WindowsPaths paths = WindowsPathsOf(windowsDirectory);
    WString softwareCopy = HiveCopyPath(copies, kSoftwareCopyPrefix);
    WString systemCopy = HiveCopyPath(copies, kSystemCopyPrefix);

    if (!EnablePrivilege(WSTR("SeBackupPrivilege")) || !EnablePrivilege(WSTR("SeRestorePrivilege")))
        return;
    if (!FitsCopy(paths.softwareHive, kMaxHiveFileBytes) || !FitsCopy(paths.systemHive, kMaxHiveFileBytes))
        return;
    // The hives are read from copies where loading takes the file for the
    // registry's own; where they are only read they are read in place.
    WString softwareHive = paths.softwareHive;
    WString systemHive = paths.systemHive;
    if (HiveLoadNeedsCopy()) {
        if (!CopyFileW(paths.softwareHive.c_str(), softwareCopy.c_str(), FALSE)) {
            DeleteFileW(softwareCopy.c_str());
            return;
        }
        if (!CopyFileW(paths.systemHive.c_str(), systemCopy.c_str(), FALSE)) {
            DeleteFileW(softwareCopy.c_str());
            DeleteFileW(systemCopy.c_str());
            return;
        }
        softwareHive = softwareCopy;
        systemHive = systemCopy;
    }
    if (!LoadHive(kSoftwareKey, softwareHive.c_str())) {
        DeleteFileW(softwareCopy.c_str());
        DeleteFileW(systemCopy.c_str());
        return;
    }
    if (!LoadHive(kSystemKey, systemHive.c_str())) {
        UnloadHive(kSoftwareKey);
        DeleteFileW(softwareCopy.c_str());
        DeleteFileW(systemCopy.c_str());
        return;
    }

    WindowsInfo info;
    // The version resource is read from a copy under another name: Wine
    // answers a version query on any file named Kernel32.dll from its own
    // system library. A copy, not a link, since a link would change the
    // captured tree's file (its link count and change time).
    WString libraryCopy = HiveCopyPath(copies, kLibraryCopyPrefix);
    bool libraryCopied = FitsCopy(paths.systemLibrary, kMaxLibraryFileBytes) &&
                         CopyFileW(paths.systemLibrary.c_str(), libraryCopy.c_str(), FALSE);
    ReadWindowsSettings(info, libraryCopied ? libraryCopy : WString());
    DeleteFileW(libraryCopy.c_str());

    UnloadHive(kSystemKey);
    UnloadHive(kSoftwareKey);
    DeleteFileW(softwareCopy.c_str());
    DeleteFileW(systemCopy.c_str());

    AddWindowsElement(task, image, info);
}
