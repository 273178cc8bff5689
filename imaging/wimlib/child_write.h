// A wimlib write run in a forked child, so that an abort stops it at once.
//
// wimlib asks its progress function only between chunks, and a solid LZMS
// chunk takes tens of seconds to compress: an abort answer given in-process
// waits for the chunk. The child runs nothing but wimlib on its copy of the
// WIMStruct and sends each progress message back through a pipe; the parent
// hands them to the progress function registered on the file (so the bar,
// the remaining time and the per-item messages go on as before) and asks for
// an abort between them too. An abort kills the child; what it wrote is the
// caller's to undo, as after any failed write.
#pragma once

#include "imaging/wimlib/layer.h"

#include <functional>

namespace layer {

// Runs `write`, a wimlib call that writes `file.wim`, in a child and returns
// its wimlib code with errno set as the call left it. An abort answer kills
// the child and gives WIMLIB_ERR_ABORTED_BY_PROGRESS. Where no child can be
// made the call runs here instead.
int WriteInChild(WimFile& file, const std::function<int()>& write);

// How long the parent waits for a message from the child before it asks
// the listeners for an abort itself.
constexpr int kAbortQueryMilliseconds = 200;

}  // namespace layer
