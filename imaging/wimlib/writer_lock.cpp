// The writer's lock of a WIM open for writing, and what killed writers
// left beside it: a journal to put back, temporary files to remove.
#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/journal.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace layer {

namespace {

// A temporary file that wimlib left: the WIM's name and nine letters or
// digits. Older writes of this program made them; one still being written by
// another program changes all the time, so only one left alone this long goes.
constexpr time_t kAbandonedAfterSeconds = 60;

bool IsAlphanumeric(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// Removes the temporary files that earlier writes of this WIM left when they
// were killed: ours (no one holds their lock any more) and wimlib's own.
void RemoveAbandonedTemporaries(const std::string& unixPath)
{
    const std::string folder = FolderOf(unixPath);
    const std::string base = BaseName(unixPath);
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return;
    std::vector<std::string> abandoned;
    while (const dirent* item = readdir(listing)) {
        const std::string name = item->d_name;
        if (name.size() <= base.size() || name.compare(0, base.size(), base) != 0)
            continue;
        const std::string rest = name.substr(base.size());
        const std::string path = folder + "/" + name;
        struct stat status;
        if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        if (rest.size() == sizeof kTemporaryInfix - 1 + 6 && rest.rfind(kTemporaryInfix, 0) == 0) {
            const int descriptor = open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (descriptor >= 0) {
                // Unlinked while locked, so no new writer can come between.
                if (TryLock(descriptor) == LockResult::Taken)
                    abandoned.push_back(path);
                close(descriptor);
            }
        } else if (rest.size() == 9 && IsAlphanumeric(rest) && StartsWithWimMagic(path) &&
                   status.st_mtime + kAbandonedAfterSeconds < time(nullptr)) {
            abandoned.push_back(path);
        }
    }
    closedir(listing);
    for (const std::string& path : abandoned)
        unlink(path.c_str());
    if (!abandoned.empty())
        SyncFolderOf(unixPath);
}

}  // namespace

bool TakeWriterLock(WimFile& file)
{
    // The name may pass to a new file (another writer's rebuild) between the
    // open and the lock: then lock the file that has the name now.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int descriptor = open(file.unixPath.c_str(), O_RDWR | O_CLOEXEC);
        if (descriptor < 0)
            return FailErrno(ERROR_OPEN_FAILED);
        const LockResult result = TryLock(descriptor);
        if (result != LockResult::Taken) {
            const int error = errno;
            close(descriptor);
            return Fail(result == LockResult::Held ? ERROR_SHARING_VIOLATION
                                                   : Win32FromErrno(error, ERROR_LOCK_VIOLATION));
        }
        if (SameInode(descriptor, file.unixPath)) {
            if (file.writerLock >= 0)
                close(file.writerLock);
            file.writerLock = descriptor;
            return true;
        }
        close(descriptor);
    }
    return Fail(ERROR_SHARING_VIOLATION);
}

bool PutBackLeftovers(WimFile& file)
{
    // Without the writer's lock, only while no writer holds the file: a
    // live writer's journal is not a leftover.
    int descriptor = file.writerLock;
    if (descriptor < 0 && access(JournalPathOf(file.unixPath).c_str(), F_OK) == 0) {
        descriptor = open(file.unixPath.c_str(), O_RDWR | O_CLOEXEC);
        if (descriptor >= 0 &&
            (TryLock(descriptor) != LockResult::Taken || !SameInode(descriptor, file.unixPath))) {
            close(descriptor);
            descriptor = -1;
        }
    }
    if (descriptor >= 0) {
        const bool settled = SettleLeftoverJournal(file.unixPath, file.callerPath, descriptor);
        const DWORD error = GetLastError();
        if (descriptor != file.writerLock)
            close(descriptor);
        if (!settled && file.writerLock >= 0)
            return Fail(error);
    }
    if (file.writerLock >= 0)
        RemoveAbandonedTemporaries(file.unixPath);
    return true;
}

}  // namespace layer
