// WIM_FLAG_NO_APPLY: an image walked and nothing written; with
// WIM_FLAG_VERIFY every stored file's data is read back against its hash.
// wimlib checks a file's data in one pass (solid blocks read once), so that
// pass runs once per file and each image's walk names its own entries from
// what it found.
#include "imaging/wimlib/apply_run.h"
#include "imaging/wimlib/child_write.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sys/stat.h>

namespace layer {

namespace {

struct CheckRun {
    uintptr_t wim = 0;
    DWORD startTick = 0;
};

enum wimlib_progress_status CheckProgress(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                          void* context)
{
    const auto& run = *static_cast<CheckRun*>(context);
    if (message != WIMLIB_PROGRESS_MSG_VERIFY_STREAMS || info == nullptr)
        return WIMLIB_PROGRESS_STATUS_CONTINUE;
    const ProgressFigures figures = EstimateProgress(info->verify_streams.completed_bytes,
                                                     info->verify_streams.total_bytes, run.startTick);
    Deliver(run.wim, WIM_MSG_PROGRESS, figures.percent, figures.remaining);
    return WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// The figure after `label` in one of wimlib's texts ("Expected SHA-1: 3fa1...").
bool FieldInText(const std::string& text, const char* label, std::string& value)
{
    const size_t at = text.find(label);
    if (at == std::string::npos)
        return false;
    size_t start = at + std::strlen(label);
    while (start < text.size() && text[start] == ' ')
        ++start;
    size_t end = start;
    while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end])))
        ++end;
    value = text.substr(start, end - start);
    return !value.empty();
}

bool HashFromHex(const std::string& hex, uint8_t hash[20])
{
    if (hex.size() != 40)
        return false;
    for (size_t i = 0; i < 20; ++i)
        hash[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return true;
}

// Where the damage lies, from what wimlib printed about it.
void LocateDamage(WimFile::DataCheck& check, WimlibTexts& texts)
{
    for (const WimlibTexts::Text& text : texts.Read()) {
        std::string value;
        if (!check.hashKnown && FieldInText(text.text, "Expected SHA-1:", value))
            check.hashKnown = HashFromHex(value, check.hash);
        if (!check.offsetKnown && FieldInText(text.text, "Resource offset in WIM:", value)) {
            check.offset = std::stoull(value);
            check.offsetKnown = true;
        }
    }
}

bool Damaged(const WimFile::DataCheck& check, const ApplyItem& item)
{
    if (check.failure == ERROR_SUCCESS || !item.hasData)
        return false;
    if (check.hashKnown)
        return std::memcmp(check.hash, item.hash, sizeof item.hash) == 0;
    return check.offsetKnown && check.offset == item.resourceOffset;
}

// Whether an entry of any image holds the damaged data; otherwise no image's
// check would name it. Read only once damage is found.
bool AnyImageHolds(WimFile& file, const WimFile::DataCheck& check)
{
    struct wimlib_wim_info info = {};
    if (wimlib_get_wim_info(file.wim, &info) != 0)
        return false;
    for (int index = 1; index <= static_cast<int>(info.image_count); ++index) {
        std::vector<ApplyItem> items;
        if (wimlib_iterate_dir_tree(file.wim, index, WIMLIB_WIM_ROOT_PATH,
                                    WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, CollectItem, &items) != 0)
            continue;
        if (std::any_of(items.begin(), items.end(),
                        [&](const ApplyItem& item) { return Damaged(check, item); }))
            return true;
    }
    return false;
}

// Reads all the file's data once, in a child so that an abort stops it at
// once; false only on an abort. wimlib stops at the first damage it meets.
bool CheckFileData(WimFile& file, uintptr_t wim)
{
    if (file.dataCheck.done)
        return true;
    WimFile::DataCheck check;
    CheckRun run{wim, GetTickCount()};
    {
        WimlibTexts texts;
        RegisterProgress(file, CheckProgress, &run);
        const bool checked = WimlibSucceeds(
            [&] { return WriteInChild(file, [&] { return wimlib_verify_wim(file.wim, 0); }); });
        const DWORD failure = checked ? ERROR_SUCCESS : GetLastError();
        RegisterProgress(file, ProgressBridge, &file.progress);
        if (failure == ERROR_REQUEST_ABORTED)
            return Fail(ERROR_REQUEST_ABORTED);
        check.failure = failure;
        if (failure != ERROR_SUCCESS)
            LocateDamage(check, texts);
    }
    // A read past the end is a file cut short, whatever the call called it.
    if (check.failure != ERROR_SUCCESS && check.offsetKnown) {
        struct stat status;
        if (stat(file.unixPath.c_str(), &status) == 0 &&
            check.offset >= static_cast<uint64_t>(status.st_size))
            check.failure = ERROR_HANDLE_EOF;
    }
    check.referenced = check.failure != ERROR_SUCCESS && (check.hashKnown || check.offsetKnown) &&
                       AnyImageHolds(file, check);
    check.done = true;
    file.dataCheck = check;
    return true;
}

// What a check found wrong with an entry, as the library names it.
DWORD EntryFailure(DWORD failure)
{
    if (failure == ERROR_CRC || failure == ERROR_HANDLE_EOF)
        return failure;
    return ERROR_CRC;
}

}  // namespace

// Walks image `index` as an apply to nowhere: every item is told, entries
// whose data the file lacks or that fail the data check are told as errors.
BOOL WalkImage(WimFile& file, ApplyRun& run, bool verify)
{
    DWORD failure = ERROR_SUCCESS;
    const auto tell = [&](const WString& path, DWORD code) {
        if (failure == ERROR_SUCCESS)
            failure = code;
        Deliver(run.wim, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(path.c_str()), code);
    };
    if (!DeliverItemsUpTo(run, run.items.size()))
        return Fail(ERROR_REQUEST_ABORTED);
    for (const ApplyItem& item : run.items) {
        if (item.missing)
            tell(CallerItemPath(run, item.path), ERROR_NOT_FOUND);
    }
    if (verify) {
        if (!CheckFileData(file, run.wim))
            return FALSE;
        WimFile::DataCheck& check = file.dataCheck;
        bool found = false;
        for (const ApplyItem& item : run.items) {
            if (!item.missing && Damaged(check, item)) {
                found = true;
                tell(CallerItemPath(run, item.path), EntryFailure(check.failure));
            }
        }
        // Damage in another image's metadata or missing data, or in data
        // another image holds, is that image's to tell; damage no entry
        // holds is told once.
        const bool elsewhere =
            check.failure == ERROR_FILE_CORRUPT || check.failure == ERROR_NOT_FOUND || check.referenced;
        if (check.failure != ERROR_SUCCESS && !found && !elsewhere && !check.named) {
            check.named = true;
            tell(run.callerTarget, check.failure);
        }
    }
    return EndRun(run, failure);
}

}  // namespace layer
