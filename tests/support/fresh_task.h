// The shared record made ready for one operation run in a test. The message
// callbacks of the operations use the process's one record, so tests that
// deliver messages run their operation on it too.
#pragma once

#include "base/task_state.h"

// Inputs at their start-up defaults; log, counters, flags and start time of
// a fresh run; no progress window.
TaskState& FreshTask();

// Gives every test of the run the process's record as FreshTask leaves it,
// so no test inherits another's inputs, abort flag or counters.
void FreshTaskForEveryTest();
