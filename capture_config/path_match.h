// Matching scanned paths against the capture's pattern lists: the path
// split into its folder and name, upper-cased as the lists are, and tested
// against each entry.
#pragma once

#include "base/pattern_list.h"

#include <cstddef>
#include <cstdint>

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

// Working buffers of one path test (on the stack: nothing is allocated per
// path). The directory keeps its last characters
// when it is longer than the buffer; directoryLength is always the whole
// length, which is all that matching needs (no entry's directory is longer
// than kMaxPatternLength + 1).
constexpr size_t kPathPartsBuffer = 2 * kTextBufferSize;

struct PathParts {
    const WCHAR* path = nullptr;        // the path as the library gave it
    WCHAR directory[kPathPartsBuffer];  // upper-cased, from a backslash
    uint64_t directoryLength = 0;       // whole length of the directory
    WCHAR name[kPathPartsBuffer];       // upper-cased file name and extension
    size_t directoryKept = 0;           // characters held in `directory`
    size_t nameLength = 0;
    bool nameFits = true;  // false: a name too long for the buffer matches nothing
};

// Splits and upper-cases the path into `parts`; allocates nothing.
void BuildPathParts(PathParts& parts, const WCHAR* path);

bool PathMatchesEntry(const PathParts& parts, const PatternEntry& entry);

// True when some entry of the list matches (first match ends the search).
bool PathMatchesList(const PathParts& parts, const PatternList& list);

// '*' any run of characters, '?' exactly one; both texts upper-cased and
// NUL-terminated.
bool WildcardMatch(const WCHAR* name, const WCHAR* pattern);
