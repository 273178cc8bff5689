// What killed writes leave in a folder, recognised in one place and removed
// by the next write into that folder once the process that made it is gone:
// - our temporary files ("<name>.corvane-XXXXXX"), locked by their writer
//   for as long as it lives;
// - a split's temporary parts ("<part>.split-<pid>-<tick>"), written by
//   wimlib under a name that carries the writing process;
// - wimlib's own temporary files ("<WIM name>" and nine letters or digits)
//   of a rebuild that wimlib made by itself, left alone for a minute.
#include "imaging/wimlib/file_io.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace layer {

namespace {

// One still being written by another program changes all the time, so only
// one left alone this long goes.
constexpr time_t kWimlibTemporaryAbandonedAfter = 60;

bool IsAlphanumeric(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// "<name>.corvane-XXXXXX" whose lock can be taken.
bool IsAbandonedTemporary(const std::string& name, const std::string& path)
{
    const size_t infix = sizeof kTemporaryInfix - 1;
    if (name.size() <= infix + 6 || name.compare(name.size() - 6 - infix, infix, kTemporaryInfix) != 0 ||
        !IsAlphanumeric(name.substr(name.size() - 6)))
        return false;
    const int descriptor = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    // Checked, and then unlinked by the caller, while this process holds it.
    const bool free = TryLock(descriptor) == LockResult::Taken;
    close(descriptor);
    return free;
}

// "<part>.split-<pid>-<tick>" of a process that is gone. A kept-aside older
// part (".old") is the user's file and stays.
bool IsAbandonedSplitPart(const std::string& name)
{
    const size_t at = name.rfind(kSplitStampInfix);
    if (at == std::string::npos || at == 0)
        return false;
    unsigned long owner = 0;
    unsigned long tick = 0;
    int used = 0;
    const std::string stamp = name.substr(at + sizeof kSplitStampInfix - 1);
    if (std::sscanf(stamp.c_str(), "%lu-%lu%n", &owner, &tick, &used) != 2 ||
        static_cast<size_t>(used) != stamp.size() || owner == 0 || owner > INT32_MAX)
        return false;
    return kill(static_cast<pid_t>(owner), 0) != 0 && errno != EPERM;
}

// "<WIM name>XXXXXXXXX" beside that WIM, long left alone.
bool IsAbandonedWimlibTemporary(const std::string& folder, const std::string& name, const std::string& path,
                                const struct stat& status)
{
    if (name.size() <= 9 || !IsAlphanumeric(name.substr(name.size() - 9)) ||
        status.st_mtime + kWimlibTemporaryAbandonedAfter >= time(nullptr))
        return false;
    struct stat wim;
    const std::string wimPath = folder + "/" + name.substr(0, name.size() - 9);
    return stat(wimPath.c_str(), &wim) == 0 && S_ISREG(wim.st_mode) && StartsWithWimMagic(path);
}

}  // namespace

void RemoveLeftoversIn(const std::string& folder)
{
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return;
    std::vector<std::string> abandoned;
    while (const dirent* item = readdir(listing)) {
        const std::string name = item->d_name;
        const std::string path = folder + "/" + name;
        struct stat status;
        if (name.empty() || name[0] == '.' || lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        if (IsAbandonedTemporary(name, path) || IsAbandonedSplitPart(name) ||
            IsAbandonedWimlibTemporary(folder, name, path, status))
            abandoned.push_back(path);
    }
    closedir(listing);
    for (const std::string& path : abandoned)
        unlink(path.c_str());
    if (!abandoned.empty())
        SyncFolderOf(abandoned.front());
}

}  // namespace layer
