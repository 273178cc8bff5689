// The hive seam on hivex: Wine cannot load binary hives, so each hive file
// is opened read-only in place (hivex never writes to it) and kept under its
// name until it is unloaded.
#include "metadata/offline_hive.h"

#include <hivex.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

struct LoadedHives {
    std::mutex lock;
    std::map<WString, hive_h*> byName;  // names upper-cased
};

LoadedHives& Loaded()
{
    static LoadedHives hives;
    return hives;
}

WString Upper(WStringView text)
{
    WString upper(text);
    for (WCHAR& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<WCHAR>(c - 'a' + 'A');
    }
    return upper;
}

// A key path's hive and node, or false when any step is missing.
bool FindKey(const WCHAR* keyPath, hive_h*& hive, hive_node_h& node)
{
    WStringView path(keyPath);
    size_t end = path.find('\\');
    auto found = Loaded().byName.find(Upper(path.substr(0, end)));
    if (found == Loaded().byName.end())
        return false;
    hive = found->second;
    node = hivex_root(hive);
    while (node != 0 && end != WStringView::npos) {
        size_t start = end + 1;
        end = path.find('\\', start);
        std::string step = Utf8FromWide(path.substr(start, end == WStringView::npos ? end : end - start));
        node = hivex_node_get_child(hive, node, step.c_str());
    }
    return node != 0;
}

// The value's raw data, or false when it is missing, unreadable or larger
// than the seam accepts.
bool ReadValue(const WCHAR* keyPath, const WCHAR* valueName, std::string& data)
{
    hive_h* hive = nullptr;
    hive_node_h node = 0;
    if (!FindKey(keyPath, hive, node))
        return false;
    std::string name = Utf8FromWide(valueName);
    hive_value_h value = hivex_node_get_value(hive, node, name.c_str());
    if (value == 0)
        return false;
    hive_type type;
    size_t length = 0;
    if (hivex_value_type(hive, value, &type, &length) != 0 || length > kMaxHiveValueBytes)
        return false;
    char* bytes = hivex_value_value(hive, value, &type, &length);
    if (bytes == nullptr)
        return false;
    bool fits = length <= kMaxHiveValueBytes;
    if (fits)
        data.assign(bytes, length);
    free(bytes);
    return fits;
}

}  // namespace

bool HiveLoadNeedsCopy()
{
    return false;
}

bool LoadHive(const WCHAR* name, const WCHAR* path)
{
    char* unixPath = wine_get_unix_file_name(path);
    if (unixPath == nullptr)
        return false;
    hive_h* hive = hivex_open(unixPath, 0);
    HeapFree(GetProcessHeap(), 0, unixPath);
    if (hive == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(Loaded().lock);
    auto [entry, added] = Loaded().byName.emplace(Upper(name), hive);
    if (!added) {
        // The name is taken, as a second load under a loaded name is
        // refused by the registry.
        hivex_close(hive);
        return false;
    }
    return true;
}

void UnloadHive(const WCHAR* name)
{
    std::lock_guard<std::mutex> guard(Loaded().lock);
    auto found = Loaded().byName.find(Upper(name));
    if (found == Loaded().byName.end())
        return;
    hivex_close(found->second);
    Loaded().byName.erase(found);
}

WString ReadHiveString(const WCHAR* keyPath, const WCHAR* valueName)
{
    std::lock_guard<std::mutex> guard(Loaded().lock);
    std::string data;
    if (!ReadValue(keyPath, valueName, data))
        return WString();
    WString text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        WCHAR c = static_cast<WCHAR>(static_cast<unsigned char>(data[i]) |
                                     static_cast<unsigned char>(data[i + 1]) << 8);
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

DWORD ReadHiveNumber(const WCHAR* keyPath, const WCHAR* valueName)
{
    std::lock_guard<std::mutex> guard(Loaded().lock);
    std::string data;
    if (!ReadValue(keyPath, valueName, data) || data.size() > 4)
        return 0;
    DWORD number = 0;
    for (size_t i = 0; i < data.size(); ++i)
        number |= static_cast<DWORD>(static_cast<unsigned char>(data[i])) << (8 * i);
    return number;
}

bool ReadHiveSubkeyNames(const WCHAR* keyPath, size_t limit, std::vector<WString>& names)
{
    std::lock_guard<std::mutex> guard(Loaded().lock);
    hive_h* hive = nullptr;
    hive_node_h node = 0;
    if (!FindKey(keyPath, hive, node))
        return false;
    hive_node_h* children = hivex_node_children(hive, node);
    if (children == nullptr)
        return true;
    for (size_t i = 0; children[i] != 0 && names.size() < limit; ++i) {
        char* name = hivex_node_name(hive, children[i]);
        if (name == nullptr)
            break;
        WString wide = WideFromUtf8(name);
        free(name);
        // The registry's enumeration stops at a name its buffer cannot hold.
        if (wide.size() >= static_cast<size_t>(kTextBufferSize))
            break;
        names.push_back(std::move(wide));
    }
    free(children);
    return true;
}

uint32_t HiveCopyOwner()
{
    // The system's process number: Wine's own numbers repeat between Wine
    // prefixes, and two prefixes may share a temporary directory.
    return static_cast<uint32_t>(getpid());
}
