#include "tests/support/hive_writer.h"

#include <hivex.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

namespace {

void Put32(std::string& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void Put16(std::string& bytes, size_t at, uint16_t value)
{
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

// An empty hive: the base block, then one bin with the root key, its
// security cell and one free cell. hivex fills it from there.
std::string EmptyHive()
{
    std::string bytes(0x2000, '\0');
    std::memcpy(&bytes[0], "regf", 4);
    Put32(bytes, 0x04, 1);  // sequence numbers
    Put32(bytes, 0x08, 1);
    Put32(bytes, 0x14, 1);  // version 1.3
    Put32(bytes, 0x18, 3);
    Put32(bytes, 0x20, 1);       // format
    Put32(bytes, 0x24, 0x20);    // root key cell
    Put32(bytes, 0x28, 0x1000);  // bins' size
    Put32(bytes, 0x2C, 1);
    uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) {
        sum ^= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 2])) << 16 |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 24;
    }
    Put32(bytes, 0x1FC, sum);

    const size_t bin = 0x1000;
    std::memcpy(&bytes[bin], "hbin", 4);
    Put32(bytes, bin + 8, 0x1000);
    const size_t root = bin + 0x20;  // nk cell, 0x58 bytes
    Put32(bytes, root, static_cast<uint32_t>(-0x58));
    std::memcpy(&bytes[root + 4], "nk", 2);
    Put16(bytes, root + 6, 0x2C);  // root, not deletable, ASCII name
    Put32(bytes, root + 4 + 0x1C, 0xFFFFFFFF);
    Put32(bytes, root + 4 + 0x20, 0xFFFFFFFF);
    Put32(bytes, root + 4 + 0x28, 0xFFFFFFFF);
    Put32(bytes, root + 4 + 0x2C, 0x78);  // security cell
    Put32(bytes, root + 4 + 0x30, 0xFFFFFFFF);
    Put16(bytes, root + 4 + 0x48, 4);
    std::memcpy(&bytes[root + 4 + 0x4C], "ROOT", 4);
    const size_t security = bin + 0x78;  // sk cell, 0x30 bytes
    Put32(bytes, security, static_cast<uint32_t>(-0x30));
    std::memcpy(&bytes[security + 4], "sk", 2);
    Put32(bytes, security + 8, 0x78);
    Put32(bytes, security + 12, 0x78);
    Put32(bytes, security + 16, 1);
    Put32(bytes, security + 20, 20);
    bytes[security + 24] = 1;  // self-relative descriptor without owner or lists
    Put16(bytes, security + 26, 0x8000);
    Put32(bytes, bin + 0xA8, 0x1000 - 0xA8);  // the free rest
    return bytes;
}

hive_node_h MakeKey(hive_h* hive, const std::string& path)
{
    hive_node_h node = hivex_root(hive);
    size_t start = 0;
    while (node != 0 && start <= path.size() && !path.empty()) {
        size_t end = path.find('\\', start);
        std::string step = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        hive_node_h child = hivex_node_get_child(hive, node, step.c_str());
        node = child != 0 ? child : hivex_node_add_child(hive, node, step.c_str());
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return node;
}

std::string Utf16(const std::string& ascii)
{
    std::string bytes;
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

}  // namespace

std::string RegString(const std::string& ascii)
{
    return Utf16(ascii) + std::string(2, '\0');
}

std::string RegMultiString(const std::vector<std::string>& strings)
{
    std::string bytes;
    for (const std::string& s : strings)
        bytes += RegString(s);
    return bytes + std::string(2, '\0');
}

std::string RegDword(uint32_t value)
{
    std::string bytes(4, '\0');
    Put32(bytes, 0, value);
    return bytes;
}

bool WriteHive(const std::string& path, const std::vector<HiveValue>& values,
               const std::vector<std::string>& keys)
{
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << EmptyHive();
        if (!file)
            return false;
    }
    hive_h* hive = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (hive == nullptr)
        return false;
    bool written = true;
    for (const std::string& key : keys)
        written = written && MakeKey(hive, key) != 0;
    // Values of one key are set together: hivex replaces a key's values.
    std::map<std::string, std::vector<const HiveValue*>> byKey;
    for (const HiveValue& value : values)
        byKey[value.key].push_back(&value);
    for (const auto& [key, list] : byKey) {
        hive_node_h node = MakeKey(hive, key);
        std::vector<hive_set_value> set;
        for (const HiveValue* value : list) {
            set.push_back(hive_set_value{const_cast<char*>(value->name.c_str()),
                                         static_cast<hive_type>(value->type), value->data.size(),
                                         const_cast<char*>(value->data.data())});
        }
        written = written && node != 0 && hivex_node_set_values(hive, node, set.size(), set.data(), 0) == 0;
    }
    written = written && hivex_commit(hive, nullptr, 0) == 0;
    hivex_close(hive);
    return written;
}

std::vector<HiveValue> SampleSoftware()
{
    const std::string current = "Microsoft\\Windows NT\\CurrentVersion";
    return {
        {current, "EditionID", REG_SZ, RegString("Professional")},
        {current, "SystemRoot", REG_SZ, RegString("C:\\Windows")},
        {current, "CurrentBuild", REG_SZ, RegString("19041")},
    };
}

std::vector<HiveValue> SampleSystem()
{
    const std::string control = "ControlSet001\\Control";
    return {
        {control + "\\Session Manager\\Environment", "PROCESSOR_ARCHITECTURE", REG_SZ, RegString("AMD64")},
        {"ControlSet001\\Enum\\Root\\ACPI_HAL\\0000", "HardwareID", REG_MULTI_SZ,
         RegMultiString({"acpiapic_up", "acpiapic"})},
        {control + "\\ProductOptions", "ProductType", REG_SZ, RegString("WinNT")},
        {control + "\\ProductOptions", "ProductSuite", REG_MULTI_SZ, RegMultiString({"Terminal Server"})},
        {control + "\\MUI\\UILanguages\\en-US", "LCID", REG_DWORD, RegDword(0x409)},
        {control + "\\MUI\\UILanguages\\de-DE", "LCID", REG_DWORD, RegDword(0x407)},
        {control + "\\Nls\\Language", "InstallLanguage", REG_SZ, RegString("0409")},
    };
}

std::vector<HiveValue> Without(std::vector<HiveValue> values, const std::string& key, const std::string& name)
{
    std::erase_if(values, [&](const HiveValue& v) { return v.key == key && v.name == name; });
    return values;
}

std::vector<HiveValue> With(std::vector<HiveValue> values, HiveValue value)
{
    values = Without(std::move(values), value.key, value.name);
    values.push_back(std::move(value));
    return values;
}
