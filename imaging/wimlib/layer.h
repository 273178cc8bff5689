// The wimlib layer's own declarations, shared by its files and by nothing
// else: the program reaches the layer only through PlatformImagingLibrary().
//
// The program sees DOS paths, handles and Win32 last-error codes; wimlib sees
// Unix paths and its own WIMStruct. Each WIM handle owns one WimFile (the
// WIMStruct, the path and how the caller opened it); image handles share it,
// so the handles can be closed in any order. As in the system's library,
// what the handles change (a capture, image information, the boot image, a
// delete, exports into the file) is kept in memory and written once, all or
// nothing, when the WIM handle closes, or earlier, once, when a call needs
// the file as written (a split, a mount, an export out of it). A failed
// write is the close's failure, and the file is then as it was.
#pragma once

#include "base/text.h"
#include "imaging/wimgapi.h"
#include "imaging/wimlib/journal_format.h"

// wimlib.h picks wchar_t paths and its own timespec when it sees the Windows
// macros that winelib defines; the library itself is the Unix build (UTF-8).
#pragma push_macro("_WIN32")
#pragma push_macro("_WIN64")
#undef _WIN32
#undef _WIN64
#include <wimlib.h>
#pragma pop_macro("_WIN64")
#pragma pop_macro("_WIN32")

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace layer {

// ---------------------------------------------------------------------------
// Errors (errors.cpp)

DWORD Win32FromErrno(int error, DWORD fallback);
DWORD Win32FromWimlib(int code, int savedErrno);

// Sets the last error and returns FALSE, for one-line failure returns.
BOOL Fail(DWORD code);

// Runs one wimlib call; on failure the thread's last error tells why.
template <typename Call>
bool WimlibSucceeds(Call call)
{
    errno = 0;
    const int code = call();
    const int savedErrno = errno;
    if (code == 0)
        return true;
    SetLastError(Win32FromWimlib(code, savedErrno));
    return false;
}

// ---------------------------------------------------------------------------
// Paths (paths.cpp)

// A DOS path made full, of any length; a trailing backslash stays.
bool FullDosPath(PCWSTR path, WString& full);

// The Unix name of a DOS path, made full first.
bool UnixPathFromDos(PCWSTR path, std::string& unixPath);

// The DOS name Wine shows for a Unix path (the Unix path itself when it has
// none), for messages.
WString DosPathFromUnix(const std::string& unixPath);

// Windows refuses writes to a file with the read-only attribute even to an
// administrator; Wine shows a file without write bits as read-only.
bool FileIsWritable(const std::string& unixPath, const struct stat& status);

bool StartsWithWimMagic(const std::string& unixPath);
std::string FolderOf(const std::string& unixPath);

// ---------------------------------------------------------------------------
// Messages (messages.cpp)

// Sends one message to every listener of the WIM handle `wim` (and the
// process-wide ones); true when one of them answered abort.
bool Deliver(uintptr_t wim, DWORD message, WPARAM wParam, LPARAM lParam);

// WIM_MSG_ERROR for `path`, and what the listeners answered: skip (leave the
// item out and go on), abort, or neither (the call fails once it has named
// every such item).
enum class ErrorAnswer { Fail, Skip, Abort };
ErrorAnswer DeliverError(uintptr_t wim, const WCHAR* path, DWORD code);

// Drops the registrations made on a WIM handle that is being closed.
void DropCallbacksOf(uintptr_t wim);

// What wimlib's progress function needs to reach the right callbacks. One
// per WimFile; its calls are serialised by the file's lock, and each call
// that can be aborted starts it afresh with Begin().
struct ProgressContext {
    uintptr_t wim = 0;
    bool aborted = false;
    DWORD startTick = 0;

    void Begin()
    {
        aborted = false;
        startTick = GetTickCount();
    }
};

// WIM_MSG_PROGRESS's figures for `done` of `total` bytes since `startTick`:
// the percentage, and the milliseconds left at the pace so far.
struct ProgressFigures {
    WPARAM percent;
    LPARAM remaining;
};
ProgressFigures EstimateProgress(uint64_t done, uint64_t total, DWORD startTick);

// wimlib's progress messages told to the registered callbacks in the
// library's terms; `context` is a ProgressContext. An abort answer stops the
// running wimlib call with WIMLIB_ERR_ABORTED_BY_PROGRESS.
enum wimlib_progress_status ProgressBridge(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                           void* context);

// ---------------------------------------------------------------------------
// Open files and handles (handles.cpp)

struct WimFile;

// Registers wimlib's progress function on the file's WIMStruct and keeps it
// with the file (WimFile::progressFunction).
void RegisterProgress(WimFile& file, wimlib_progress_func_t function, void* context);

// The file's XML document, parsed (xml_store.cpp).
struct FileXml;

// A file added to a WIM handle with WIMSetReferenceFile: wimlib reads the
// data it holds as the handle's own. For a part of a split set its header
// tells whether the set is whole.
struct ReferencedFile {
    std::string unixPath;
    int openFlags = 0;
    uint8_t guid[WIMLIB_GUID_LEN] = {};
    unsigned partNumber = 0;
    unsigned totalParts = 0;
};

// A wimlib message the library printed while a write ran (wimlib_texts.h).
class WimlibTexts;

// What a commit must find in the file it wrote before keeping it. `written`
// is the written file, opened afresh; false, with the last error set, undoes
// the write.
using CommitCheck = std::function<bool(WIMStruct* written)>;

// The same for what needs only the written file's XML document and image
// count, read straight from the file without opening it in wimlib.
using XmlCheck = std::function<bool(WStringView xml, DWORD imageCount)>;

// An element of the file's XML document, parsed (xml_reader.h).
struct XmlNode;

// The changes made through a file's handles and not written yet, and what
// their write must do and find (kept_changes.cpp).
struct KeptChanges {
    bool any = false;
    bool rebuild = false;     // an image was deleted: the file is written anew
    int extraWriteFlags = 0;  // wimlib write flags a kept capture asks for
    std::vector<CommitCheck> checks;
    // The elements callers gave images, by index: the written file must hold them.
    std::vector<std::pair<DWORD, std::shared_ptr<const XmlNode>>> storedImages;
    // The progress function a kept capture registered, and its context, kept
    // alive until the write; told the files a failed write names.
    std::shared_ptr<void> progressOwner;
    std::function<void(WimlibTexts& texts, DWORD failure)> tellWriteFailure;
    // Set when a failed change took earlier unwritten ones with it: the
    // close then fails with it and writes nothing.
    DWORD lost = ERROR_SUCCESS;
};

struct WimFile {
    std::recursive_mutex lock;  // recursive: a callback may call back in on its own thread
    WIMStruct* wim = nullptr;   // null while the file cannot be read
    std::string unixPath;
    WString callerPath;
    DWORD access = 0;
    DWORD flags = 0;
    std::string temporaryPath;  // the caller's temporary folder
    struct stat identity = {};  // the file as last read, to notice rewrites by others
    ProgressContext progress;
    // The progress function registered on `wim` and its context, so that a
    // write run in a child (child_write.h) reports to it too.
    wimlib_progress_func_t progressFunction = ProgressBridge;
    void* progressContext = &progress;
    int writerLock = -1;  // open for writing: a descriptor holding the file's lock
    // A file being created lives in memory until its first commit writes it
    // whole under its name: a capture that fails leaves no file, and a file
    // it replaces stays as it was until the new one is complete.
    bool pending = false;
    bool replaceOnCommit = false;        // the first commit may replace a file of that name
    DWORD pendingCompression = 0;        // WIM_COMPRESS_*: wimlib tells a file's type only once written
    std::shared_ptr<const FileXml> xml;  // parsed on first use after each reading of the file
    // Images exported into this WIMStruct and not written yet. wimlib reads
    // their data from the sources' WIMStructs only when it writes, so each
    // source stays open and as it was read until then (`lentImages` there).
    std::vector<std::shared_ptr<WimFile>> exportSources;
    std::atomic<int> lentImages{0};
    KeptChanges kept;
    DWORD imagesWritten = 0;  // the image count of the file as last read
    // What the check of all the file's data found (apply.cpp): wimlib checks
    // a file's data in one pass, solid blocks read once, and each image's
    // check names its own entries from it. Kept while this WIMStruct is.
    struct DataCheck {
        bool done = false;
        DWORD failure = ERROR_SUCCESS;
        bool hashKnown = false;  // the damaged data's hash, from wimlib's text
        uint8_t hash[20] = {};
        bool offsetKnown = false;  // ... or where its resource lies in the file
        uint64_t offset = 0;
        bool referenced = false;  // some image's entry holds the damaged data
        bool named = false;       // damage no entry holds was named once
    } dataCheck;
    // Referenced again whenever the file is read again.
    std::vector<ReferencedFile> references;

    WimFile() = default;
    WimFile(const WimFile&) = delete;
    WimFile& operator=(const WimFile&) = delete;
    ~WimFile()
    {
        if (wim != nullptr)
            wimlib_free(wim);
        wim = nullptr;
        ForgetUnwrittenExports();
        if (writerLock >= 0)
            close(writerLock);
    }

    // Once the WIMStruct holding unwritten exports is gone (freed, or written
    // and read again), their sources are free to change or go.
    void ForgetUnwrittenExports()
    {
        for (const auto& source : exportSources)
            --source->lentImages;
        exportSources.clear();
    }

    bool Writable() const { return (access & WIM_GENERIC_WRITE) != 0; }
};

// What the XML document shows while changes are kept: the element of the
// image just added at the end, with what wimlib knows of it before it is
// written, and a deleted image's element gone, the later ones numbered
// again. Where the document cannot be read the file's own is shown.
void ShowAddedImageXml(WimFile& file);
void ShowDeletedImageXml(WimFile& file, DWORD index);

// Whether a written file's XML document and image count hold the kept
// changes: the image count of memory, and each element a caller gave.
bool WrittenXmlHolds(const KeptChanges& kept, DWORD images, WStringView xml, DWORD imageCount);

enum class HandleKind { Wim, Image, Find };

// The mount an image handle from WIMGetMountedImageHandle stands for (mount.cpp).
struct MountedImage;

// What a find handle still has to hand out (browse.cpp).
struct FoundEntries;

struct HandleEntry {
    HandleKind kind;
    std::shared_ptr<WimFile> file;
    DWORD index = 0;  // image handles; follows deletes of earlier images, under the file's lock
    std::shared_ptr<MountedImage> mount;  // image handles of a mounted image only
    std::shared_ptr<FoundEntries> found;  // find handles only
};

// The entry of a handle of the given kind, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<HandleEntry> Lookup(HANDLE handle, HandleKind kind);
std::shared_ptr<HandleEntry> LookupAny(HANDLE handle);

// The image handles open on one file.
std::vector<std::shared_ptr<HandleEntry>> ImageHandlesOf(const WimFile* file);

// Whether a WIM handle is open on the file.
bool HasWimHandle(const WimFile* file);

// A new handle for an entry.
HANDLE AddHandle(std::shared_ptr<HandleEntry> entry);

// Once, before the first WIMStruct.
void EnsureWimlib();

// Reads the file into a fresh WIMStruct that replaces the old one, freed
// first; on a failure there is none.
bool ReadWimFile(WimFile& file, bool checkIntegrity);

// Opens the file under its name into a new WIMStruct, as ReadWimFile opens
// it (write access when writable, messages bridged); nullptr with the last
// error set.
WIMStruct* OpenWimStruct(WimFile& file, bool checkIntegrity);

// Makes `wim`, opened from the file as it is now under its name, the file's
// WIMStruct in place of the old one.
void AdoptWimStruct(WimFile& file, WIMStruct* wim);

// Throws away what memory holds and reads the file again. The caller's last
// error stays unless reading fails. Changes kept unwritten go with it, and
// the WIM handle's close then fails with the caller's last error.
bool Reload(WimFile& file);

// Frees the WIMStruct after the write at a close: the next call that needs
// the file reads it again (Current).
void Unload(WimFile& file);

// Makes sure the WIMStruct shows the file as it is now: another handle may
// have rewritten it since.
bool Current(WimFile& file);

// The start of an entry point on a handle: the handle looked up, its file
// locked for the call and made current; for a change, the file open for
// writing (else ERROR_ACCESS_DENIED). False when any of it failed, with the
// last error set; the lock is held until the opening goes.
class EntryOpening {
public:
    enum class Use { Read, Change };
    EntryOpening(HANDLE handle, HandleKind kind, Use use = Use::Read);
    explicit operator bool() const { return ready_; }
    HandleEntry& entry() const { return *entry_; }
    WimFile& file() const { return *entry_->file; }

private:
    std::shared_ptr<HandleEntry> entry_;
    std::unique_lock<std::recursive_mutex> lock_;
    bool ready_ = false;
};

// Adds the files referenced on the handle to a WIMStruct just opened from it.
bool ReferenceFiles(WIMStruct* wim, const std::vector<ReferencedFile>& references);

// A file already made current that is one part of a split set can give an
// image only when it is the first part and every other part of its set is
// referenced; false otherwise, with ERROR_NOT_SUPPORTED.
bool SetIsWhole(WimFile& file);

// Whether the file at `unixPath` holds solid resources, from its header
// alone; false when it cannot be read.
bool HeaderSaysSolid(const std::string& unixPath);

// Image count of a file already made current, or 0 with the last error set.
DWORD ImageCountOf(WimFile& file);

// A file already made current that holds solid resources (an ESD): wimlib
// keeps writing such a file solid, but some changes cannot be made in it.
bool IsSolid(WimFile& file);

// Refuses `what` on a solid file in words, told to the file's listeners as an
// error with its path, and fails with ERROR_BAD_FORMAT, as Windows' library
// does for a solid file it cannot change. Nothing is written.
bool RefuseSolid(WimFile& file, const char* what);

// ---------------------------------------------------------------------------
// Commits (commits.cpp), the write journal (journal.cpp), the writer's lock
// (writer_lock.cpp) and new files (new_files.cpp)
//
// Every write that reaches a WIM goes through Commit (or, for a write that
// wimlib makes by itself, InPlaceWrite), so that after a failure, a kill or a
// full disk the file is the old one or the new one, whole.

struct CommitOptions {
    bool rebuild = false;  // a whole new file (after a delete) rather than an append in place
    CommitCheck check;
    int extraWriteFlags = 0;  // wimlib write flags beyond the usual ones (progress messages)
    XmlCheck xmlCheck = {};
    bool readAgain = true;  // false: the written file is left unread (Unload)
};

// Marks the file's WIMStruct as changed and not yet written.
void KeepChange(WimFile& file);

// Whether the WIMStruct holds changes or exports not yet written.
bool HasKeptChanges(const WimFile& file);

// Writes every kept change and export in one commit; true when there were
// none. On failure none of them is in the file, and memory shows the file
// again. `readAgain` false leaves the written file unread, for a close.
bool WriteKeptChanges(WimFile& file, bool readAgain = true);

// Writes the WIMStruct's changes into the file and reads it back. An append
// in place (new XML, a boot index, added images or data) is journalled; a
// rebuild goes into a new file that is renamed over the WIM. On failure the
// file is the old one, memory is read from it again and the last error says
// why. The file must be open for writing (it holds the writer's lock).
bool Commit(WimFile& file, const CommitOptions& options = {});

// The journal around an in-place write that wimlib makes by itself, outside
// Commit: Begin before it, NoteWrittenHeader once it returned, then Keep
// once it succeeded, or Undo. The descriptor is open for writing on the WIM;
// the WIM's writer's lock is held by the caller or by its mount's helper.
// The journal stays locked until the write is settled, so that a journal
// whose lock can be taken is known for a leftover of a writer that is gone.
class InPlaceWrite {
public:
    InPlaceWrite() = default;
    InPlaceWrite(const InPlaceWrite&) = delete;
    InPlaceWrite& operator=(const InPlaceWrite&) = delete;
    ~InPlaceWrite();  // a write neither kept nor undone leaves its journal

    bool Begin(const std::string& unixPath, int descriptor);
    bool NoteWrittenHeader();  // adds the header the write put in place to the journal
    bool Keep();               // syncs the WIM, then drops the journal
    bool Undo();               // puts the old bytes back; else the journal stays for the next open
    void Release();            // lets go of a journal neither kept nor undone, for the next to settle it
    bool Drop();               // the journal goes: it speaks of a file no longer under the name

private:
    std::string unixPath_;
    int descriptor_ = -1;
    int journalDescriptor_ = -1;
    size_t journalSize_ = 0;
    std::string checksum_;  // the journal's last 8 bytes, which its appendix repeats
    bool newHeaderNoted_ = false;
    journal::Record record_;
};

// The journal's name beside a WIM (a mount's helper waits for it to go).
std::string JournalPathOf(const std::string& unixPath);

// Takes the file's writer's lock: an open-file-description lock, which other
// threads and other processes see alike. ERROR_SHARING_VIOLATION while
// another writer holds it.
bool TakeWriterLock(WimFile& file);

// Puts back or removes what killed writes left beside the file: a journal
// is rolled back (by a reader too, when no writer holds the file), and with
// the writer's lock held, abandoned temporary files are removed.
bool PutBackLeftovers(WimFile& file);

// A new WIM file with no images, kept in memory (pending) until the first
// commit writes it in full before its name appears; `replace` lets that
// commit replace an existing file of that name. The folder is tried first,
// so a file that could never be written is refused here.
bool StartNewWim(WimFile& file, DWORD compression, bool replace);

// A pending file's WIMStruct back to an empty one of the same compression,
// after a change that did not reach the disk.
bool ResetNewWim(WimFile& file);

// Every sync that a commit makes goes through here, so that tests can watch
// their order and stop the process at any of them.
extern int (*SyncDescriptor)(int descriptor);

// ---------------------------------------------------------------------------
// The calls, one file per family

#define LAYER_DECLARE(stem, field, result, failure, parameters, arguments)                                   \
    result WINAPI Layer##stem parameters;
WIMGAPI_ENTRY_POINTS(LAYER_DECLARE)
#undef LAYER_DECLARE

}  // namespace layer
