// What applying an image, checking it and extracting paths from it share:
// the image's items in the order wimlib writes their data, the messages made
// from wimlib's progress for them, the read-back of written data, and the
// texts wimlib prints told to the listeners with the caller's paths.
#pragma once

#include "imaging/wimlib/layer.h"
#include "imaging/wimlib/wimlib_texts.h"

#include <functional>
#include <string>
#include <vector>

namespace layer {

// One item of the image: its path in the image, and where its data lies in
// the WIM, which is the order wimlib extracts data in.
struct ApplyItem {
    std::string path;  // in the image, '/'-separated, from the root
    bool directory = false;
    bool hasData = false;
    bool regular = false;  // a plain file whose data can be read back
    uint64_t position = 0;
    uint64_t resourceOffset = 0;  // where the resource holding its data starts
    uint64_t size = 0;
    bool missing = false;  // its data is not in the file
    uint8_t hash[20] = {};
};

struct ApplyRun {
    uintptr_t wim = 0;
    WString callerTarget;          // as the caller gave it, without a trailing backslash
    std::vector<ApplyItem> items;  // structure items first, then data items in data order
    size_t structureItems = 0;
    std::vector<uint64_t> dataEnds;  // per data item: bytes extracted once its data is out
    size_t delivered = 0;
    DWORD startTick = 0;
    bool aborted = false;
};

// The caller's path of an item: the caller's target and the image path.
WString CallerItemPath(const ApplyRun& run, const std::string& imagePath);

// The item `entry` stands for, under `path` (relative to what is applied).
ApplyItem ItemOf(const struct wimlib_dir_entry* entry, std::string path);

// wimlib_iterate_dir_tree's callback: every entry below the root into the
// std::vector<ApplyItem> `context`.
int CollectItem(const struct wimlib_dir_entry* entry, void* context);

// Orders the items the way wimlib makes them and counts their data.
void PlanItems(ApplyRun& run);

// Sends WIM_MSG_PROCESS for the items up to `until`; false on an abort answer.
bool DeliverItemsUpTo(ApplyRun& run, size_t until);

// wimlib's progress function for an extraction; `context` is the ApplyRun.
enum wimlib_progress_status ApplyProgress(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                          void* context);

// WIM_FLAG_VERIFY after a write: each regular item under `root` (Unix) read
// back against its hash, except `skipped`. The first that does not match is
// told as an error and its reason returned; ERROR_SUCCESS when all do.
DWORD CheckAppliedData(const ApplyRun& run, const std::string& root, const std::vector<std::string>& skipped);

// Tells the callbacks what wimlib printed while the apply ran: errors and
// warnings with the caller's path of the file they name.
void DeliverTexts(ApplyRun& run, WimlibTexts& texts, const std::string& unixTarget, DWORD failure);

// A run for `file`'s listeners, into `callerTarget` as the caller gave it.
void StartRun(ApplyRun& run, const WimFile& file, PCWSTR callerTarget);

// Runs `extract`, a wimlib extraction on `file.wim`, with the run's messages
// made from its progress (child_write.h), then tells what wimlib printed
// with paths under `landed` (Unix); the failure, or ERROR_SUCCESS.
DWORD ExtractTelling(WimFile& file, ApplyRun& run, const std::string& landed,
                     const std::function<int()>& extract);

// The end of a run: a failure, or the bar at 100 and success.
BOOL EndRun(const ApplyRun& run, DWORD failure);

// The no-apply walk of WIM_FLAG_NO_APPLY, with the data check of
// WIM_FLAG_VERIFY (image_check.cpp); `run` holds the planned items.
BOOL WalkImage(WimFile& file, ApplyRun& run, bool verify);

// Called with a staging folder's path as soon as mkdtemp has made it, before
// it is opened; tests replace it to put another folder under that name, as a
// program allowed to rename entries in the destination's folder could.
extern void (*StagingFolderMade)(const char* path);

}  // namespace layer
