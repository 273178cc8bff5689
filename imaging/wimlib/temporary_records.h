// Records of the temporary files the layer makes beside the user's files.
// A file is removed by a later write only on the proof of its record: one
// written and synced before the file exists, naming its path, then its
// device and inode once it does, and locked by its writer for as long as the
// writer lives. A name alone proves nothing; nor does a record whose writer
// died before the file's identity was in it.
#pragma once

#include "imaging/wimlib/layer.h"

#include <string>
#include <sys/types.h>

namespace layer {

class TemporaryRecord {
public:
    TemporaryRecord() = default;
    ~TemporaryRecord() { Drop(); }
    TemporaryRecord(const TemporaryRecord&) = delete;
    TemporaryRecord& operator=(const TemporaryRecord&) = delete;

    // Writes, syncs and locks a record naming `path`, which must not exist
    // yet. False with the last error set.
    bool Begin(const std::string& path);

    // Adds the identity of the file now made at the path, open on
    // `descriptor`, and syncs it.
    bool NoteFile(int descriptor);

    // The file is gone or has its final name: the record goes.
    void Drop();

    // Takes back the file made under the record, when it is still the one
    // open on `descriptor`; closes the descriptor and drops the record.
    void RemoveFile(int descriptor);

    // Removes `name` when it still names the recorded file (the file, or
    // the name it was given since); the record stays.
    bool RemoveRecordedAt(const std::string& name) const;

    const std::string& path() const { return path_; }

private:
    int descriptor_ = -1;
    bool identified_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::string recordPath_;
    std::string path_;
};

// A new file at `path` made under `record` (record first, then the file,
// refused when the name exists, then its identity). Its descriptor, or -1
// with errno and the last error set and no file left.
int CreateRecordedFile(TemporaryRecord& record, const std::string& path, int flags, mode_t mode);

// Removes the name when it still names the file open on `descriptor`, as
// a failed write takes back what it made; a file put there since stays.
bool RemoveIfSame(int descriptor, const std::string& path);

// The same for a file known by its identity; `birth` (BirthOf), when given,
// tells a new file that was given a freed number from the one recorded.
bool RemoveIfIdentity(const std::string& path, dev_t device, ino_t inode, const std::string& birth = "");

// The same for `name` in the open folder `folder`: removes it only while it
// still has `device` and `inode` and is of `type` (S_IFREG, S_IFDIR for an
// empty folder, or 0 for anything but a folder).
bool UnlinkAtIfIdentity(int folder, const char* name, dev_t device, ino_t inode, mode_t type);
std::string BirthOf(int folderOrFile, const char* name);

// Removes from `folder` the recorded temporary files of writers that are
// gone, each still the file its record names, and says each to the
// listeners (WIM_MSG_LEFTOVER_REMOVED). Every write into a folder calls it
// first.
void RemoveLeftoversIn(const std::string& folder);

}  // namespace layer
