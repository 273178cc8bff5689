// The file work under the layer's writes: whole reads and writes at an
// offset, syncs of files and folders, the writer's lock primitive, and
// locked temporary files beside a WIM.
#pragma once

#include "imaging/wimlib/layer.h"
#include "imaging/wimlib/temporary_records.h"

#include <dirent.h>
#include <string>
#include <sys/types.h>

namespace layer {

// Fails with the Win32 code of errno, else `fallback`.
BOOL FailErrno(DWORD fallback);

bool ReadAt(int descriptor, void* buffer, size_t size, uint64_t offset);
bool WriteAt(int descriptor, const void* buffer, size_t size, uint64_t offset);

// Reads a whole file; false (errno set) when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool ReadWholeDescriptor(int descriptor, std::string& bytes);

// Syncs through SyncDescriptor, so tests see every sync a write makes.
bool Sync(int descriptor);

// A new or removed name lasts only once its folder is synced too.
bool SyncFolderOf(const std::string& unixPath);

// Tries an exclusive open-file-description lock on an open descriptor, so
// other threads' and other processes' descriptors both conflict.
enum class LockResult { Taken, Held, Failed };
LockResult TryLock(int descriptor);

// Whether a folder listing has no entry but "." and "..". Reads it on.
bool ListsNothing(DIR* listing);

// Whether the descriptor is open on the file that has the name now.
bool SameInode(int descriptor, const std::string& unixPath);

std::string BaseName(const std::string& unixPath);

// FNV-1a: a cheap hash for checksums and names, not for security.
uint64_t Fnv1a(const std::string& bytes);

// Temporary files beside a WIM are named the WIM's name, this, and six
// letters; see CreateLockedTemporary. The name is never what makes one ours:
// its record is (temporary_records.h).
constexpr char kTemporaryInfix[] = ".corvane-";

// A split writes each part under its name and this, the process's id, a dash
// and a tick count, until the whole set can be put in place.
constexpr char kSplitStampInfix[] = ".split-";

// A new file beside the WIM, made under `record` and with the given
// permissions, locked like a WIM open for writing (a rebuild's file keeps
// that lock as the WIM's). Its path is record.path(); -1 with the last error
// set and nothing left on failure.
int CreateLockedTemporary(const std::string& unixPath, mode_t mode, TemporaryRecord& record);

}  // namespace layer
