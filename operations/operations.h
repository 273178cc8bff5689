// The image operations. Each is an operation of the shared record: it reads
// its inputs from the page fields, logs what it does, and returns true on
// success. They run on the worker thread (the information report on the
// user-interface thread).
#pragma once

#include "base/task_state.h"
#include "imaging/wimgapi.h"

// Capture into a new file, or appended to an existing one.
bool RunCapture(TaskState& task, bool append);
bool RunApply(TaskState& task);
bool RunExport(TaskState& task);
bool RunDelete(TaskState& task);
bool RunChange(TaskState& task);
bool RunMount(TaskState& task);
bool RunUnmount(TaskState& task);
// The message callback of mount and unmount: progress, and the library's
// errors, warnings and notices written to the log. Always answers success.
DWORD CALLBACK MountMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
bool RunSplit(TaskState& task);
// Verify reads every image of infoSource back against its hashes; optimize
// rebuilds the file without the space in-place writes left.
bool RunVerify(TaskState& task);
bool RunOptimize(TaskState& task);

// The message callbacks of apply, export and split, registered for the whole
// process while their operation runs; they use the one shared record.
DWORD CALLBACK ApplyMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
DWORD CALLBACK ExportMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
DWORD CALLBACK SplitMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
DWORD CALLBACK VerifyMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);

// The information report on infoSource, written into the Info page's report
// box; the text alone (or the failure line and its reason) comes from
// BuildInfoReportText, which shows only the opening line in the box.
bool BuildInfoReport(TaskState& task);
bool BuildInfoReportText(TaskState& task, WString& report);

// The common start of delete and change: logs the opening line, opens the
// WIM for reading and writing (verifying its integrity when `check`), gives
// it the system temporary folder, and checks that it holds image `index`.
// On failure it logs the line that says what failed and the system's reason,
// closes what it opened and returns null. A path too long for the buffers is
// refused before anything is opened.
HANDLE OpenWimForUpdate(TaskState& task, const WString& source, int index, bool check);

// Logs why SetImageField did not store `element`: IDS_ERROR_REASON with the system
// text of the thread's last error or, for a NAME that another image of the
// file already has, with words that say so.
void LogImageFieldFailure(TaskState& task, WStringView element);

// One part of a split set cannot be used alone: when `info` is such a part,
// logs `lineId` (with `index`) and a reason that says so, and returns true.
bool RefuseSplitPart(TaskState& task, const WIM_INFO& info, UINT lineId, int index);
