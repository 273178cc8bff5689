// Writing a WimFile's changes to disk, all or nothing; the writer's lock;
// new empty WIM files; and putting back what a killed write left behind.
//
// wimlib commits a change in one of two ways, and neither is safe by itself
// against a full disk or a kill:
// - A rebuild (after a delete) writes the whole WIM into another file. The
//   layer makes that file itself, beside the WIM and locked like it, syncs it,
//   renames it over the WIM and syncs the folder.
// - An in-place write (wimlib_overwrite without a deletion) writes the new XML
//   over the old one, appends data and rewrites the header last; a failure
//   half way leaves XML that no reader accepts. So before it a journal beside
//   the WIM keeps the old header and every byte from where wimlib starts
//   writing to the end of the file. The journal is synced before the WIM is
//   touched and deleted only once the WIM is synced; a failure puts the old
//   bytes back, and a journal found when the file is next opened is put back
//   the same way (SQLite's rollback journal).
#include "imaging/wimlib/layer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace layer {

int (*SyncDescriptor)(int descriptor) = fsync;

namespace {

// The on-disk WIM header: 208 bytes; the resources an in-place write moves
// are described by 24-byte entries (7 bytes of stored size, a flag byte, the
// 8-byte offset, the 8-byte original size).
constexpr size_t kHeaderSize = 208;
constexpr size_t kBlobTableEntry = 48;
constexpr size_t kXmlEntry = 72;
constexpr size_t kIntegrityEntry = 124;
constexpr char kPipableMagic[8] = {'W', 'L', 'P', 'W', 'M', 0, 0, 0};

constexpr char kJournalSuffix[] = ".corvane-journal";
constexpr char kTemporaryInfix[] = ".corvane-";
constexpr char kJournalMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', '0', '1'};

// A temporary file that wimlib left: the WIM's name and nine letters or
// digits. Older writes of this program made them; one still being written by
// another program changes all the time, so only one left alone this long goes.
constexpr time_t kAbandonedAfterSeconds = 60;

uint64_t Little(const unsigned char* bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i)
        value = (value << 8) | bytes[i - 1];
    return value;
}

void PutLittle(std::string& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

struct Span {
    uint64_t offset;
    uint64_t size;
};

Span SpanAt(const unsigned char* header, size_t entry)
{
    return {Little(header + entry + 8, 8), Little(header + entry, 7)};
}

uint64_t Checksum(const std::string& bytes)
{
    uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
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

// Tries the writer's lock on an open descriptor: an open-file-description
// lock, so other threads' and other processes' descriptors both conflict.
enum class LockResult { Taken, Held, Failed };

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

bool SameInode(int descriptor, const std::string& unixPath)
{
    struct stat held;
    struct stat named;
    return fstat(descriptor, &held) == 0 && stat(unixPath.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// ---------------------------------------------------------------------------
// The journal: the magic, the file's size, where the saved tail starts and
// its length (8 bytes each, little-endian), the header, the tail, and a
// checksum of everything before it, so that a journal cut short is known.

struct Journal {
    uint64_t fileSize = 0;
    uint64_t tailStart = 0;
    std::string header;  // kHeaderSize bytes
    std::string tail;    // from tailStart to fileSize
};

constexpr size_t kJournalFixed = sizeof kJournalMagic + 3 * 8;

// Where an in-place write starts: the end of the blob table (wimlib writes
// new XML there when no data changes), else the XML or the integrity table,
// whichever comes first; never inside the header.
uint64_t TailStart(const unsigned char* header, uint64_t fileSize)
{
    const Span blobs = SpanAt(header, kBlobTableEntry);
    const Span xml = SpanAt(header, kXmlEntry);
    const Span integrity = SpanAt(header, kIntegrityEntry);
    uint64_t start = std::min(fileSize, blobs.offset + blobs.size);
    start = std::min(start, xml.offset);
    if (integrity.size != 0)
        start = std::min(start, integrity.offset);
    return std::max<uint64_t>(start, kHeaderSize);
}

std::string JournalBytes(const Journal& journal)
{
    std::string bytes(kJournalMagic, sizeof kJournalMagic);
    PutLittle(bytes, journal.fileSize);
    PutLittle(bytes, journal.tailStart);
    PutLittle(bytes, journal.tail.size());
    bytes += journal.header;
    bytes += journal.tail;
    PutLittle(bytes, Checksum(bytes));
    return bytes;
}

enum class JournalState { Absent, Valid, Torn, Foreign };

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    char chunk[65536];
    ssize_t got;
    while ((got = read(descriptor, chunk, sizeof chunk)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    close(descriptor);
    return got == 0;
}

// Reads the journal beside a WIM. Torn: ours but never completed, so the
// WIM was not touched after it; Foreign: a file of that name that is not ours.
JournalState ReadJournal(const std::string& journalPath, Journal& journal)
{
    std::string bytes;
    if (!ReadWholeFile(journalPath, bytes))
        return errno == ENOENT ? JournalState::Absent : JournalState::Foreign;
    const std::string magic(kJournalMagic, sizeof kJournalMagic);
    if (bytes.compare(0, magic.size(), magic, 0, std::min(bytes.size(), magic.size())) != 0)
        return JournalState::Foreign;
    if (bytes.size() < kJournalFixed + kHeaderSize + 8)
        return JournalState::Torn;
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    journal.fileSize = Little(raw + 8, 8);
    journal.tailStart = Little(raw + 16, 8);
    const uint64_t tailSize = Little(raw + 24, 8);
    if (tailSize != bytes.size() - kJournalFixed - kHeaderSize - 8 ||
        Little(raw + bytes.size() - 8, 8) != Checksum(bytes.substr(0, bytes.size() - 8)) ||
        journal.tailStart + tailSize != journal.fileSize)
        return JournalState::Torn;
    journal.header = bytes.substr(kJournalFixed, kHeaderSize);
    journal.tail = bytes.substr(kJournalFixed + kHeaderSize, tailSize);
    return JournalState::Valid;
}

// Saves what an in-place write of the WIM open on `descriptor` may
// overwrite, and syncs it with its name, before the WIM is touched.
bool WriteJournal(const std::string& unixPath, int descriptor, Journal& journal)
{
    struct stat status;
    if (fstat(descriptor, &status) != 0)
        return FailErrno(ERROR_READ_FAULT);
    journal.fileSize = static_cast<uint64_t>(status.st_size);
    journal.header.assign(kHeaderSize, '\0');
    if (journal.fileSize < kHeaderSize || !ReadAt(descriptor, journal.header.data(), kHeaderSize, 0))
        return Fail(ERROR_FILE_CORRUPT);
    journal.tailStart =
        TailStart(reinterpret_cast<const unsigned char*>(journal.header.data()), journal.fileSize);
    journal.tail.assign(journal.fileSize - journal.tailStart, '\0');
    if (!ReadAt(descriptor, journal.tail.data(), journal.tail.size(), journal.tailStart))
        return false;

    const std::string journalPath = JournalPathOf(unixPath);
    const int out = open(journalPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0)
        return FailErrno(ERROR_CANNOT_MAKE);
    const std::string bytes = JournalBytes(journal);
    bool saved = WriteAt(out, bytes.data(), bytes.size(), 0) && Sync(out);
    close(out);
    saved = saved && SyncFolderOf(unixPath);
    if (!saved) {
        const DWORD error = GetLastError();
        unlink(journalPath.c_str());
        SetLastError(error);
    }
    return saved;
}

// The journal is no longer needed.
bool DropJournal(const std::string& unixPath)
{
    if (unlink(JournalPathOf(unixPath).c_str()) != 0 && errno != ENOENT)
        return FailErrno(ERROR_ACCESS_DENIED);
    return SyncFolderOf(unixPath);
}

// A journal of ours beside a name that is given a new file speaks of the old one.
void DropStaleJournal(const std::string& unixPath)
{
    Journal ignored;
    const JournalState state = ReadJournal(JournalPathOf(unixPath), ignored);
    if (state == JournalState::Valid || state == JournalState::Torn)
        unlink(JournalPathOf(unixPath).c_str());
}

// Puts the journalled bytes back into the WIM open on `descriptor`, syncs
// it, then drops the journal. Doing it twice does no harm.
bool RollBack(const std::string& unixPath, int descriptor, const Journal& journal)
{
    if (!WriteAt(descriptor, journal.tail.data(), journal.tail.size(), journal.tailStart) ||
        !WriteAt(descriptor, journal.header.data(), journal.header.size(), 0))
        return false;
    if (ftruncate(descriptor, static_cast<off_t>(journal.fileSize)) != 0)
        return FailErrno(ERROR_WRITE_FAULT);
    return Sync(descriptor) && DropJournal(unixPath);
}

// ---------------------------------------------------------------------------
// Temporary files

// A new file beside the WIM, with the WIM's permissions, locked like a WIM
// open for writing so that no clean-up takes it while it is written.
int CreateLockedTemporary(const std::string& unixPath, mode_t mode, std::string& temporary)
{
    temporary = unixPath + kTemporaryInfix + "XXXXXX";
    const int descriptor = mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0) {
        FailErrno(ERROR_CANNOT_MAKE);
        return -1;
    }
    if (TryLock(descriptor) != LockResult::Taken || fchmod(descriptor, mode & 07777) != 0) {
        FailErrno(ERROR_CANNOT_MAKE);
        close(descriptor);
        unlink(temporary.c_str());
        return -1;
    }
    return descriptor;
}

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

// ---------------------------------------------------------------------------
// Writes

int WriteFlags(const WimFile& file)
{
    int flags = WIMLIB_WRITE_FLAG_FSYNC;
    if (file.flags & WIM_FLAG_VERIFY)
        flags |= WIMLIB_WRITE_FLAG_CHECK_INTEGRITY;
    return flags;
}

// Whether wimlib can append to this file in place: the blob table before the
// XML, an integrity table after it, and not pipable. Otherwise wimlib would
// fall back to its own rebuild, which the journal does not describe.
bool AppendsInPlace(int descriptor)
{
    unsigned char header[kHeaderSize];
    if (!ReadAt(descriptor, header, sizeof header, 0))
        return false;
    if (std::memcmp(header, kPipableMagic, sizeof kPipableMagic) == 0)
        return false;
    const Span blobs = SpanAt(header, kBlobTableEntry);
    const Span xml = SpanAt(header, kXmlEntry);
    const Span integrity = SpanAt(header, kIntegrityEntry);
    if (blobs.offset + blobs.size > xml.offset)
        return false;
    return integrity.size == 0 || integrity.offset >= xml.offset + xml.size;
}

// Opens the written file and lets the caller's check see it.
bool WrittenFileHolds(const std::string& path, const CommitCheck& check)
{
    if (!check)
        return true;
    WIMStruct* written = nullptr;
    if (!WimlibSucceeds([&] { return wimlib_open_wim(path.c_str(), 0, &written); }))
        return false;
    const bool holds = check(written);
    const DWORD error = GetLastError();
    wimlib_free(written);
    SetLastError(error);
    return holds;
}

// Locks the file that has the WIM's name now, after a rename put a new file
// there; the old descriptor goes.
bool RelockRenamedFile(WimFile& file)
{
    const int old = file.writerLock;
    file.writerLock = -1;
    const bool locked = TakeWriterLock(file);
    if (old >= 0)
        close(old);
    return locked;
}

bool CommitInPlace(WimFile& file, const CommitOptions& options)
{
    InPlaceWrite journal;
    if (!journal.Begin(file.unixPath, file.writerLock))
        return false;
    file.progress.Begin();
    bool written = WimlibSucceeds(
        [&] { return wimlib_overwrite(file.wim, WriteFlags(file) | options.extraWriteFlags, 0); });
    if (written && !SameInode(file.writerLock, file.unixPath)) {
        // wimlib rebuilt after all and renamed a complete, synced file over
        // the WIM: the journal speaks of the old file.
        DropJournal(file.unixPath);
        const bool locked = RelockRenamedFile(file);
        return Reload(file) && locked;
    }
    written = written && WrittenFileHolds(file.unixPath, options.check);
    if (!written) {
        const DWORD error = GetLastError();
        journal.Undo();
        Reload(file);
        SetLastError(error);
        return false;
    }
    const bool kept = journal.Keep();
    return Reload(file) && kept;
}

bool CommitRebuild(WimFile& file, const CommitOptions& options)
{
    struct stat status;
    if (fstat(file.writerLock, &status) != 0)
        return FailErrno(ERROR_READ_FAULT);
    std::string temporary;
    const int descriptor = CreateLockedTemporary(file.unixPath, status.st_mode, temporary);
    if (descriptor < 0)
        return false;
    // Keep the owner too where we may (as root); elsewhere the file is ours anyway.
    if (fchown(descriptor, status.st_uid, status.st_gid) != 0)
        errno = 0;

    file.progress.Begin();
    bool written = WimlibSucceeds([&] {
        return wimlib_write(file.wim, temporary.c_str(), WIMLIB_ALL_IMAGES,
                            WriteFlags(file) | WIMLIB_WRITE_FLAG_RETAIN_GUID | options.extraWriteFlags, 0);
    });
    written = written && Sync(descriptor) && WrittenFileHolds(temporary, options.check);
    if (written && rename(temporary.c_str(), file.unixPath.c_str()) != 0)
        written = FailErrno(ERROR_ACCESS_DENIED);
    if (!written) {
        const DWORD error = GetLastError();
        unlink(temporary.c_str());
        close(descriptor);
        Reload(file);
        SetLastError(error);
        return false;
    }
    // The new file has the name and our lock; the old one goes.
    close(file.writerLock);
    file.writerLock = descriptor;
    const bool named = SyncFolderOf(file.unixPath);
    return Reload(file) && named;
}

}  // namespace

std::string JournalPathOf(const std::string& unixPath)
{
    return unixPath + kJournalSuffix;
}

bool InPlaceWrite::Begin(const std::string& unixPath, int descriptor)
{
    unixPath_ = unixPath;
    descriptor_ = descriptor;
    Journal journal;
    if (!WriteJournal(unixPath, descriptor, journal))
        return false;
    fileSize_ = journal.fileSize;
    tailStart_ = journal.tailStart;
    header_ = std::move(journal.header);
    tail_ = std::move(journal.tail);
    return true;
}

bool InPlaceWrite::Keep()
{
    return Sync(descriptor_) && DropJournal(unixPath_);
}

bool InPlaceWrite::Undo()
{
    Journal journal;
    journal.fileSize = fileSize_;
    journal.tailStart = tailStart_;
    journal.header = header_;
    journal.tail = tail_;
    return RollBack(unixPath_, descriptor_, journal);
}

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
    Journal journal;
    const JournalState state = ReadJournal(JournalPathOf(file.unixPath), journal);
    if (state == JournalState::Valid || state == JournalState::Torn) {
        // Without the writer's lock, only while no writer holds the file: a
        // live writer's journal is not a leftover.
        int descriptor = file.writerLock;
        if (descriptor < 0) {
            descriptor = open(file.unixPath.c_str(), O_RDWR | O_CLOEXEC);
            if (descriptor >= 0 &&
                (TryLock(descriptor) != LockResult::Taken || !SameInode(descriptor, file.unixPath))) {
                close(descriptor);
                descriptor = -1;
            }
        }
        if (descriptor >= 0) {
            // A torn journal was never complete, so the WIM was not touched.
            const bool putBack = state == JournalState::Torn ? DropJournal(file.unixPath)
                                                             : RollBack(file.unixPath, descriptor, journal);
            const DWORD error = GetLastError();
            if (descriptor != file.writerLock)
                close(descriptor);
            if (!putBack && file.writerLock >= 0)
                return Fail(error);
        }
    }
    if (file.writerLock >= 0)
        RemoveAbandonedTemporaries(file.unixPath);
    return true;
}

// wimlib's type for the library's compression number.
bool CompressionTypeOf(DWORD compression, enum wimlib_compression_type& type)
{
    switch (compression) {
    case WIM_COMPRESS_NONE:
        type = WIMLIB_COMPRESSION_TYPE_NONE;
        return true;
    case WIM_COMPRESS_XPRESS:
        type = WIMLIB_COMPRESSION_TYPE_XPRESS;
        return true;
    case WIM_COMPRESS_LZX:
        type = WIMLIB_COMPRESSION_TYPE_LZX;
        return true;
    case WIM_COMPRESS_LZMS:
        type = WIMLIB_COMPRESSION_TYPE_LZMS;
        return true;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
}

// An empty WIMStruct in place of the file's, with the usual progress bridge
// and the given GUID (a new one when null), which the first write keeps.
bool SetEmptyWim(WimFile& file, const uint8_t* guid)
{
    enum wimlib_compression_type type;
    if (!CompressionTypeOf(file.pendingCompression, type))
        return false;
    WIMStruct* wim = nullptr;
    if (!WimlibSucceeds([&] { return wimlib_create_new_wim(type, &wim); }))
        return false;
    struct wimlib_wim_info header = {};
    if (guid != nullptr) {
        std::memcpy(header.guid, guid, WIMLIB_GUID_LEN);
    } else if (getrandom(header.guid, WIMLIB_GUID_LEN, 0) != WIMLIB_GUID_LEN) {
        wimlib_free(wim);
        return FailErrno(ERROR_GEN_FAILURE);
    }
    if (!WimlibSucceeds([&] { return wimlib_set_wim_info(wim, &header, WIMLIB_CHANGE_GUID); })) {
        wimlib_free(wim);
        return false;
    }
    wimlib_register_progress_function(wim, ProgressBridge, &file.progress);
    if (file.wim != nullptr)
        wimlib_free(file.wim);
    file.wim = wim;
    file.xml.reset();
    return true;
}

bool StartNewWim(WimFile& file, DWORD compression, bool replace)
{
    enum wimlib_compression_type type;
    if (!CompressionTypeOf(compression, type))
        return false;
    // The folder must take a new file now, or the capture would run for
    // nothing; the probe leaves no file behind.
    std::string temporary;
    const int descriptor = CreateLockedTemporary(file.unixPath, 0600, temporary);
    if (descriptor < 0)
        return false;
    unlink(temporary.c_str());
    close(descriptor);
    file.pendingCompression = compression;
    if (!SetEmptyWim(file, nullptr))
        return false;
    file.pending = true;
    file.replaceOnCommit = replace;
    return true;
}

bool ResetNewWim(WimFile& file)
{
    const DWORD kept = GetLastError();
    struct wimlib_wim_info header;
    const bool known = file.wim != nullptr && wimlib_get_wim_info(file.wim, &header) == 0;
    const bool reset = SetEmptyWim(file, known ? header.guid : nullptr);
    if (reset)
        SetLastError(kept);
    return reset;
}

// The first write of a pending file: the whole WIM into a locked temporary
// beside the name, synced and checked, then given the name (never over a
// file made meanwhile, unless the caller asked to replace one).
bool CommitNewFile(WimFile& file, const CommitOptions& options)
{
    const mode_t mask = umask(0);
    umask(mask);
    std::string temporary;
    const int descriptor = CreateLockedTemporary(file.unixPath, 0666 & ~mask, temporary);
    if (descriptor < 0)
        return false;
    file.progress.Begin();
    bool written = WimlibSucceeds([&] {
        return wimlib_write(file.wim, temporary.c_str(), WIMLIB_ALL_IMAGES,
                            WriteFlags(file) | WIMLIB_WRITE_FLAG_RETAIN_GUID | options.extraWriteFlags, 0);
    });
    written = written && Sync(descriptor) && WrittenFileHolds(temporary, options.check);
    bool placed = false;
    if (written) {
        DropStaleJournal(file.unixPath);
        // link() refuses an existing name: a file made meanwhile is not replaced.
        placed = file.replaceOnCommit ? rename(temporary.c_str(), file.unixPath.c_str()) == 0
                                      : link(temporary.c_str(), file.unixPath.c_str()) == 0;
        if (!placed)
            FailErrno(ERROR_CANNOT_MAKE);
    }
    if (!placed || !file.replaceOnCommit) {
        const DWORD kept = GetLastError();
        unlink(temporary.c_str());
        SetLastError(kept);
    }
    if (!placed) {
        close(descriptor);
        ResetNewWim(file);
        return false;
    }
    // The name now holds the new file; a lock on a replaced one goes.
    if (file.writerLock >= 0)
        close(file.writerLock);
    file.writerLock = -1;
    if (file.Writable())
        file.writerLock = descriptor;
    else
        close(descriptor);
    file.pending = false;
    const bool named = SyncFolderOf(file.unixPath);
    return Reload(file) && named;
}

bool Commit(WimFile& file, const CommitOptions& options)
{
    if (file.pending)
        return CommitNewFile(file, options);
    if (file.writerLock < 0 || file.wim == nullptr)
        return Fail(ERROR_ACCESS_DENIED);
    file.xml.reset();
    if (!options.rebuild && AppendsInPlace(file.writerLock))
        return CommitInPlace(file, options);
    return CommitRebuild(file, options);
}

}  // namespace layer
