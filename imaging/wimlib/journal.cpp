// The rollback journal of in-place writes.
#include "imaging/wimlib/journal.h"

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
constexpr char kJournalMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', '0', '1'};
constexpr size_t kJournalFixed = sizeof kJournalMagic + 3 * 8;

void PutLittle(std::string& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
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

std::string JournalBytes(const Journal& journal)
{
    std::string bytes(kJournalMagic, sizeof kJournalMagic);
    PutLittle(bytes, journal.fileSize);
    PutLittle(bytes, journal.tailStart);
    PutLittle(bytes, journal.tail.size());
    bytes += journal.header;
    bytes += journal.tail;
    PutLittle(bytes, Fnv1a(bytes));
    return bytes;
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

}  // namespace

std::string JournalPathOf(const std::string& unixPath)
{
    return unixPath + kJournalSuffix;
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
        Little(raw + bytes.size() - 8, 8) != Fnv1a(bytes.substr(0, bytes.size() - 8)) ||
        journal.tailStart + tailSize != journal.fileSize)
        return JournalState::Torn;
    journal.header = bytes.substr(kJournalFixed, kHeaderSize);
    journal.tail = bytes.substr(kJournalFixed + kHeaderSize, tailSize);
    return JournalState::Valid;
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

}  // namespace layer
