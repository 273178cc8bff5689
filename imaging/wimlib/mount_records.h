// The layer's mounts underneath the calls: the records that name every
// mount served now, the kernel's table, the clean-up of what a gone mount
// left, and the helper process that mounts (see mount.cpp for the design).
#pragma once

#include "imaging/wimlib/layer.h"

#include <string>
#include <vector>

namespace layer {

// A read/write mount's changes wait in a folder of this prefix.
constexpr char kStagingPrefix[] = "corvane-mount-";

struct MountRecord {
    WString wimPath;    // full DOS path
    WString mountPath;  // DOS path as the caller gave it, made full
    DWORD index = 0;
    bool readWrite = false;
    std::string unixWim;
    std::string unixDir;  // with its folders resolved, as the kernel's table has it
    std::string staging;  // our folder for a read/write mount's changes, or empty
    uint64_t mountedAt = 0;
    // A mount whose committing process was killed: what its helper did with
    // the commit ("committed" or "rolled-back"); the mount itself is gone.
    std::string settled;
};

// ---------------------------------------------------------------------------
// Records (mount_records.cpp)

std::string Getenv(const char* name);

// The record folder, made when missing; it must be ours.
bool EnsureRecordFolder(std::string& folder);

// One record per mount folder: its name is a hash of the folder's path.
std::string RecordPathFor(const std::string& folder, const std::string& unixDir);

// The record's file, created and locked for a new mount of its folder; -1
// with the last error set (ERROR_BUSY while another mount of it lives).
int CreateRecord(const std::string& folder, const MountRecord& record, std::string& recordPath);

bool IsWimfsMountPoint(const std::string& unixDir);

// Our staging folder of a mount that is gone, with what wimlib left in it.
void RemoveStaging(const std::string& staging);

// Detaches a wimlib mount whose daemon is gone.
bool DetachStaleMount(const std::string& unixDir);

enum class RecordState { Served, Starting, Gone, Unreadable };

// Served while its daemon lives and the folder is mounted; Starting while
// the daemon lives but the mount is not there; Gone (and cleaned up) once
// the daemon has ended.
RecordState InspectRecord(const std::string& recordPath, MountRecord& record);

// Every mount that is served now, oldest first, then those whose commit
// their helper settled after the committing process was gone, until an
// unmount of theirs has said so.
bool ServedMounts(std::vector<MountRecord>& mounts);

// Forgets what a helper did with a commit of the mount of this record.
void DropOutcome(const std::string& recordPath);

// Waits for the daemon of a mount that was let go to end, then drops its
// record.
void AwaitDaemonEnd(const std::string& recordPath);

// ---------------------------------------------------------------------------
// The helper (mount_daemon.cpp)

// FUSE needs its device, and the right to open it.
bool FuseAvailable();

struct HelperResult {
    bool mounted = false;
    int wimlibCode = 0;
    int savedErrno = 0;
};

// Runs corvane-mount-helper with the record's descriptor (and the WIM's
// writer's lock, or -1) and waits until the mount is in place or failed.
bool RunHelper(const std::vector<std::string>& arguments, int record, int writerLock, HelperResult& result);

}  // namespace layer
