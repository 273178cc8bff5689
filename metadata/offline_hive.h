// Reading an offline installation's registry hives. Each hive is loaded
// under a name and then read through key paths that start with that name,
// as if it hung below HKEY_LOCAL_MACHINE. The windows build loads copies of
// the hives with the registry API, which takes a loaded file for its own; the
// linux build reads the hive files themselves, read-only, with hivex, since Wine cannot
// load binary hive files.
#pragma once

#include "base/text.h"

#include <cstdint>
#include <vector>

// Values larger than this are treated as missing: nothing the probe reads
// comes near it, and a damaged hive may claim any size.
constexpr DWORD kMaxHiveValueBytes = 64 * 1024;

// True when a hive is loaded from a copy rather than from the hive file.
bool HiveLoadNeedsCopy();

// Loads the hive file `path` under `name`; false when it cannot be read as a
// hive (nothing is then loaded).
bool LoadHive(const WCHAR* name, const WCHAR* path);

// Unloads what was loaded under `name`; afterwards a copy can be deleted.
void UnloadHive(const WCHAR* name);

// The value's data as UTF-16 up to its first NUL, whatever its type; empty
// when the key or the value is missing.
WString ReadHiveString(const WCHAR* keyPath, const WCHAR* valueName);

// A value of at most four bytes as a little-endian number; 0 when missing,
// longer or unreadable.
DWORD ReadHiveNumber(const WCHAR* keyPath, const WCHAR* valueName);

// The names of the key's subkeys in the hive's order, at most `limit`; the
// list ends early at a name of 260 characters or more. False when the key
// cannot be opened.
bool ReadHiveSubkeyNames(const WCHAR* keyPath, size_t limit, std::vector<WString>& names);

// This process's number, which a hive copy's name carries so that two
// programs' copies start from different names.
uint32_t HiveCopyOwner();
