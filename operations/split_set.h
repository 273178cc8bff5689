// A split set as a source: the parts Split writes beside each other
// (name.swm, name2.swm, name3.swm, ...), found from any one of them by
// reading each part's header alone, and opened through the first part with
// the others as its references.
#pragma once

#include "base/task_state.h"
#include "base/text.h"
#include "imaging/wimgapi.h"

#include <vector>

// What a WIM file's header says about the set it belongs to.
struct PartHeader {
    GUID guid{};
    WORD partNumber = 0;
    WORD totalParts = 0;
};

// False when the file cannot be read or is no WIM file.
bool ReadPartHeader(const WCHAR* path, PartHeader& header);

struct SplitSet {
    WString firstPart;             // the file to open: the given one when it is not a part of a set
    std::vector<WString> parts;    // a set's parts in order, the first included; empty for a whole file
    std::vector<WString> refusal;  // lines saying why the set cannot be used
};

// Finds the set `path` belongs to. A file that is no part of a set (or
// cannot be read; opening it will say why) is taken as it is. False when a
// part is missing or belongs elsewhere; `set.refusal` names each.
bool FindSplitSet(const WCHAR* path, SplitSet& set);

// The line naming part `number` of a set in use, as the log and the
// information report show it.
WString SetPartLine(const SplitSet& set, size_t number);

// The start of a reading operation's open: finds the set of `path` and logs
// its parts, one line each; or logs why it cannot be used and returns false.
bool TakeSplitSet(TaskState& task, const WCHAR* path, SplitSet& set);

// Adds the parts after the first to `wim` (opened on the first part), before
// an image is loaded; a part the library refuses is logged with its reason.
// `flags` are the operation's own open flags.
bool ReferenceFurtherParts(TaskState& task, HANDLE wim, const SplitSet& set, DWORD flags);
// The same without a log: false with the library's last error.
bool ReferenceFurtherParts(HANDLE wim, const SplitSet& set, DWORD flags, size_t& failedPart);

// A write to `path` refused when it is a part of a set: logs `lineId`, then
// the reason, and returns true. Nothing is opened.
bool RefuseSetPart(TaskState& task, const WCHAR* path, UINT lineId);
