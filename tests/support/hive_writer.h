// Registry hive files for tests and benchmarks, made without any Windows
// file: an empty hive written byte by byte, then filled through hivex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One registry value: its key (below the hive's root, backslashes), name,
// type (REG_SZ, REG_MULTI_SZ, REG_DWORD, ...) and raw data.
struct HiveValue {
    std::string key;
    std::string name;
    int type;
    std::string data;
};

// Raw data of the common types: UTF-16LE with terminators, little-endian numbers.
std::string RegString(const std::string& ascii);
std::string RegMultiString(const std::vector<std::string>& strings);
std::string RegDword(uint32_t value);

// A hive file holding the given values (keys made as needed) plus the empty
// keys named in `keys`. False when hivex refuses any step.
bool WriteHive(const std::string& path, const std::vector<HiveValue>& values,
               const std::vector<std::string>& keys = {});

// The values of a 64-bit Windows 10 Professional installation: SOFTWARE
// with EditionID and SystemRoot (and no ProductName), SYSTEM with the
// environment, HAL, product options, two interface languages and
// InstallLanguage 0409.
std::vector<HiveValue> SampleSoftware();
std::vector<HiveValue> SampleSystem();

// `values` without those whose key and name match.
std::vector<HiveValue> Without(std::vector<HiveValue> values, const std::string& key,
                               const std::string& name);
// `values` with the value of that key and name replaced (or added).
std::vector<HiveValue> With(std::vector<HiveValue> values, HiveValue value);
