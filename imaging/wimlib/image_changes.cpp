// Whole-image changes of an open file: deleting an image and the boot index.
#include "imaging/wimlib/layer.h"

#include <mutex>
#include <vector>

namespace layer {

BOOL WINAPI LayerDeleteImage(HANDLE wim, DWORD index)
{
    const EntryOpening opening(wim, HandleKind::Wim, EntryOpening::Use::Change);
    if (!opening)
        return FALSE;
    WimFile& file = opening.file();
    if (index == 0 || index > ImageCountOf(file))
        return Fail(ERROR_INVALID_PARAMETER);
    const std::vector<std::shared_ptr<HandleEntry>> images = ImageHandlesOf(&file);
    for (const auto& image : images) {
        if (image->index == index)
            return Fail(ERROR_SHARING_VIOLATION);
    }
    if (!WimlibSucceeds([&] { return wimlib_delete_image(file.wim, static_cast<int>(index)); })) {
        Reload(file);
        return FALSE;
    }
    // A delete rebuilds the whole file, which also drops the image's data
    // that no other image shares.
    if (!Commit(file, {.rebuild = true, .check = {}}))
        return FALSE;
    for (const auto& image : images) {
        if (image->index > index)
            --image->index;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerSetBootImage(HANDLE wim, DWORD index)
{
    const EntryOpening opening(wim, HandleKind::Wim, EntryOpening::Use::Change);
    if (!opening)
        return FALSE;
    WimFile& file = opening.file();
    struct wimlib_wim_info header;
    if (!WimlibSucceeds([&] { return wimlib_get_wim_info(file.wim, &header); }))
        return FALSE;
    if (index > header.image_count)
        return Fail(ERROR_INVALID_PARAMETER);
    if (header.boot_index != index) {
        header.boot_index = index;
        if (!WimlibSucceeds(
                [&] { return wimlib_set_wim_info(file.wim, &header, WIMLIB_CHANGE_BOOT_INDEX); })) {
            Reload(file);
            return FALSE;
        }
        if (!Commit(file))
            return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
