// A read/write mount's commit as the layer runs it: wimlib unmounts with
// the changes on a thread of its own while the caller's thread tells the
// callbacks its progress, and a failed write is explained when it can be.
#pragma once

#include "imaging/wimlib/layer.h"

#include <string>

namespace layer {

// wimlib_unmount_image_with_progress for a commit, its progress told to the
// callbacks of `file` from this thread.
int UnmountTellingProgress(const std::string& unixDir, int flags, WimFile& file);

// wimlib's daemon reports a failed write without its cause. The usual one
// is a full disk: true when the WIM's file system has less room left than
// the changes waiting in `staging` take.
bool OutOfRoomFor(const std::string& unixWim, const std::string& staging);

}  // namespace layer
