// Changes kept with a file until its WIM handle closes, and their one write.
//
// A capture, image information, the boot image, a delete and the images
// exported into the file change only the WIMStruct; the close writes them
// all in one commit (one journal or one new file, one sync, one check), as
// the system's library writes at WIMCloseHandle. A failed write leaves the
// file as it was, and the close says why.
#include "imaging/wimlib/wimlib_texts.h"

#include <mutex>
#include <utility>

namespace layer {

void KeepChange(WimFile& file)
{
    file.kept.any = true;
}

bool HasKeptChanges(const WimFile& file)
{
    return file.kept.any || !file.exportSources.empty();
}

namespace {

// Every check the kept changes asked for, on the written file opened in wimlib.
CommitCheck AllOf(std::vector<CommitCheck> checks)
{
    if (checks.empty())
        return {};
    return [checks = std::move(checks)](WIMStruct* written) {
        for (const CommitCheck& check : checks) {
            if (!check(written))
                return false;
        }
        return true;
    };
}

// A kept capture's progress function and its context outlive the write only
// as long as the write: memory left with the same WIMStruct (a write that
// failed before it read the file again) hears the usual bridge again.
void ForgetProgressOwner(WimFile& file, const KeptChanges& kept)
{
    if (kept.progressOwner == nullptr || file.progressContext != kept.progressOwner.get())
        return;
    if (file.wim != nullptr) {
        RegisterProgress(file, ProgressBridge, &file.progress);
    } else {
        file.progressFunction = ProgressBridge;
        file.progressContext = &file.progress;
    }
}

}  // namespace

bool WriteKeptChanges(WimFile& file, bool readAgain)
{
    if (file.kept.lost != ERROR_SUCCESS)
        return Fail(std::exchange(file.kept.lost, ERROR_SUCCESS));
    if (!HasKeptChanges(file))
        return true;
    // Reading the file again would free a WIMStruct that another file's
    // unwritten exports still read from; the changes stay kept.
    if (file.lentImages > 0)
        return Fail(ERROR_SHARING_VIOLATION);
    // Taken out first: whatever the commit does with memory, these changes
    // are written now or not at all.
    const KeptChanges kept = std::exchange(file.kept, KeptChanges{});
    struct wimlib_wim_info header;
    if (!WimlibSucceeds([&] { return wimlib_get_wim_info(file.wim, &header); })) {
        Reload(file);
        return false;
    }
    const DWORD images = header.image_count;

    CommitOptions options;
    // A destination that held no image gets its exports as a whole new file.
    options.rebuild = kept.rebuild || (!file.exportSources.empty() && file.imagesWritten == 0);
    options.check = AllOf(kept.checks);
    options.extraWriteFlags = kept.extraWriteFlags;
    options.xmlCheck = [&kept, images](WStringView xml, DWORD imageCount) {
        return WrittenXmlHolds(kept, images, xml, imageCount);
    };
    options.readAgain = readAgain;
    bool written = false;
    if (kept.tellWriteFailure) {
        WimlibTexts texts;
        written = Commit(file, options);
        if (!written) {
            const DWORD failure = GetLastError();
            kept.tellWriteFailure(texts, failure);
            SetLastError(failure);
        }
    } else {
        written = Commit(file, options);
    }
    const DWORD error = GetLastError();
    ForgetProgressOwner(file, kept);
    SetLastError(written ? ERROR_SUCCESS : error);
    return written;
}

}  // namespace layer
