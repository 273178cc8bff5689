#include "operations/mounted_images.h"

#include "imaging/wimgapi.h"

#include <algorithm>

namespace {

// The library's fixed-size path fields are not guaranteed to be terminated.
WString FieldText(const WCHAR (&field)[MAX_PATH])
{
    size_t length = 0;
    while (length < MAX_PATH && field[length] != 0)
        ++length;
    return WString(field, length);
}

}  // namespace

bool ReadMountedImages(std::vector<MountedImage>& images)
{
    images.clear();
    std::vector<WIM_MOUNT_LIST> listed(kMountListEntries);
    DWORD size = kMountListEntries * sizeof(WIM_MOUNT_LIST);
    if (!WIMGetMountedImages(listed.data(), &size))
        return false;
    const DWORD count = std::min<DWORD>(size / sizeof(WIM_MOUNT_LIST), kMountListEntries);
    for (DWORD i = 0; i < count; ++i) {
        images.push_back(MountedImage{.wimPath = FieldText(listed[i].WimPath),
                                      .mountPath = FieldText(listed[i].MountPath),
                                      .imageIndex = listed[i].ImageIndex,
                                      .readWrite = listed[i].MountedForRW != FALSE});
    }
    return true;
}

bool SameMountPath(WStringView a, WStringView b)
{
    return EqualsIgnoringCase(WithoutTrailingBackslash(a), WithoutTrailingBackslash(b));
}
