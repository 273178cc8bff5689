// The image operations. Each is an operation of the shared record: it reads
// its inputs from the page fields, logs what it does, and returns true on
// success. They run on the worker thread (the information report on the
// user-interface thread).
#pragma once

#include "app/task_state.h"

bool RunDelete(TaskState& task);
bool RunChange(TaskState& task);

// The information report on infoSource, written into the Info page's report
// box; the text alone (or the failure message) comes from BuildInfoReportText.
bool BuildInfoReport(TaskState& task);
bool BuildInfoReportText(TaskState& task, WString& report);
