// The rollback journal of in-place writes.
#include "imaging/wimlib/journal.h"

#include "base/last_error.h"
#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/wim_header.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace layer {

namespace {

constexpr char kJournalSuffix[] = ".corvane-journal";

int SyncThroughHook(int descriptor)
{
    return SyncDescriptor(descriptor);
}

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

// What an in-place write of the WIM open on `descriptor` may overwrite,
// with what identifies the file.
bool RecordOf(int descriptor, journal::Record& record)
{
    struct stat status;
    if (fstat(descriptor, &status) != 0)
        return FailErrno(ERROR_READ_FAULT);
    record = journal::Record{};
    record.device = static_cast<uint64_t>(status.st_dev);
    record.inode = static_cast<uint64_t>(status.st_ino);
    record.fileSize = static_cast<uint64_t>(status.st_size);
    record.savedHeader.assign(kHeaderSize, '\0');
    if (record.fileSize < kHeaderSize || !ReadAt(descriptor, record.savedHeader.data(), kHeaderSize, 0))
        return Fail(ERROR_FILE_CORRUPT);
    record.tailStart =
        TailStart(reinterpret_cast<const unsigned char*>(record.savedHeader.data()), record.fileSize);
    record.tail.assign(record.fileSize - record.tailStart, '\0');
    return ReadAt(descriptor, record.tail.data(), record.tail.size(), record.tailStart);
}

// A journal whose lock can be taken has no live writer; the descriptor
// holding that lock, or -1.
int LockLeftover(const std::string& journalPath)
{
    const int descriptor = open(journalPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return -1;
    if (TryLock(descriptor) == LockResult::Taken)
        return descriptor;
    close(descriptor);
    return -1;
}

}  // namespace

std::string JournalPathOf(const std::string& unixPath)
{
    return unixPath + kJournalSuffix;
}

JournalState ReadJournal(const std::string& journalPath, journal::Record& record)
{
    std::string bytes;
    if (!ReadWholeFile(journalPath, bytes))
        return errno == ENOENT ? JournalState::Absent : JournalState::Foreign;
    switch (journal::Decode(bytes, record)) {
    case journal::Parse::Valid:
        return JournalState::Valid;
    case journal::Parse::Torn:
        return JournalState::Torn;
    default:
        return JournalState::Foreign;
    }
}

bool DropJournal(const std::string& unixPath, int journal)
{
    errno = 0;
    if (!RemoveIfSame(journal, JournalPathOf(unixPath)) && errno != 0 && errno != ENOENT)
        return FailErrno(ERROR_ACCESS_DENIED);
    return SyncFolderOf(unixPath);
}

void DropStaleJournal(const std::string& unixPath)
{
    const int held = LockLeftover(JournalPathOf(unixPath));
    if (held < 0)
        return;
    std::string bytes;
    journal::Record ignored;
    if (ReadWholeDescriptor(held, bytes)) {
        const journal::Parse parse = journal::Decode(bytes, ignored);
        if (parse == journal::Parse::Valid || parse == journal::Parse::Torn)
            RemoveIfSame(held, JournalPathOf(unixPath));
    }
    close(held);
}

bool SettleLeftoverJournal(const std::string& unixPath, const WString& callerPath, int descriptor)
{
    const std::string journalPath = JournalPathOf(unixPath);
    const int held = LockLeftover(journalPath);
    if (held < 0)
        return true;  // none, or its writer still runs
    journal::Record record;
    const JournalState state = ReadJournal(journalPath, record);
    bool settled = true;
    if (state == JournalState::Torn) {
        // Never complete, so the WIM was not touched after it.
        settled = DropJournal(unixPath, held);
    } else if (state == JournalState::Valid && journal::Matches(descriptor, record)) {
        settled = (journal::PutBack(descriptor, record, SyncThroughHook) || FailErrno(ERROR_WRITE_FAULT)) &&
                  DropJournal(unixPath, held);
    } else if (state == JournalState::Valid) {
        // Another file has the name now, or another writer made this one
        // anew: the journal's bytes belong to neither.
        DropJournal(unixPath, held);
        const WString text =
            (callerPath.empty() ? WideFromUtf8(unixPath) : callerPath) +
            WSTR(": the journal of an interrupted write found beside this file was written for "
                 "a file that is no longer there (it was replaced or rewritten since); the "
                 "journal was removed, and the file left as it is");
        Deliver(0, WIM_MSG_WARNING, reinterpret_cast<WPARAM>(text.c_str()), ERROR_FILE_INVALID);
        SetLastError(ERROR_SUCCESS);
    }
    LastErrorKept error;
    close(held);
    return settled;
}

InPlaceWrite::~InPlaceWrite()
{
    Release();
}

bool InPlaceWrite::Drop()
{
    const bool dropped = journalDescriptor_ < 0 || DropJournal(unixPath_, journalDescriptor_);
    Release();
    return dropped;
}

void InPlaceWrite::Release()
{
    if (journalDescriptor_ >= 0)
        close(journalDescriptor_);
    journalDescriptor_ = -1;
}

bool InPlaceWrite::Begin(const std::string& unixPath, int descriptor)
{
    unixPath_ = unixPath;
    descriptor_ = descriptor;
    newHeaderNoted_ = false;
    if (!RecordOf(descriptor, record_))
        return false;
    const std::string journalPath = JournalPathOf(unixPath);
    int out = open(journalPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0 && errno == EEXIST) {
        // A killed writer's journal: settled first, as the next open would.
        if (!SettleLeftoverJournal(unixPath, WString(), descriptor) || !RecordOf(descriptor, record_))
            return false;
        out = open(journalPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (out < 0)
        return FailErrno(ERROR_CANNOT_MAKE);
    // Held until the write is settled: a journal whose lock can be taken is
    // a leftover of a writer that is gone.
    if (TryLock(out) != LockResult::Taken) {
        RemoveIfSame(out, journalPath);
        close(out);
        return Fail(ERROR_SHARING_VIOLATION);
    }
    const std::string bytes = journal::Encode(record_);
    checksum_ = bytes.substr(bytes.size() - 8);
    journalSize_ = bytes.size();
    bool saved = WriteAt(out, bytes.data(), bytes.size(), 0) && Sync(out);
    saved = saved && SyncFolderOf(unixPath);
    if (!saved) {
        LastErrorKept error;
        RemoveIfSame(out, journalPath);
        close(out);
        return false;
    }
    journalDescriptor_ = out;
    return true;
}

bool InPlaceWrite::NoteWrittenHeader()
{
    if (journalDescriptor_ < 0 || newHeaderNoted_)
        return true;
    const std::string header = journal::CurrentHeader(descriptor_);
    if (header.empty() || journal::IsSavedHeader(header, record_))
        return true;
    // Put in place by the write: without it in the journal, a kill while
    // the old bytes go back would leave a file the journal no longer knows.
    const std::string appendix = journal::EncodeAppendix(checksum_, header);
    if (!WriteAt(journalDescriptor_, appendix.data(), appendix.size(), journalSize_) ||
        !Sync(journalDescriptor_))
        return false;
    record_.newHeader = header;
    newHeaderNoted_ = true;
    return true;
}

bool InPlaceWrite::Keep()
{
    const bool kept = Sync(descriptor_) && DropJournal(unixPath_, journalDescriptor_);
    if (kept) {
        close(journalDescriptor_);
        journalDescriptor_ = -1;
    }
    return kept;
}

bool InPlaceWrite::Undo()
{
    {
        LastErrorKept error;
        NoteWrittenHeader();
    }
    if (!journal::PutBack(descriptor_, record_, SyncThroughHook))
        return FailErrno(ERROR_WRITE_FAULT);
    if (!DropJournal(unixPath_, journalDescriptor_))
        return false;
    close(journalDescriptor_);
    journalDescriptor_ = -1;
    return true;
}

}  // namespace layer
