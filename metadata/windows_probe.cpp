#include "metadata/windows_probe.h"

#include "metadata/hive_copies.h"
#include "metadata/image_info.h"
#include "metadata/offline_hive.h"
#include "metadata/version_resource.h"

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

// The keys read from the loaded hives.
const WCHAR kCurrentVersion[] = WSTR("CRV_SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
const WCHAR kEnvironment[] = WSTR("CRV_SYSTEM\\ControlSet001\\Control\\Session Manager\\Environment");
const WCHAR kHalDevice[] = WSTR("CRV_SYSTEM\\ControlSet001\\Enum\\Root\\ACPI_HAL\\0000");
const WCHAR kProductOptions[] = WSTR("CRV_SYSTEM\\ControlSet001\\Control\\ProductOptions");
const WCHAR kUiLanguages[] = WSTR("CRV_SYSTEM\\ControlSet001\\Control\\MUI\\UILanguages");
const WCHAR kNlsLanguage[] = WSTR("CRV_SYSTEM\\ControlSet001\\Control\\Nls\\Language");

// More interface languages than any installation has; a damaged hive may
// list any number.
constexpr size_t kMaxLanguages = 1024;

XmlElement* AppendTextChild(XmlElement* parent, const WCHAR* name, const WString& text)
{
    XmlElement* child = NewElement(name);
    SetText(child, XmlContentText(text));
    AppendChild(parent, child);
    return child;
}

struct WindowsPaths {
    WString systemLibrary;
    WString softwareHive;
    WString systemHive;
};

WindowsPaths WindowsPathsOf(const WString& windowsDirectory)
{
    WString w = WithoutTrailingBackslash(windowsDirectory.c_str());
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
    WString source = WithoutTrailingBackslash(sourceDirectory);
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
    if (!ParseHexNumber(ReadHiveString(kNlsLanguage, WSTR("InstallLanguage")), install))
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
    if (EqualsIgnoringCase(architecture, WSTR("AMD64")))
        info.architecture = WSTR("9");
    else if (EqualsIgnoringCase(architecture, WSTR("IA64")))
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
        SetText(flags, XmlContentText(info.editionId));
        PrependChild(root, flags);
    }
    WriteImageXml(image, document);
    DestroyDocument(document);
}

}  // namespace

void ProbeOfflineWindows(TaskState& task, HANDLE image, const WCHAR* sourceDirectory,
                         const WCHAR* tempDirectory)
{
    const WString copies = HiveCopiesDirectory(tempDirectory);
    if (copies.empty())
        return;

    WString windowsDirectory;
    if (!FindWindowsDirectory(sourceDirectory, windowsDirectory))
        return;
    const WindowsPaths paths = WindowsPathsOf(windowsDirectory);
    if (!EnablePrivilege(WSTR("SeBackupPrivilege")) || !EnablePrivilege(WSTR("SeRestorePrivilege")))
        return;
    WindowsInfo info;
    {
        LoadedHives hives(copies);
        if (!hives.Load(paths.softwareHive, paths.systemHive))
            return;
        const SystemLibraryCopy library(copies, paths.systemLibrary);
        ReadWindowsSettings(info, library.Path());
    }
    AddWindowsElement(task, image, info);
}
