// The two things the probe reads from the system library's version
// resource: the product name and the file version.
#pragma once

#include "base/text.h"

#include <vector>

// The version resource of a file, in a block of its own; empty when the file
// has none (or claims an unbelievable size).
std::vector<BYTE> ReadVersionBlock(const WCHAR* path);

// ProductName from a block read once for this and the file version;
// `current` when the block is empty, empty when it names none.
WString ReadVersionString(std::vector<BYTE>& block, const WString& current);

// The four words of the file version; all "0" when the resource has no
// fixed part, unchanged when there is no resource.
void ReadFileVersion(std::vector<BYTE>& block, WString& major, WString& minor, WString& build,
                     WString& spBuild);
