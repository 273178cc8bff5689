// The hive seam on the registry: each copy is loaded below
// HKEY_LOCAL_MACHINE under its name (which needs the backup and restore
// privileges) and read through the ordinary registry calls.
#include "metadata/offline_hive.h"

namespace {

// The value's data through the registry, or false when the key or value is
// missing or larger than the seam accepts.
bool ReadValue(const WCHAR* keyPath, const WCHAR* valueName, std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    bool read = false;
    if (RegQueryValueExW(key, valueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        size <= kMaxHiveValueBytes) {
        data.assign(size, 0);
        read = RegQueryValueExW(key, valueName, nullptr, nullptr, data.data(), &size) == ERROR_SUCCESS &&
               size <= data.size();
        if (read)
            data.resize(size);
    }
    RegCloseKey(key);
    return read;
}

}  // namespace

bool HiveLoadNeedsCopy()
{
    // The registry keeps a loaded hive file open and may write to it.
    return true;
}

bool LoadHive(const WCHAR* name, const WCHAR* path)
{
    return RegLoadKeyW(HKEY_LOCAL_MACHINE, name, path) == ERROR_SUCCESS;
}

void UnloadHive(const WCHAR* name)
{
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, name);
}

WString ReadHiveString(const WCHAR* keyPath, const WCHAR* valueName)
{
    std::vector<BYTE> data;
    if (!ReadValue(keyPath, valueName, data))
        return WString();
    WString text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        WCHAR c = static_cast<WCHAR>(data[i] | data[i + 1] << 8);
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

DWORD ReadHiveNumber(const WCHAR* keyPath, const WCHAR* valueName)
{
    std::vector<BYTE> data;
    if (!ReadValue(keyPath, valueName, data) || data.size() > 4)
        return 0;
    DWORD number = 0;
    for (size_t i = 0; i < data.size(); ++i)
        number |= static_cast<DWORD>(data[i]) << (8 * i);
    return number;
}

bool ReadHiveSubkeyNames(const WCHAR* keyPath, size_t limit, std::vector<WString>& names)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS)
        return false;
    for (DWORD index = 0; names.size() < limit; ++index) {
        WCHAR name[kTextBufferSize];
        DWORD length = kTextBufferSize;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length < kTextBufferSize ? length : kTextBufferSize - 1);
    }
    RegCloseKey(key);
    return true;
}

uint32_t HiveCopyOwner()
{
    return GetCurrentProcessId();
}
