// The capture's pattern lists: exclusions, compression exclusions and
// exclusion exceptions. Filled from the defaults and the configuration file.
#pragma once

#include "app/text.h"

#include <cstdint>
#include <vector>

struct PatternEntry {
    WString pattern;    // upper-cased pattern text
    WString directory;  // directory part, always starting with a backslash
    uint64_t directoryLength = 0;
    WString name;  // file name and extension part
    bool hasWildcard = false;
};

struct PatternList {
    std::vector<PatternEntry> entries;
    int32_t count = 0;
    int32_t capacity = 0;
};

// Frees every entry and the array; count and capacity become 0.
void FreePatternList(PatternList& list);
