// Writing a WimFile's changes to disk, all or nothing.
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
//   the same way (SQLite's rollback journal), but only while it still speaks
//   of the file under the name (journal_format.h).
// Either write runs in a child process that an abort kills (child_write.h):
// wimlib alone would finish the solid chunk it is compressing first.
#include "imaging/wimlib/child_write.h"
#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/journal.h"
#include "imaging/wimlib/wim_header.h"
#include "imaging/wimlib/write_behind.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace layer {

namespace {

int WriteFlags(const WimFile& file)
{
    int flags = WIMLIB_WRITE_FLAG_FSYNC;
    if (file.flags & WIM_FLAG_VERIFY)
        flags |= WIMLIB_WRITE_FLAG_CHECK_INTEGRITY;
    // A new LZMS file asked to be solid is written so, with wimlib's default
    // solid chunk size (the one Windows Setup reads). A file that holds solid
    // resources already stays solid without being asked: wimlib's own rule.
    if ((file.flags & WIM_FLAG_SOLID) && file.pending && file.pendingCompression == WIM_COMPRESS_LZMS)
        flags |= WIMLIB_WRITE_FLAG_SOLID;
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

// Shows the written file, opened, to the caller's check; a WIMStruct that
// fails it is freed, the check's error kept.
bool PassesCheck(WIMStruct* written, const CommitCheck& check)
{
    if (check(written))
        return true;
    const DWORD error = GetLastError();
    wimlib_free(written);
    SetLastError(error);
    return false;
}

// The XML resource's flag for data stored compressed: wimlib always writes
// the XML uncompressed, so a written file that says otherwise is refused.
constexpr unsigned char kCompressedResource = 0x04;

// The written file's XML document and image count, read from the file
// itself: cheaper than opening it in wimlib, which reads its whole blob
// table too.
bool ReadWrittenXml(int descriptor, WString& xml, DWORD& imageCount)
{
    unsigned char header[kHeaderSize];
    if (!ReadAt(descriptor, header, sizeof header, 0))
        return FailErrno(ERROR_READ_FAULT);
    imageCount = static_cast<DWORD>(Little(header + kImageCountField, 4));
    const Span span = SpanAt(header, kXmlEntry);
    if ((header[kXmlEntry + 7] & kCompressedResource) != 0 || span.size % sizeof(WCHAR) != 0)
        return Fail(ERROR_INVALID_DATA);
    xml.assign(span.size / sizeof(WCHAR), WCHAR{});
    if (!ReadAt(descriptor, xml.data(), span.size, span.offset))
        return FailErrno(ERROR_READ_FAULT);
    if (!xml.empty() && xml[0] == 0xFEFF)
        xml.erase(0, 1);
    return true;
}

// Lets the caller's XML check see the written file.
bool WrittenXmlPasses(int descriptor, const XmlCheck& check)
{
    if (!check)
        return true;
    WString xml;
    DWORD imageCount = 0;
    return ReadWrittenXml(descriptor, xml, imageCount) && check(xml, imageCount);
}

// Memory after a kept write: the file read again, or left unread when the
// write was the handle's last act.
bool Settle(WimFile& file, const CommitOptions& options)
{
    if (options.readAgain)
        return Reload(file);
    Unload(file);
    return true;
}

// Opens the written file and lets the caller's check see it.
bool WrittenFileHolds(const std::string& path, const CommitCheck& check)
{
    if (!check)
        return true;
    WIMStruct* written = nullptr;
    if (!WimlibSucceeds([&] { return wimlib_open_wim(path.c_str(), 0, &written); }) ||
        !PassesCheck(written, check))
        return false;
    wimlib_free(written);
    return true;
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

// The file written in place, opened again and shown to the caller's check;
// the WIMStruct that passed it in `readBack`, to become the file's own (the
// library allows nothing but freeing the one that wrote). Without a check
// nothing is opened.
bool ReadBackHolds(WimFile& file, const CommitCheck& check, WIMStruct*& readBack)
{
    readBack = nullptr;
    if (!check)
        return true;
    WIMStruct* written = OpenWimStruct(file, false);
    if (written == nullptr || !PassesCheck(written, check))
        return false;
    readBack = written;
    return true;
}

bool CommitInPlace(WimFile& file, const CommitOptions& options)
{
    InPlaceWrite journal;
    if (!journal.Begin(file.unixPath, file.writerLock))
        return false;
    file.progress.Begin();
    bool written = false;
    {
        WriteBehind behind(file.writerLock);
        written = WimlibSucceeds([&] {
            return WriteInChild(file, [&] {
                return wimlib_overwrite(file.wim, WriteFlags(file) | options.extraWriteFlags, 0);
            });
        });
    }
    const bool sameFile = SameInode(file.writerLock, file.unixPath);
    if (sameFile)
        journal.NoteWrittenHeader();
    if (written && !sameFile) {
        // wimlib rebuilt after all and renamed a complete, synced file over
        // the WIM: the journal speaks of the old file.
        journal.Drop();
        const bool locked = RelockRenamedFile(file);
        return Settle(file, options) && locked;
    }
    WIMStruct* readBack = nullptr;
    written = written && WrittenXmlPasses(file.writerLock, options.xmlCheck) &&
              ReadBackHolds(file, options.check, readBack);
    if (!written) {
        const DWORD error = GetLastError();
        journal.Undo();
        Reload(file);
        SetLastError(error);
        return false;
    }
    const bool kept = journal.Keep();
    if (readBack == nullptr)
        return Settle(file, options) && kept;
    AdoptWimStruct(file, readBack);  // read once, not twice, after each change
    return kept;
}

// Writes the whole WIM into a new locked temporary file beside it, synced
// and checked. Returns its descriptor, or -1 with no file left and the last
// error set.
int WriteWholeTemporary(WimFile& file, const CommitOptions& options, mode_t mode, TemporaryRecord& temporary)
{
    const int descriptor = CreateLockedTemporary(file.unixPath, mode, temporary);
    if (descriptor < 0)
        return -1;
    file.progress.Begin();
    bool written = false;
    {
        WriteBehind behind(descriptor);
        written = WimlibSucceeds([&] {
            return WriteInChild(file, [&] {
                return wimlib_write(
                    file.wim, temporary.path().c_str(), WIMLIB_ALL_IMAGES,
                    WriteFlags(file) | WIMLIB_WRITE_FLAG_RETAIN_GUID | options.extraWriteFlags, 0);
            });
        });
    }
    if (written && Sync(descriptor) && WrittenXmlPasses(descriptor, options.xmlCheck) &&
        WrittenFileHolds(temporary.path(), options.check))
        return descriptor;
    temporary.RemoveFile(descriptor);
    return -1;
}

bool CommitRebuild(WimFile& file, const CommitOptions& options)
{
    struct stat status;
    if (fstat(file.writerLock, &status) != 0)
        return FailErrno(ERROR_READ_FAULT);
    TemporaryRecord temporary;
    const int descriptor = WriteWholeTemporary(file, options, status.st_mode, temporary);
    bool placed = descriptor >= 0;
    if (placed) {
        // Keep the owner too where we may (as root); elsewhere the file is ours anyway.
        if (fchown(descriptor, status.st_uid, status.st_gid) != 0)
            errno = 0;
        placed =
            rename(temporary.path().c_str(), file.unixPath.c_str()) == 0 || FailErrno(ERROR_ACCESS_DENIED);
        if (!placed)
            temporary.RemoveFile(descriptor);
    }
    if (!placed) {
        const DWORD error = GetLastError();
        Reload(file);
        SetLastError(error);
        return false;
    }
    temporary.Drop();
    // The new file has the name and our lock; the old one goes.
    close(file.writerLock);
    file.writerLock = descriptor;
    const bool named = SyncFolderOf(file.unixPath);
    return Settle(file, options) && named;
}

// The first write of a pending file: the whole WIM into a locked temporary
// beside the name, synced and checked, then given the name (never over a
// file made meanwhile, unless the caller asked to replace one).
bool CommitNewFile(WimFile& file, const CommitOptions& options)
{
    const mode_t mask = umask(0);
    umask(mask);
    TemporaryRecord temporary;
    const int descriptor = WriteWholeTemporary(file, options, 0666 & ~mask, temporary);
    if (descriptor < 0) {
        ResetNewWim(file);
        return false;
    }
    DropStaleJournal(file.unixPath);
    // link() refuses an existing name: a file made meanwhile is not replaced.
    const char* made = temporary.path().c_str();
    const bool placed = file.replaceOnCommit ? rename(made, file.unixPath.c_str()) == 0
                                             : link(made, file.unixPath.c_str()) == 0;
    if (!placed) {
        FailErrno(ERROR_CANNOT_MAKE);
        temporary.RemoveFile(descriptor);
        ResetNewWim(file);
        return false;
    }
    if (!file.replaceOnCommit) {
        const DWORD kept = GetLastError();
        RemoveIfSame(descriptor, temporary.path());
        SetLastError(kept);
    }
    temporary.Drop();
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
    return Settle(file, options) && named;
}

}  // namespace

bool Commit(WimFile& file, const CommitOptions& options)
{
    // Reading the file again would free a WIMStruct that another file's
    // unwritten exports still read from.
    if (file.lentImages > 0)
        return Fail(ERROR_SHARING_VIOLATION);
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
