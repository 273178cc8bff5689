// The file work under the layer's writes.
#include "imaging/wimlib/file_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace layer {

int (*SyncDescriptor)(int descriptor) = fsync;

uint64_t Fnv1a(const std::string& bytes)
{
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string BaseName(const std::string& unixPath)
{
    const size_t slash = unixPath.rfind('/');
    return slash == std::string::npos ? unixPath : unixPath.substr(slash + 1);
}

BOOL FailErrno(DWORD fallback)
{
    return Fail(Win32FromErrno(errno, fallback));
}

bool ReadAt(int descriptor, void* buffer, size_t size, uint64_t offset)
{
    auto* bytes = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t got = pread(descriptor, bytes, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return FailErrno(ERROR_READ_FAULT);
        if (got == 0)
            return Fail(ERROR_HANDLE_EOF);
        bytes += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

bool WriteAt(int descriptor, const void* buffer, size_t size, uint64_t offset)
{
    const auto* bytes = static_cast<const char*>(buffer);
    while (size > 0) {
        const ssize_t put = pwrite(descriptor, bytes, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return FailErrno(ERROR_WRITE_FAULT);
        bytes += put;
        size -= static_cast<size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return true;
}

bool Sync(int descriptor)
{
    if (SyncDescriptor(descriptor) != 0)
        return FailErrno(ERROR_WRITE_FAULT);
    return true;
}

// A new or removed name lasts only once its folder is synced too.
bool SyncFolderOf(const std::string& unixPath)
{
    const int folder = open(FolderOf(unixPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return FailErrno(ERROR_PATH_NOT_FOUND);
    const bool synced = Sync(folder);
    close(folder);
    return synced;
}

LockResult TryLock(int descriptor)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(descriptor, F_OFD_SETLK, &lock) == 0)
        return LockResult::Taken;
    if (errno == EAGAIN || errno == EACCES)
        return LockResult::Held;
    return LockResult::Failed;
}

bool ListsNothing(DIR* listing)
{
    while (const dirent* entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            return false;
    }
    return true;
}

bool SameInode(int descriptor, const std::string& unixPath)
{
    struct stat held;
    struct stat named;
    return fstat(descriptor, &held) == 0 && stat(unixPath.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    const bool read = ReadWholeDescriptor(descriptor, bytes);
    const int error = errno;
    close(descriptor);
    errno = error;
    return read;
}

bool ReadWholeDescriptor(int descriptor, std::string& bytes)
{
    char chunk[65536];
    for (off_t offset = 0;;) {
        const ssize_t got = pread(descriptor, chunk, sizeof chunk, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        bytes.append(chunk, static_cast<size_t>(got));
        offset += got;
    }
}

namespace {

std::string RandomLetters(size_t count)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string bytes(count, '\0');
    if (getrandom(bytes.data(), count, 0) != static_cast<ssize_t>(count))
        return {};
    for (char& letter : bytes)
        letter = kLetters[static_cast<unsigned char>(letter) % (sizeof kLetters - 1)];
    return bytes;
}

}  // namespace

int CreateLockedTemporary(const std::string& unixPath, mode_t mode, TemporaryRecord& record)
{
    // A name taken meanwhile, by anyone, is simply passed over.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string letters = RandomLetters(6);
        if (letters.empty()) {
            FailErrno(ERROR_CANNOT_MAKE);
            return -1;
        }
        const int descriptor = CreateRecordedFile(record, unixPath + kTemporaryInfix + letters, O_RDWR, 0600);
        if (descriptor < 0 && errno == EEXIST)
            continue;
        if (descriptor < 0)
            return -1;
        if (TryLock(descriptor) == LockResult::Taken && fchmod(descriptor, mode & 07777) == 0)
            return descriptor;
        FailErrno(ERROR_CANNOT_MAKE);
        record.RemoveFile(descriptor);
        return -1;
    }
    Fail(ERROR_CANNOT_MAKE);
    return -1;
}

}  // namespace layer
