// The writer's lock of a WIM open for writing, and what killed writers
// left beside it: a journal to settle, and (temporary_records.cpp) recorded
// temporary files.
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
        RemoveLeftoversIn(FolderOf(file.unixPath));
    return true;
}

}  // namespace layer
