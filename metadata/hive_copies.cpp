#include "metadata/hive_copies.h"

#include "metadata/offline_hive.h"

namespace {

// Hive copies are named "<prefix><owner>.CRV" (or "<prefix><owner>-<n>.CRV"
// where that name is taken) in the temporary directory.
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

// How many names a copy tries before it gives up: others' files may hold
// the first ones.
constexpr int kCopyNameAttempts = 16;

WString HiveCopyPath(const WString& directory, const WCHAR* prefix, int attempt)
{
    WString name = directory + WSTR("\\") + prefix + DecimalText(HiveCopyOwner());
    if (attempt > 0)
        name += WSTR("-") + DecimalText(attempt);
    return name + kCopySuffix;
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

bool OwnCopy::Make(const WString& directory, const WCHAR* prefix, const WString& original)
{
    // Made only under a name that is free, never over a file that is there:
    // whatever has the name may be another program's.
    for (int attempt = 0; attempt < kCopyNameAttempts; ++attempt) {
        const WString candidate = HiveCopyPath(directory, prefix, attempt);
        if (CopyFileW(original.c_str(), candidate.c_str(), TRUE))
            return made_.Hold(candidate.c_str());
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

OwnCopy::~OwnCopy()
{
    made_.Remove();
}

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

bool LoadedHives::Load(const WString& softwareHive, const WString& systemHive)
{
    if (!FitsCopy(softwareHive, kMaxHiveFileBytes) || !FitsCopy(systemHive, kMaxHiveFileBytes))
        return false;
    WString software = softwareHive;
    WString system = systemHive;
    if (HiveLoadNeedsCopy()) {
        if (!softwareCopy_.Make(directory_, kSoftwareCopyPrefix, softwareHive) ||
            !systemCopy_.Make(directory_, kSystemCopyPrefix, systemHive))
            return false;
        software = softwareCopy_.Path();
        system = systemCopy_.Path();
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
    // The copies go with their members, once unloaded.
}

SystemLibraryCopy::SystemLibraryCopy(const WString& copiesDirectory, const WString& library)
{
    if (FitsCopy(library, kMaxLibraryFileBytes))
        copy_.Make(copiesDirectory, kLibraryCopyPrefix, library);
}
