// The library's list of mounted images, read in one place for the unmount
// and for the Mount page's list.
#pragma once

#include "base/text.h"

#include <vector>

struct MountedImage {
    WString wimPath;
    WString mountPath;
    DWORD imageIndex = 0;
    bool readWrite = false;
};

// At most this many entries are asked for.
constexpr DWORD kMountListEntries = 32;

// The mounted images, or false (and an empty list) when the library cannot
// list them.
bool ReadMountedImages(std::vector<MountedImage>& images);

// The same mount point as the unmount compares them: letter case and one
// trailing backslash aside.
bool SameMountPath(WStringView a, WStringView b);
