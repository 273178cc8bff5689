// The rollback journal of in-place writes: the magic, the file's size,
// where the saved tail starts and its length (8 bytes each, little-endian),
// the header, the tail, and a checksum of everything before it, so that a
// journal cut short is known. It is written and synced beside the WIM before
// the WIM is touched, and deleted only once the WIM is synced; a journal
// found later is put back (SQLite's rollback journal).
#pragma once

#include "imaging/wimlib/layer.h"

#include <string>

namespace layer {

struct Journal {
    uint64_t fileSize = 0;
    uint64_t tailStart = 0;
    std::string header;  // the WIM header's bytes
    std::string tail;    // from tailStart to fileSize
};

// Torn: ours but never completed, so the WIM was not touched after it;
// Foreign: a file of that name that is not ours.
enum class JournalState { Absent, Valid, Torn, Foreign };

JournalState ReadJournal(const std::string& journalPath, Journal& journal);

// Puts the journalled bytes back into the WIM open on `descriptor`, syncs
// it, then drops the journal. Doing it twice does no harm.
bool RollBack(const std::string& unixPath, int descriptor, const Journal& journal);

// Deletes the journal beside a WIM and syncs the folder.
bool DropJournal(const std::string& unixPath);

// A journal of ours beside a name that is given a new file speaks of the
// old one: it goes.
void DropStaleJournal(const std::string& unixPath);

}  // namespace layer
