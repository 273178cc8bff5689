// Applying an image to a folder with wimlib, UNIX owners, modes, special
// files and links included. wimlib says little while it extracts, so the
// library's messages are made here: one WIM_MSG_PROCESS per item (folders
// and empty files as the tree is laid out, files as their data comes out, in
// the order wimlib reads it), WIM_MSG_PROGRESS from the bytes written, and
// WIM_MSG_ERROR and WIM_MSG_WARNING from the texts wimlib prints, with the
// caller's path of the file they name.
#include "imaging/wimlib/apply_run.h"
#include "imaging/wimlib/file_io.h"

namespace layer {

BOOL WINAPI LayerApplyImage(HANDLE image, PCWSTR path, DWORD flags)
{
    std::shared_ptr<HandleEntry> entry = Lookup(image, HandleKind::Image);
    if (entry == nullptr)
        return FALSE;
    std::string unixTarget;
    if (!UnixPathFromDos(path, unixTarget))
        return FALSE;
    while (unixTarget.size() > 1 && unixTarget.back() == '/')
        unixTarget.pop_back();
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!Current(file))
        return FALSE;
    const int index = static_cast<int>(entry->index);

    ApplyRun run;
    StartRun(run, file, path);
    if (!WimlibSucceeds([&] {
            return wimlib_iterate_dir_tree(file.wim, index, WIMLIB_WIM_ROOT_PATH,
                                           WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, CollectItem, &run.items);
        }))
        return FALSE;
    PlanItems(run);
    run.startTick = GetTickCount();
    if (flags & WIM_FLAG_NO_APPLY)
        return WalkImage(file, run, (flags & WIM_FLAG_VERIFY) != 0);

    DWORD failure = ExtractTelling(file, run, unixTarget, [&] {
        return wimlib_extract_image(file.wim, index, unixTarget.c_str(), WIMLIB_EXTRACT_FLAG_UNIX_DATA);
    });
    if (failure == ERROR_SUCCESS && (flags & WIM_FLAG_VERIFY))
        failure = CheckAppliedData(run, unixTarget, {});
    return EndRun(run, failure);
}

}  // namespace layer
