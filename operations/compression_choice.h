// The compression a page's combo text names, shared by capture and export.
#pragma once

#include "base/task_state.h"
#include "base/text.h"

// The library's compression type, the string-table line that says so, the
// create flags a new file of that kind needs (LZMS files are written solid,
// as ESD files are) and the kind's name in the page's list.
struct CompressionChoice {
    DWORD type;
    UINT logId;
    DWORD createFlags;
    UINT nameId;
};

// Matches the text against the table's names for LZX, XPRESS and LZMS; any
// other text means no compression.
CompressionChoice ChooseCompression(const WString& text);

// Logs the compression a file is written with: `fileType` for a file that
// exists already, which keeps its own, and then, when the page chose another,
// that the choice is not used.
void LogWrittenCompression(TaskState& task, const CompressionChoice& chosen, DWORD fileType);
