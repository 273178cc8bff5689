#include "metadata/hive_copies.h"

#include "metadata/offline_hive.h"

namespace {

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

bool FitsCopy(const WString& path, ULONGLONG limit)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return size <= limit;
}

}  // namespace

WString HiveCopiesDirectory(const WCHAR* given)
{
    WString directory = WithoutTrailingBackslash(given != nullptr ? given : WSTR(""));
    if (!directory.empty())
        return directory;
    WCHAR buffer[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
        return WString();
    return WithoutTrailingBackslash(buffer);
}

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

bool LoadedHives::Load(const WString& softwareHive, const WString& systemHive)
{
    if (!FitsCopy(softwareHive, kMaxHiveFileBytes) || !FitsCopy(systemHive, kMaxHiveFileBytes))
        return false;
    WString software = softwareHive;
    WString system = systemHive;
    if (HiveLoadNeedsCopy()) {
        softwareCopy_ = HiveCopyPath(directory_, kSoftwareCopyPrefix);
        systemCopy_ = HiveCopyPath(directory_, kSystemCopyPrefix);
        if (!CopyFileW(softwareHive.c_str(), softwareCopy_.c_str(), FALSE) ||
            !CopyFileW(systemHive.c_str(), systemCopy_.c_str(), FALSE))
            return false;
        software = softwareCopy_;
        system = systemCopy_;
    }
    softwareLoaded_ = LoadHive(kSoftwareKey, software.c_str());
    systemLoaded_ = softwareLoaded_ && LoadHive(kSystemKey, system.c_str());
    return systemLoaded_;
}

LoadedHives::~LoadedHives()
{
    if (systemLoaded_)
        UnloadHive(kSystemKey);
    if (softwareLoaded_)
        UnloadHive(kSoftwareKey);
    // A copy that was never made is simply not there to delete.
    for (const WString& copy : {softwareCopy_, systemCopy_}) {
        if (!copy.empty())
            DeleteFileW(copy.c_str());
    }
}

SystemLibraryCopy::SystemLibraryCopy(const WString& copiesDirectory, const WString& library)
    : path_(HiveCopyPath(copiesDirectory, kLibraryCopyPrefix))
{
    copied_ = FitsCopy(library, kMaxLibraryFileBytes) && CopyFileW(library.c_str(), path_.c_str(), FALSE);
}

SystemLibraryCopy::~SystemLibraryCopy()
{
    DeleteFileW(path_.c_str());
}
