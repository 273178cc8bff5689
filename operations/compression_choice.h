// The compression a page's combo text names, shared by capture and export.
#pragma once

#include "base/text.h"

// The library's compression type and the string-table line that says so.
struct CompressionChoice {
    DWORD type;
    UINT logId;
};

// Matches the text against the table's names for LZX, XPRESS and LZMS; any
// other text means no compression.
CompressionChoice ChooseCompression(const WString& text);
