// The image operations. Each is an operation of the shared record: it reads
// its inputs from the page fields, logs what it does, and returns true on
// success. They run on the worker thread (the information report on the
// user-interface thread).
#pragma once

#include "app/task_state.h"

// Capture into a new file, or appended to an existing one.
bool RunCapture(TaskState& task, bool append);
bool RunApply(TaskState& task);
bool RunExport(TaskState& task);
bool RunDelete(TaskState& task);
bool RunChange(TaskState& task);
bool RunMount(TaskState& task);
bool RunUnmount(TaskState& task);
bool RunSplit(TaskState& task);

// The information report on infoSource, written into the Info page's report
// box; the text alone (or the failure message) comes from BuildInfoReportText.
bool BuildInfoReport(TaskState& task);
bool BuildInfoReportText(TaskState& task, WString& report);

// The common start of delete and change: logs the opening line, opens the
// WIM for reading and writing (verifying its integrity when `check`), gives
// it the system temporary folder, and checks that it holds image `index`.
// On failure it logs the one line that says why, closes what it opened and
// returns null.
HANDLE OpenWimForUpdate(TaskState& task, const WString& source, int index, bool check);
