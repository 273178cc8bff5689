// The image operations. Each is an operation of the shared record: it reads
// its inputs from the page fields, logs what it does, and returns true on
// success. They run on the worker thread (the information report on the
// user-interface thread).
#pragma once

#include "app/task_state.h"

bool RunDelete(TaskState& task);
