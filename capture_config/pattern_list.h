// The capture's pattern lists: exclusions, compression exclusions and
// exclusion exceptions. Filled from the defaults and the configuration file.
#pragma once

#include "app/text.h"

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

// Where a path or pattern text splits: the directory part runs from
// `directoryStart` (after a leading drive letter and colon) to `nameStart`
// (after the last backslash or slash); the name is the rest.
struct PathSplit {
    size_t directoryStart;
    size_t nameStart;
};
PathSplit SplitPathText(const WCHAR* text, size_t length);

// Upper-cases in place exactly as CharUpperBuffW does, one UTF-16 unit at a
// time, through a table made once: the capture tests every scanned path.
void UpperCaseInPlace(WCHAR* text, size_t length);
