// The capture's message callback: progress and status texts, the log lines
// for the library's errors and notices, abort answers, and the inclusion and
// compression decisions made against the three pattern lists.
#pragma once

#include "app/task_state.h"
#include "capture_config/pattern_list.h"
#include "imaging/wimgapi.h"

// Messages the capture answers beyond the named ones.
constexpr DWORD kMsgVerifyingIntegrity = WIM_MSG + 29;
constexpr DWORD kMsgAddingIntegrity = WIM_MSG + 33;

// The extended-attribute notice's code (ERROR_EAS_NOT_SUPPORTED).
constexpr DWORD kEasNotSupported = 282;

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

// The callback's work on a given record; returns the verdict.
DWORD HandleCaptureMessage(TaskState& task, DWORD messageId, WPARAM wParam, LPARAM lParam);

// Registered process-wide for one capture; reaches the shared record through
// Task().
DWORD CALLBACK CaptureMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
