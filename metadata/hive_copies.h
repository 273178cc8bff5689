// The probe's copies beside the imaging work: the offline installation's
// two hives, loaded under the probe's key names for as long as their owner
// lives, and a copy of its system library for the version query. A copy is
// made only under a free name and removed only while the name still holds
// it: nothing else in the temporary directory is touched.
#pragma once

#include "base/file_identity.h"
#include "base/text.h"

inline constexpr WCHAR kSoftwareKey[] = WSTR("CRV_SOFTWARE");
inline constexpr WCHAR kSystemKey[] = WSTR("CRV_SYSTEM");

// The directory copies go into: the given one, else the system's; empty
// when there is none.
WString HiveCopiesDirectory(const WCHAR* given);

// One copy of a file in the copies directory, made by this program under a
// name nothing had, and removed when the owner goes only if that name still
// holds the same file.
class OwnCopy {
public:
    OwnCopy() = default;
    ~OwnCopy();
    OwnCopy(const OwnCopy&) = delete;
    OwnCopy& operator=(const OwnCopy&) = delete;

    // Copies `original` into `directory` under `prefix`; false with nothing
    // made when it cannot.
    bool Make(const WString& directory, const WCHAR* prefix, const WString& original);
    // The copy, or an empty path when none was made.
    const WString& Path() const { return made_.Path(); }

private:
    MadeFile made_;
};

// SOFTWARE and SYSTEM loaded under kSoftwareKey and kSystemKey: from copies
// where loading takes the file for the registry's own, in place where they
// are only read. Unloaded, and the copies deleted, when the owner goes.
class LoadedHives {
public:
    explicit LoadedHives(WString copiesDirectory) : directory_(std::move(copiesDirectory)) {}
    ~LoadedHives();
    LoadedHives(const LoadedHives&) = delete;
    LoadedHives& operator=(const LoadedHives&) = delete;

    // False, with nothing loaded and no copy left, when either hive is too
    // large, cannot be copied or cannot be read as a hive.
    bool Load(const WString& softwareHive, const WString& systemHive);

private:
    WString directory_;
    OwnCopy softwareCopy_;
    OwnCopy systemCopy_;
    bool softwareLoaded_ = false;
    bool systemLoaded_ = false;
};

// The system library copied under another name: Wine answers a version query
// on any file named Kernel32.dll from its own system library. A copy, not a
// link, since a link would change the captured tree's file (its link count
// and change time). Deleted when the owner goes.
class SystemLibraryCopy {
public:
    SystemLibraryCopy(const WString& copiesDirectory, const WString& library);
    SystemLibraryCopy(const SystemLibraryCopy&) = delete;
    SystemLibraryCopy& operator=(const SystemLibraryCopy&) = delete;

    // The copy, or an empty path when the library was not copied.
    const WString& Path() const { return copy_.Path(); }

private:
    OwnCopy copy_;
};
