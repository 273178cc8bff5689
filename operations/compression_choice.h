// The compression a page's combo text names, shared by capture and export.
#pragma once

#include "base/text.h"

// The library's compression type, the string-table line that says so, and
// the create flags a new file of that kind needs (LZMS files are written
// solid, as ESD files are).
struct CompressionChoice {
    DWORD type;
    UINT logId;
    DWORD createFlags = 0;
};

// Matches the text against the table's names for LZX, XPRESS and LZMS; any
// other text means no compression.
CompressionChoice ChooseCompression(const WString& text);
