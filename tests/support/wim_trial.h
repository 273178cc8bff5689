// One damaged or crafted WIM put through what a user can do with it: Info,
// Apply, Export, the Files page's reading of every folder and its extract of
// one file, a read-only Mount (and its unmount) and Delete, each the way
// the program runs it (the operation on an imaging thread). Shared by the
// regression corpus test and the fuzz driver; no test framework inside.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct TrialOptions {
    DWORD timeoutMs = 30000;  // per operation
    bool mount = false;       // needs /dev/fuse and root
    bool filesOnly = false;   // only the Files page's listing and extract
};

// What went wrong with `wim`, one line per problem ("hang", "outside",
// "no reason"), each naming the operation; empty when every operation ended
// with success or with a failure line and a reason, inside its own folder.
// `workFolder` must be an empty folder; the trial works inside it. A hang
// leaves its thread stuck: the caller should end the process soon.
std::vector<std::string> TryWim(const std::string& wim, const std::string& workFolder,
                                const TrialOptions& options);

// The operation and log of the last TryWim operation that went wrong.
std::string LastTrialLog();
