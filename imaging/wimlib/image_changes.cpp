// Whole-image changes of an open file: deleting an image and the boot
// index, kept with the file until its WIM handle closes.
#include "imaging/wimlib/layer.h"

#include <algorithm>
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
    ShowDeletedImageXml(file, index);
    if (!WimlibSucceeds([&] { return wimlib_delete_image(file.wim, static_cast<int>(index)); })) {
        Reload(file);
        return FALSE;
    }
    // Kept until the close, which then rebuilds the whole file: that also
    // drops the image's data that no other image shares.
    KeepChange(file);
    file.kept.rebuild = true;
    auto& stored = file.kept.storedImages;
    std::erase_if(stored, [index](const auto& element) { return element.first == index; });
    for (auto& element : stored) {
        if (element.first > index)
            --element.first;
    }
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
        // Kept until the close; a refusal changes nothing in memory.
        if (!WimlibSucceeds([&] { return wimlib_set_wim_info(file.wim, &header, WIMLIB_CHANGE_BOOT_INDEX); }))
            return FALSE;
        KeepChange(file);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
