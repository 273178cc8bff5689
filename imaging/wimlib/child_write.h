// A wimlib write run in a forked child where that is what stops an abort at
// once.
//
// wimlib asks its progress function only between chunks, and a solid LZMS
// chunk takes tens of seconds to compress: an abort answer given in-process
// waits for the chunk. Other files are written here, since a fork makes
// every page touched after it fault again. The child runs nothing but wimlib on its copy of the
// WIMStruct and sends each progress message back, waiting until the parent
// has handed it to the progress function registered on the file (so the bar,
// the remaining time and the per-item messages go on as before) and asks for
// an abort between them too. An abort kills the child; what it wrote is the
// caller's to undo, as after any failed write.
#pragma once

#include "imaging/wimlib/layer.h"

#include <functional>

namespace layer {

// Runs `write`, a wimlib call on `file.wim` that writes a WIM or applies an
// image, and returns its wimlib code with errno set as the call left it; in
// a child when the file is LZMS (or its type cannot be told), here otherwise
// or when no child can be made. Either way the listeners are asked for an
// abort every kAbortQueryMilliseconds as well, and an abort answer (which
// kills a child) gives WIMLIB_ERR_ABORTED_BY_PROGRESS.
int WriteInChild(WimFile& file, const std::function<int()>& write);

// Called in the parent with the wait status of a child that ended without
// its answer and was not stopped by the parent (a crash, a file-size limit);
// the write then fails and is undone. Tests replace it to end the parent at
// that moment too, as a kill of the whole program would.
extern void (*ChildEndedUnanswered)(int status);

// How long the parent waits for a message from the child before it asks
// the listeners for an abort itself.
constexpr int kAbortQueryMilliseconds = 200;

}  // namespace layer
