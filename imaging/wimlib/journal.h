// The rollback journal of in-place writes (see journal_format.h for its
// bytes). It is written and synced beside the WIM before the WIM is touched,
// locked by its writer for as long as the write runs, and deleted only once
// the WIM is synced; a journal found later whose writer is gone is put back
// when it still speaks of the file at its name (SQLite's rollback journal),
// and removed as stale when it does not.
#pragma once

#include "imaging/wimlib/journal_format.h"
#include "imaging/wimlib/layer.h"

#include <string>

namespace layer {

// Torn: ours but never completed, so the WIM was not touched after it;
// Foreign: a file of that name that is not ours.
enum class JournalState { Absent, Valid, Torn, Foreign };

JournalState ReadJournal(const std::string& journalPath, journal::Record& record);

// Settles what a killed writer's journal says about the WIM open (and
// locked for writing) on `descriptor`: a torn journal goes, a matching one
// is put back, a stale one is removed and said so to the listeners.
// `callerPath` names the file in that message. False with the last error
// set when a matching journal could not be put back.
bool SettleLeftoverJournal(const std::string& unixPath, const WString& callerPath, int descriptor);

// Deletes the journal beside a WIM, while its name still holds the journal
// open on `journal`, and syncs the folder.
bool DropJournal(const std::string& unixPath, int journal);

// A journal of ours beside a name that is given a new file speaks of the
// old one: it goes.
void DropStaleJournal(const std::string& unixPath);

}  // namespace layer
