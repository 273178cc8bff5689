// Exporting an image into another WIM file. The image waits in memory with
// the others exported on the same handle and all are written in one commit
// when the handle closes (kept_changes.cpp). A destination that holds no image yet is written
// whole under another name and renamed over, so its name never shows part of
// the images; one that holds images gets them by a journalled append. Either
// way a failure or an abort leaves the old file.
// wimlib writes each resource in the destination's compression, so the
// data is recompressed where the two files differ.
#include "imaging/wimlib/layer.h"

#include <mutex>

namespace layer {

namespace {

// The export's own additions to the progress messages: a query for an abort
// with every step of the data written (so an abort answer stops the write),
// and the integrity notices.
enum wimlib_progress_status ExportProgress(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                           void* context)
{
    auto* progress = static_cast<ProgressContext*>(context);
    switch (message) {
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS:
        if (Deliver(progress->wim, WIM_MSG_QUERY_ABORT, 0, 0))
            progress->aborted = true;
        break;
    case WIMLIB_PROGRESS_MSG_CALC_INTEGRITY:
        if (info->integrity.completed_chunks == 0)
            Deliver(progress->wim, WIM_MSG_ADDING_INTEGRITY, 0, 0);
        break;
    default:
        break;
    }
    if (progress->aborted)
        return WIMLIB_PROGRESS_STATUS_ABORT;
    return ProgressBridge(message, info, context);
}

// wimlib keeps the names of a file's images apart; WIMGAPI does not. Says so
// in words, with the destination's path, before anything is written.
bool NameIsFree(WimFile& source, int index, WimFile& destination, uintptr_t destinationHandle)
{
    const char* name = wimlib_get_image_name(source.wim, index);
    if (name == nullptr || name[0] == 0 || !wimlib_image_name_in_use(destination.wim, name))
        return true;
    const WString text =
        destination.callerPath + WSTR(": already holds an image named \"") + WideFromUtf8(name) +
        WSTR("\", and images of one file here must have different names; nothing was exported");
    Deliver(destinationHandle, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(text.c_str()), ERROR_ALREADY_EXISTS);
    return Fail(ERROR_ALREADY_EXISTS);
}

}  // namespace

BOOL WINAPI LayerExportImage(HANDLE image, HANDLE destinationWim, DWORD flags)
{
    std::shared_ptr<HandleEntry> source = Lookup(image, HandleKind::Image);
    if (source == nullptr)
        return FALSE;
    std::shared_ptr<HandleEntry> destination = Lookup(destinationWim, HandleKind::Wim);
    if (destination == nullptr)
        return FALSE;
    if ((flags & ~WIM_EXPORT_ALLOW_DUPLICATES) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    WimFile& from = *source->file;
    WimFile& to = *destination->file;
    if (!to.Writable())
        return Fail(ERROR_ACCESS_DENIED);
    if (&from == &to)
        return Fail(ERROR_INVALID_PARAMETER);
    std::scoped_lock guard(from.lock, to.lock);
    if (!Current(from) || !Current(to))
        return FALSE;
    // Exported from the source as written; the destination's own kept
    // changes go into it before the exports, which wait for its close.
    if (!WriteKeptChanges(from) || (to.kept.any && !WriteKeptChanges(to)))
        return FALSE;
    const int index = static_cast<int>(source->index);
    const uintptr_t handle = reinterpret_cast<uintptr_t>(destinationWim);
    // A refused or failed export drops every image exported unwritten on
    // this handle, so a run of exports that fails part way writes none.
    if (!NameIsFree(from, index, to, handle) ||
        !WimlibSucceeds([&] { return wimlib_export_image(from.wim, index, to.wim, nullptr, nullptr, 0); })) {
        const DWORD kept = GetLastError();
        Reload(to);
        return Fail(kept);
    }
    RegisterProgress(to, ExportProgress, &to.progress);
    to.exportSources.push_back(source->file);
    ++from.lentImages;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
