// The capture configuration file (wimscript.ini form) and the three pattern
// lists it adds to: [ExclusionList], [CompressionExclusionList] and
// [ExclusionException], each on top of built-in defaults.
#pragma once

#include "base/pattern_list.h"
#include "base/task_state.h"
#include "capture_config/path_match.h"

// Patterns longer than this are refused: a cut pattern would name something
// the user did not write.
constexpr size_t kMaxPatternLength = kTextBufferSize - 1;

// Rebuilds the three lists from the defaults and the configuration file
// (captureConfigFile, or wimscript.ini beside the program when that is empty
// and present). Logs IDS_CONFIG_FILE_LINE with the file, and IDS_CONFIG_FILE_FAILED when it cannot be
// read; false only then.
bool LoadCaptureConfig(TaskState& task);

// Adds the entries of an open file's sections to the three lists. False when
// reading the file fails part-way.
bool ReadConfigSections(TaskState& task, HANDLE file);

// Adds the pattern unless the list is full, an entry has the same pattern
// in any letter case, or the pattern is empty or too long. True when added.
bool AddUniquePattern(PatternList& list, WStringView text);

// Fills the entry from the pattern text: upper-cased pattern, directory part
// (starting with a backslash), name part and wildcard mark. False, leaving
// the entry empty, for a pattern longer than kMaxPatternLength.
bool MakePatternEntry(PatternEntry& entry, WStringView text);

// The show-settings log: each non-empty list under its section header, one
// upper-cased pattern a line.
void LogPatternLists(TaskState& task);
