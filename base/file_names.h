// Names that a file on a Windows volume cannot have. An image may hold any
// name (another tool wrote it, or the file is damaged); what is written from
// it must land where the user chose, under the name it shows.
#pragma once

#include "base/text.h"

enum class NameFault {
    None,
    Empty,
    DotName,             // "." or "..": would point outside the folder
    BadCharacter,        // a path separator, a drive colon, a wildcard or a control character
    TrailingDotOrSpace,  // Windows drops them, so the file would take another name
    DeviceName,          // CON, NUL, COM1 ... with or without an extension
};

// Why `name` (one path component) cannot be a file's name, or None.
NameFault WindowsNameFault(WStringView name);
