// The capture's pattern lists: exclusions, compression exclusions and
// exclusion exceptions, held by the task record. Filled from the defaults and
// the configuration file, and matched against paths, in capture_config/.
#pragma once

#include "base/text.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct PatternEntry {
    WString pattern;    // upper-cased pattern text
    WString directory;  // directory part, always starting with a backslash
    uint64_t directoryLength = 0;
    WString name;             // file name and extension part
    uint8_t hasWildcard = 0;  // 1 when name holds '*' or '?'
};

// A list holds at most this many entries; further patterns are ignored.
constexpr int32_t kPatternListCapacity = 64;

struct PatternList {
    std::vector<PatternEntry> entries;  // sized for the capacity; `count` in use
    int32_t count = 0;
    int32_t capacity = 0;
};

// Frees every entry and the array; count and capacity become 0.
void FreePatternList(PatternList& list);

// Frees the list, then gives it an empty array of kPatternListCapacity.
void ResetPatternList(PatternList& list);
