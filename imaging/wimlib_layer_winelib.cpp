// The imaging library's calls done with wimlib, for the linux build.
//
// The program sees DOS paths, handles and Win32 last-error codes; wimlib sees
// Unix paths and its own WIMStruct. Each WIM handle owns one WimFile (the
// WIMStruct, the path and how the caller opened it); image handles share it,
// so the handles can be closed in any order. Every change is written with
// wimlib_overwrite inside the call that makes it, and the file is read again
// afterwards, so memory and disk agree whether the write worked or not.
#include "app/text.h"
#include "imaging/wimgapi.h"

// wimlib.h picks wchar_t paths and its own timespec when it sees the Windows
// macros that winelib defines; the library itself is the Unix build (UTF-8).
#pragma push_macro("_WIN32")
#pragma push_macro("_WIN64")
#undef _WIN32
#undef _WIN64
#include <wimlib.h>
#pragma pop_macro("_WIN64")
#pragma pop_macro("_WIN32")

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Last-error codes

// How one wimlib error reads as a Win32 error. Entries marked fromErrno come
// from a failed system call; the errno it left picks the closer code.
struct ErrorMapping {
    int wimlib;
    DWORD win32;
    bool fromErrno = false;
};

constexpr ErrorMapping kErrorTable[] = {
    {.wimlib = WIMLIB_ERR_SUCCESS, .win32 = ERROR_SUCCESS},
    {.wimlib = WIMLIB_ERR_ALREADY_LOCKED, .win32 = ERROR_SHARING_VIOLATION},
    {.wimlib = WIMLIB_ERR_DECOMPRESSION, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_FUSE, .win32 = ERROR_GEN_FAILURE},
    {.wimlib = WIMLIB_ERR_GLOB_HAD_NO_MATCHES, .win32 = ERROR_FILE_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_IMAGE_COUNT, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_IMAGE_NAME_COLLISION, .win32 = ERROR_ALREADY_EXISTS},
    {.wimlib = WIMLIB_ERR_INSUFFICIENT_PRIVILEGES, .win32 = ERROR_PRIVILEGE_NOT_HELD},
    {.wimlib = WIMLIB_ERR_INTEGRITY, .win32 = ERROR_CRC},
    {.wimlib = WIMLIB_ERR_INVALID_CAPTURE_CONFIG, .win32 = ERROR_INVALID_DATA},
    {.wimlib = WIMLIB_ERR_INVALID_CHUNK_SIZE, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_COMPRESSION_TYPE, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_HEADER, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_INVALID_IMAGE, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_INTEGRITY_TABLE, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_INVALID_LOOKUP_TABLE_ENTRY, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_INVALID_METADATA_RESOURCE, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_INVALID_OVERLAY, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_PARAM, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_INVALID_PART_NUMBER, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_INVALID_PIPABLE_WIM, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_INVALID_REPARSE_DATA, .win32 = ERROR_INVALID_REPARSE_DATA},
    {.wimlib = WIMLIB_ERR_INVALID_RESOURCE_HASH, .win32 = ERROR_CRC},
    {.wimlib = WIMLIB_ERR_INVALID_UTF16_STRING, .win32 = ERROR_NO_UNICODE_TRANSLATION},
    {.wimlib = WIMLIB_ERR_INVALID_UTF8_STRING, .win32 = ERROR_NO_UNICODE_TRANSLATION},
    {.wimlib = WIMLIB_ERR_IS_DIRECTORY, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_IS_SPLIT_WIM, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_LINK, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_METADATA_NOT_FOUND, .win32 = ERROR_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_MKDIR, .win32 = ERROR_CANNOT_MAKE, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_MQUEUE, .win32 = ERROR_GEN_FAILURE},
    {.wimlib = WIMLIB_ERR_NOMEM, .win32 = ERROR_NOT_ENOUGH_MEMORY},
    {.wimlib = WIMLIB_ERR_NOTDIR, .win32 = ERROR_DIRECTORY},
    {.wimlib = WIMLIB_ERR_NOTEMPTY, .win32 = ERROR_DIR_NOT_EMPTY},
    {.wimlib = WIMLIB_ERR_NOT_A_REGULAR_FILE, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_NOT_A_WIM_FILE, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_NOT_PIPABLE, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_NO_FILENAME, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_NTFS_3G, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_OPEN, .win32 = ERROR_OPEN_FAILED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_OPENDIR, .win32 = ERROR_PATH_NOT_FOUND, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_PATH_DOES_NOT_EXIST, .win32 = ERROR_PATH_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_READ, .win32 = ERROR_READ_FAULT, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_READLINK, .win32 = ERROR_READ_FAULT, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_RENAME, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_REPARSE_POINT_FIXUP_FAILED, .win32 = ERROR_INVALID_REPARSE_DATA},
    {.wimlib = WIMLIB_ERR_RESOURCE_NOT_FOUND, .win32 = ERROR_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_RESOURCE_ORDER, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_SET_ATTRIBUTES, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SET_REPARSE_DATA, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SET_SECURITY, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SET_SHORT_NAME, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SET_TIMESTAMPS, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_SPLIT_INVALID, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_STAT, .win32 = ERROR_FILE_NOT_FOUND, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_UNEXPECTED_END_OF_FILE, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_UNICODE_STRING_NOT_REPRESENTABLE, .win32 = ERROR_NO_UNICODE_TRANSLATION},
    {.wimlib = WIMLIB_ERR_UNKNOWN_VERSION, .win32 = ERROR_BAD_FORMAT},
    {.wimlib = WIMLIB_ERR_UNSUPPORTED, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_UNSUPPORTED_FILE, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_WIM_IS_READONLY, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_WRITE, .win32 = ERROR_WRITE_FAULT, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_XML, .win32 = ERROR_INVALID_DATA},
    {.wimlib = WIMLIB_ERR_WIM_IS_ENCRYPTED, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_WIMBOOT, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_ABORTED_BY_PROGRESS, .win32 = ERROR_REQUEST_ABORTED},
    {.wimlib = WIMLIB_ERR_UNKNOWN_PROGRESS_STATUS, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_MKNOD, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_MOUNTED_IMAGE_IS_BUSY, .win32 = ERROR_BUSY},
    {.wimlib = WIMLIB_ERR_NOT_A_MOUNTPOINT, .win32 = ERROR_NOT_FOUND},
    {.wimlib = WIMLIB_ERR_NOT_PERMITTED_TO_UNMOUNT, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_FVE_LOCKED_VOLUME, .win32 = ERROR_ACCESS_DENIED},
    {.wimlib = WIMLIB_ERR_UNABLE_TO_READ_CAPTURE_CONFIG, .win32 = ERROR_READ_FAULT, .fromErrno = true},
    {.wimlib = WIMLIB_ERR_WIM_IS_INCOMPLETE, .win32 = ERROR_FILE_CORRUPT},
    {.wimlib = WIMLIB_ERR_COMPACTION_NOT_POSSIBLE, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_IMAGE_HAS_MULTIPLE_REFERENCES, .win32 = ERROR_INVALID_PARAMETER},
    {.wimlib = WIMLIB_ERR_DUPLICATE_EXPORTED_IMAGE, .win32 = ERROR_ALREADY_EXISTS},
    {.wimlib = WIMLIB_ERR_CONCURRENT_MODIFICATION_DETECTED, .win32 = ERROR_SHARING_VIOLATION},
    {.wimlib = WIMLIB_ERR_SNAPSHOT_FAILURE, .win32 = ERROR_NOT_SUPPORTED},
    {.wimlib = WIMLIB_ERR_INVALID_XATTR, .win32 = ERROR_INVALID_DATA},
    {.wimlib = WIMLIB_ERR_SET_XATTR, .win32 = ERROR_ACCESS_DENIED, .fromErrno = true},
};

DWORD Win32FromErrno(int error, DWORD fallback)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EBUSY:
        return ERROR_BUSY;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    default:
        return fallback;
    }
}

DWORD Win32FromWimlib(int code, int savedErrno)
{
    for (const ErrorMapping& mapping : kErrorTable) {
        if (mapping.wimlib == code)
            return mapping.fromErrno ? Win32FromErrno(savedErrno, mapping.win32) : mapping.win32;
    }
    return ERROR_GEN_FAILURE;
}

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

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

// ---------------------------------------------------------------------------
// Paths

// The Unix name of a DOS path, made full first. Wine gives no name when the
// parent folder is missing.
bool UnixPathFromDos(PCWSTR path, std::string& unixPath)
{
    if (path == nullptr || path[0] == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    WString full(needed, WCHAR{});
    const DWORD length = GetFullPathNameW(path, needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    full.resize(length);
    char* converted = wine_get_unix_file_name(full.c_str());
    if (converted == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    unixPath = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return true;
}

// Windows refuses writes to a file with the read-only attribute even to an
// administrator; Wine shows a file without write bits as read-only. Honour
// that here too, since running as root would otherwise ignore it.
bool FileIsWritable(const std::string& unixPath, const struct stat& status)
{
    return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && access(unixPath.c_str(), W_OK) == 0;
}

bool StartsWithWimMagic(const std::string& unixPath)
{
    static const char kMagic[8] = {'M', 'S', 'W', 'I', 'M', 0, 0, 0};
    static const char kPipableMagic[8] = {'W', 'L', 'P', 'W', 'M', 0, 0, 0};
    char start[8] = {};
    const int descriptor = open(unixPath.c_str(), O_RDONLY);
    if (descriptor < 0)
        return false;
    const ssize_t got = read(descriptor, start, sizeof start);
    close(descriptor);
    return got == sizeof start && (std::memcmp(start, kMagic, sizeof start) == 0 ||
                                   std::memcmp(start, kPipableMagic, sizeof start) == 0);
}

std::string FolderOf(const std::string& unixPath)
{
    const size_t slash = unixPath.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : unixPath.substr(0, slash);
}

// ---------------------------------------------------------------------------
// Message callbacks

struct Registration {
    uintptr_t wim;  // 0: every operation of the process
    WIMMessageCallback callback;
    PVOID userData;
};

class CallbackRegistry {
public:
    DWORD Add(uintptr_t wim, WIMMessageCallback callback, PVOID userData)
    {
        std::lock_guard<std::mutex> guard(lock_);
        registrations_.push_back({wim, callback, userData});
        return static_cast<DWORD>(registrations_.size() - 1);
    }

    // A null callback drops every registration made on the handle.
    bool Remove(uintptr_t wim, WIMMessageCallback callback)
    {
        std::lock_guard<std::mutex> guard(lock_);
        const size_t before = registrations_.size();
        std::erase_if(registrations_, [&](const Registration& entry) {
            return entry.wim == wim && (callback == nullptr || entry.callback == callback);
        });
        return registrations_.size() != before;
    }

    void DropHandle(uintptr_t wim)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::erase_if(registrations_, [&](const Registration& entry) { return entry.wim == wim; });
    }

    // The listeners of one WIM: its own and the process-wide ones. A copy, so
    // callbacks run without the lock and may register or unregister.
    std::vector<Registration> Listeners(uintptr_t wim)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Registration> listeners;
        for (const Registration& entry : registrations_) {
            if (entry.wim == 0 || entry.wim == wim)
                listeners.push_back(entry);
        }
        return listeners;
    }

private:
    std::mutex lock_;
    std::vector<Registration> registrations_;
};

CallbackRegistry& Callbacks()
{
    static CallbackRegistry registry;
    return registry;
}

// Sends one message to every listener; true when one of them answered abort.
bool Deliver(uintptr_t wim, DWORD message, WPARAM wParam, LPARAM lParam)
{
    bool abort = false;
    for (const Registration& listener : Callbacks().Listeners(wim)) {
        if (listener.callback(message, wParam, lParam, listener.userData) == WIM_MSG_ABORT_IMAGE)
            abort = true;
    }
    return abort;
}

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

// wimlib's progress messages, told to the registered callbacks in the
// library's terms. Capture, apply, export and split add their messages here
// (scanning, per-item processing, split parts); an abort answer to any of
// them stops the running wimlib call with WIMLIB_ERR_ABORTED_BY_PROGRESS.
enum wimlib_progress_status ProgressBridge(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                           void* context)
{
    auto* progress = static_cast<ProgressContext*>(context);
    bool abort = false;
    switch (message) {
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS: {
        const uint64_t done = info->write_streams.completed_bytes;
        const uint64_t total = info->write_streams.total_bytes;
        const WPARAM percent = total == 0 ? 100 : static_cast<WPARAM>(done * 100 / total);
        const uint64_t elapsed = GetTickCount() - progress->startTick;
        const LPARAM remaining = done == 0 ? 0 : static_cast<LPARAM>(elapsed * (total - done) / done);
        abort = Deliver(progress->wim, WIM_MSG_PROGRESS, percent, remaining);
        break;
    }
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_BEGIN:
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_END:
    case WIMLIB_PROGRESS_MSG_CALC_INTEGRITY:
    case WIMLIB_PROGRESS_MSG_VERIFY_INTEGRITY:
        abort = Deliver(progress->wim, WIM_MSG_QUERY_ABORT, 0, 0);
        break;
    default:
        // RENAME and the messages after it come once the new file is in
        // place: an abort there would report a change that happened anyway.
        return WIMLIB_PROGRESS_STATUS_CONTINUE;
    }
    if (abort)
        progress->aborted = true;
    return progress->aborted ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// ---------------------------------------------------------------------------
// Open files and handles

struct WimFile {
    std::recursive_mutex lock;  // recursive: a callback may call back in on its own thread
    WIMStruct* wim = nullptr;   // null while the file cannot be read
    std::string unixPath;
    WString callerPath;
    DWORD access = 0;
    DWORD flags = 0;
    std::string temporaryPath;  // for the calls still to come; wimlib rewrites beside the WIM itself
    struct stat identity = {};  // the file as last read, to notice rewrites by others
    ProgressContext progress;

    WimFile() = default;
    WimFile(const WimFile&) = delete;
    WimFile& operator=(const WimFile&) = delete;
    ~WimFile()
    {
        if (wim != nullptr)
            wimlib_free(wim);
    }

    bool Writable() const { return (access & WIM_GENERIC_WRITE) != 0; }
};

enum class HandleKind { Wim, Image };

struct HandleEntry {
    HandleKind kind;
    std::shared_ptr<WimFile> file;
    DWORD index = 0;  // image handles; follows deletes of earlier images, under the file's lock
};

// Handles are opaque numbers, never addresses: a stale or made-up handle is
// looked up, not dereferenced. Numbers are not reused.
class HandleRegistry {
public:
    HANDLE Add(std::shared_ptr<HandleEntry> entry)
    {
        std::lock_guard<std::mutex> guard(lock_);
        const uintptr_t token = kTokenBase + (next_++ << 4);
        entries_.emplace(token, std::move(entry));
        return reinterpret_cast<HANDLE>(token);
    }

    std::shared_ptr<HandleEntry> Find(HANDLE handle)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = entries_.find(reinterpret_cast<uintptr_t>(handle));
        return found == entries_.end() ? nullptr : found->second;
    }

    std::shared_ptr<HandleEntry> Remove(HANDLE handle)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = entries_.find(reinterpret_cast<uintptr_t>(handle));
        if (found == entries_.end())
            return nullptr;
        std::shared_ptr<HandleEntry> entry = std::move(found->second);
        entries_.erase(found);
        return entry;
    }

    std::vector<std::shared_ptr<HandleEntry>> ImagesOf(const WimFile* file)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::shared_ptr<HandleEntry>> images;
        for (const auto& [token, entry] : entries_) {
            if (entry->kind == HandleKind::Image && entry->file.get() == file)
                images.push_back(entry);
        }
        return images;
    }

private:
    static constexpr uintptr_t kTokenBase = 0x5749'4d00'0000;
    std::mutex lock_;
    std::map<uintptr_t, std::shared_ptr<HandleEntry>> entries_;
    uintptr_t next_ = 1;
};

HandleRegistry& Handles()
{
    static HandleRegistry registry;
    return registry;
}

std::shared_ptr<HandleEntry> Lookup(HANDLE handle, HandleKind kind)
{
    std::shared_ptr<HandleEntry> entry = handle == nullptr ? nullptr : Handles().Find(handle);
    if (entry == nullptr || entry->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return entry;
}

std::shared_ptr<HandleEntry> LookupAny(HANDLE handle)
{
    std::shared_ptr<HandleEntry> entry = handle == nullptr ? nullptr : Handles().Find(handle);
    if (entry == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return entry;
}

// Once, before the first WIMStruct; a static's guard keeps racing first calls apart.
void EnsureWimlib()
{
    static const int initialized = wimlib_global_init(0);
    (void)initialized;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Reads the file into a fresh WIMStruct that replaces the old one.
bool ReadWimFile(WimFile& file, bool checkIntegrity)
{
    int openFlags = checkIntegrity ? WIMLIB_OPEN_FLAG_CHECK_INTEGRITY : 0;
    if (file.Writable())
        openFlags |= WIMLIB_OPEN_FLAG_WRITE_ACCESS;
    WIMStruct* wim = nullptr;
    file.progress.Begin();
    if (!WimlibSucceeds([&] {
            return wimlib_open_wim_with_progress(file.unixPath.c_str(), openFlags, &wim, ProgressBridge,
                                                 &file.progress);
        }))
        return false;
    if (file.wim != nullptr)
        wimlib_free(file.wim);
    file.wim = wim;
    stat(file.unixPath.c_str(), &file.identity);
    return true;
}

// Throws away what memory holds and reads the file again, after a write or
// after a change that could not be completed. The caller's last error stays
// unless reading fails; then every call tries again until the file reads.
bool Reload(WimFile& file)
{
    const DWORD kept = GetLastError();
    if (ReadWimFile(file, false)) {
        SetLastError(kept);
        return true;
    }
    if (file.wim != nullptr) {
        wimlib_free(file.wim);
        file.wim = nullptr;
    }
    return false;
}

// Makes sure the WIMStruct shows the file as it is now: another handle may
// have rewritten it since.
bool Current(WimFile& file)
{
    if (file.wim == nullptr && !ReadWimFile(file, false))
        return false;
    struct stat now;
    if (stat(file.unixPath.c_str(), &now) != 0) {
        SetLastError(Win32FromErrno(errno, ERROR_FILE_NOT_FOUND));
        return false;
    }
    if (SameFile(now, file.identity))
        return true;
    return ReadWimFile(file, false);
}

// Writes the WIMStruct's changes into the file and reads it back. wimlib
// writes a new file beside the old one and renames it over (or appends and
// rewrites the header last), so a failure leaves the old file in place.
bool Commit(WimFile& file)
{
    int writeFlags = WIMLIB_WRITE_FLAG_FSYNC;
    if (file.flags & WIM_FLAG_VERIFY)
        writeFlags |= WIMLIB_WRITE_FLAG_CHECK_INTEGRITY;
    file.progress.Begin();
    const bool written = WimlibSucceeds([&] { return wimlib_overwrite(file.wim, writeFlags, 0); });
    const bool reloaded = Reload(file);
    return written && reloaded;
}

// A new WIM file with no images, written in full before its name appears.
bool WriteEmptyWim(const WimFile& file, DWORD compression, bool replace)
{
    enum wimlib_compression_type type;
    switch (compression) {
    case WIM_COMPRESS_NONE:
        type = WIMLIB_COMPRESSION_TYPE_NONE;
        break;
    case WIM_COMPRESS_XPRESS:
        type = WIMLIB_COMPRESSION_TYPE_XPRESS;
        break;
    case WIM_COMPRESS_LZX:
        type = WIMLIB_COMPRESSION_TYPE_LZX;
        break;
    case WIM_COMPRESS_LZMS:
        type = WIMLIB_COMPRESSION_TYPE_LZMS;
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }

    // A fresh name beside the target, created exclusively with the usual mode.
    std::string temporary;
    for (unsigned attempt = 0;; ++attempt) {
        temporary = file.unixPath + ".new-" + std::to_string(getpid()) + "-" +
                    std::to_string(GetTickCount()) + "-" + std::to_string(attempt);
        const int descriptor = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (descriptor >= 0) {
            close(descriptor);
            break;
        }
        if (errno != EEXIST || attempt == 100)
            return Fail(Win32FromErrno(errno, ERROR_CANNOT_MAKE));
    }

    WIMStruct* wim = nullptr;
    int writeFlags = WIMLIB_WRITE_FLAG_FSYNC;
    if (file.flags & WIM_FLAG_VERIFY)
        writeFlags |= WIMLIB_WRITE_FLAG_CHECK_INTEGRITY;
    bool written = WimlibSucceeds([&] { return wimlib_create_new_wim(type, &wim); });
    if (written)
        written = WimlibSucceeds(
            [&] { return wimlib_write(wim, temporary.c_str(), WIMLIB_ALL_IMAGES, writeFlags, 0); });
    if (wim != nullptr)
        wimlib_free(wim);

    bool placed = false;
    if (written) {
        // link() refuses an existing name: a file made meanwhile is not replaced.
        placed = replace ? rename(temporary.c_str(), file.unixPath.c_str()) == 0
                         : link(temporary.c_str(), file.unixPath.c_str()) == 0;
        if (!placed)
            SetLastError(Win32FromErrno(errno, ERROR_CANNOT_MAKE));
    }
    if (!placed || !replace) {
        const DWORD kept = GetLastError();
        unlink(temporary.c_str());
        SetLastError(kept);
    }
    if (placed) {
        // The new name itself must survive a crash, not only the data.
        const int folder = open(FolderOf(file.unixPath).c_str(), O_RDONLY | O_DIRECTORY);
        if (folder >= 0) {
            fsync(folder);
            close(folder);
        }
    }
    return placed;
}

// ---------------------------------------------------------------------------
// XML: a small reader that keeps where each element stands in its source, so
// an image's element can be handed out exactly as the file holds it, and
// decodes character data for wimlib, which escapes again when it writes.

struct XmlNode {
    WString name;
    std::vector<std::pair<WString, WString>> attributes;  // values as written
    WString text;                                         // character data, references decoded
    std::vector<XmlNode> children;
    size_t begin = 0;  // the start tag's '<'
    size_t end = 0;    // just past the end tag
};

bool IsXmlSpace(WCHAR c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameStart(WCHAR c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(WCHAR c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool EqualsAscii(WStringView text, const char* ascii)
{
    const size_t length = std::strlen(ascii);
    if (text.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != static_cast<WCHAR>(static_cast<unsigned char>(ascii[i])))
            return false;
    }
    return true;
}

void AppendCodePoint(WString& out, uint32_t codePoint)
{
    if (codePoint >= 0x10000) {
        codePoint -= 0x10000;
        out.push_back(static_cast<WCHAR>(0xD800 + (codePoint >> 10)));
        out.push_back(static_cast<WCHAR>(0xDC00 + (codePoint & 0x3FF)));
    } else {
        out.push_back(static_cast<WCHAR>(codePoint));
    }
}

class XmlReader {
public:
    explicit XmlReader(WStringView source) : source_(source) {}

    // One root element, with only white space, comments and processing
    // instructions around it. A leading U+FEFF is skipped.
    bool ReadDocument(XmlNode& root)
    {
        position_ = 0;
        if (!AtEnd() && Peek() == 0xFEFF)
            ++position_;
        if (!SkipMisc() || AtEnd() || Peek() != '<')
            return false;
        if (!ReadElement(root, 0))
            return false;
        return SkipMisc() && AtEnd();
    }

private:
    static constexpr int kMaxDepth = 64;

    bool AtEnd() const { return position_ >= source_.size(); }
    WCHAR Peek() const { return source_[position_]; }

    bool StartsWith(const char* ascii) const
    {
        return EqualsAscii(
            source_.substr(position_, std::min(std::strlen(ascii), source_.size() - position_)), ascii);
    }

    size_t Find(const char* ascii, size_t from) const
    {
        for (size_t at = from; at < source_.size(); ++at) {
            const size_t length = std::strlen(ascii);
            if (at + length <= source_.size() && EqualsAscii(source_.substr(at, length), ascii))
                return at;
        }
        return WStringView::npos;
    }

    // Moves past `close`, which must follow; false when it never does.
    bool SkipPast(const char* close, size_t from)
    {
        const size_t at = Find(close, from);
        if (at == WStringView::npos)
            return false;
        position_ = at + std::strlen(close);
        return true;
    }

    bool SkipSpace()
    {
        const size_t start = position_;
        while (!AtEnd() && IsXmlSpace(Peek()))
            ++position_;
        return position_ != start;
    }

    bool SkipMisc()
    {
        for (;;) {
            SkipSpace();
            if (StartsWith("<?")) {
                if (!SkipPast("?>", position_ + 2))
                    return false;
            } else if (StartsWith("<!--")) {
                if (!SkipPast("-->", position_ + 4))
                    return false;
            } else {
                // A document type declaration has no place in image XML.
                return !StartsWith("<!");
            }
        }
    }

    bool ReadName(WString& name)
    {
        const size_t start = position_;
        if (AtEnd() || !IsNameStart(Peek()))
            return false;
        while (!AtEnd() && IsNameChar(Peek()))
            ++position_;
        name.assign(source_.substr(start, position_ - start));
        return true;
    }

    // One entity or character reference, position at its '&'.
    bool ReadReference(WString& out)
    {
        const size_t semicolon = source_.find(WCHAR(';'), position_);
        if (semicolon == WStringView::npos || semicolon - position_ > 12)
            return false;
        const WStringView reference = source_.substr(position_ + 1, semicolon - position_ - 1);
        if (EqualsAscii(reference, "lt")) {
            out.push_back('<');
        } else if (EqualsAscii(reference, "gt")) {
            out.push_back('>');
        } else if (EqualsAscii(reference, "amp")) {
            out.push_back('&');
        } else if (EqualsAscii(reference, "quot")) {
            out.push_back('"');
        } else if (EqualsAscii(reference, "apos")) {
            out.push_back('\'');
        } else if (reference.size() >= 2 && reference[0] == '#') {
            const bool hex = reference[1] == 'x';
            const WStringView digits = reference.substr(hex ? 2 : 1);
            if (digits.empty())
                return false;
            uint32_t codePoint = 0;
            for (WCHAR c : digits) {
                uint32_t digit;
                if (c >= '0' && c <= '9')
                    digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f')
                    digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F')
                    digit = c - 'A' + 10;
                else
                    return false;
                codePoint = codePoint * (hex ? 16 : 10) + digit;
                if (codePoint > 0x10FFFF)
                    return false;
            }
            const bool allowed = codePoint == 0x9 || codePoint == 0xA || codePoint == 0xD ||
                                 (codePoint >= 0x20 && (codePoint < 0xD800 || codePoint > 0xDFFF));
            if (!allowed)
                return false;
            AppendCodePoint(out, codePoint);
        } else {
            return false;
        }
        position_ = semicolon + 1;
        return true;
    }

    bool ReadAttribute(XmlNode& node)
    {
        WString name;
        if (!ReadName(name))
            return false;
        SkipSpace();
        if (AtEnd() || Peek() != '=')
            return false;
        ++position_;
        SkipSpace();
        if (AtEnd() || (Peek() != '"' && Peek() != '\''))
            return false;
        const WCHAR quote = Peek();
        const size_t start = ++position_;
        const size_t close = source_.find(quote, start);
        if (close == WStringView::npos)
            return false;
        WString ignored;
        while (position_ < close) {
            if (Peek() == '<')
                return false;
            if (Peek() == '&') {
                if (!ReadReference(ignored) || position_ > close)
                    return false;
            } else {
                ++position_;
            }
        }
        for (const auto& attribute : node.attributes) {
            if (attribute.first == name)
                return false;
        }
        node.attributes.emplace_back(std::move(name), WString(source_.substr(start, close - start)));
        position_ = close + 1;
        return true;
    }

    bool ReadElement(XmlNode& node, int depth)
    {
        if (depth > kMaxDepth)
            return false;
        node.begin = position_++;
        if (!ReadName(node.name))
            return false;
        for (;;) {
            const bool spaced = SkipSpace();
            if (AtEnd())
                return false;
            if (StartsWith("/>")) {
                position_ += 2;
                node.end = position_;
                return true;
            }
            if (Peek() == '>') {
                ++position_;
                break;
            }
            if (!spaced || !ReadAttribute(node))
                return false;
        }
        for (;;) {
            if (AtEnd())
                return false;
            if (StartsWith("</")) {
                position_ += 2;
                WString closing;
                if (!ReadName(closing) || closing != node.name)
                    return false;
                SkipSpace();
                if (AtEnd() || Peek() != '>')
                    return false;
                node.end = ++position_;
                return true;
            }
            if (StartsWith("<!--")) {
                if (!SkipPast("-->", position_ + 4))
                    return false;
            } else if (StartsWith("<![CDATA[")) {
                const size_t start = position_ + 9;
                if (!SkipPast("]]>", start))
                    return false;
                node.text.append(source_.substr(start, position_ - 3 - start));
            } else if (StartsWith("<?")) {
                if (!SkipPast("?>", position_ + 2))
                    return false;
            } else if (StartsWith("<!")) {
                return false;
            } else if (Peek() == '<') {
                node.children.emplace_back();
                if (!ReadElement(node.children.back(), depth + 1))
                    return false;
            } else if (Peek() == '&') {
                if (!ReadReference(node.text))
                    return false;
            } else if (StartsWith("]]>")) {
                return false;
            } else {
                node.text.push_back(Peek());
                ++position_;
            }
        }
    }

    WStringView source_;
    size_t position_ = 0;
};

// The text up to its first NUL, the way the library's buffers end.
WStringView UpToNul(WStringView text)
{
    const size_t nul = text.find(WCHAR{0});
    return nul == WStringView::npos ? text : text.substr(0, nul);
}

bool ParseXml(WStringView text, XmlNode& root)
{
    XmlReader reader(UpToNul(text));
    return reader.ReadDocument(root);
}

// The file's XML document as wimlib reads it from disk, without its mark.
bool ReadFileXml(WimFile& file, WString& xml)
{
    void* buffer = nullptr;
    size_t size = 0;
    if (!WimlibSucceeds([&] { return wimlib_get_xml_data(file.wim, &buffer, &size); }))
        return false;
    xml.assign(size / sizeof(WCHAR), WCHAR{});
    std::memcpy(xml.data(), buffer, xml.size() * sizeof(WCHAR));
    std::free(buffer);
    if (!xml.empty() && xml[0] == 0xFEFF)
        xml.erase(0, 1);
    return true;
}

// The IMAGE element of one image in the file's document: the one whose INDEX
// says so, else the index-th IMAGE.
const XmlNode* FindImageElement(const XmlNode& document, DWORD index)
{
    const XmlNode* byPosition = nullptr;
    DWORD position = 0;
    for (const XmlNode& child : document.children) {
        if (!EqualsAscii(child.name, "IMAGE"))
            continue;
        if (++position == index)
            byPosition = &child;
        for (const auto& [name, value] : child.attributes) {
            if (EqualsAscii(name, "INDEX") && EqualsAscii(value, std::to_string(index).c_str()))
                return &child;
        }
    }
    return byPosition;
}

// ---------------------------------------------------------------------------
// Storing an image's XML through wimlib's image properties

// Statistics wimlib computes and keeps itself; a caller's copy is not stored.
bool IsManaged(const XmlNode& node)
{
    static const char* const kManaged[] = {"DIRCOUNT",      "FILECOUNT",    "TOTALBYTES",
                                           "HARDLINKBYTES", "CREATIONTIME", "LASTMODIFICATIONTIME"};
    for (const char* name : kManaged) {
        if (EqualsAscii(node.name, name))
            return true;
    }
    return false;
}

bool IsBlank(WStringView text)
{
    for (WCHAR c : text) {
        if (!IsXmlSpace(c))
            return false;
    }
    return true;
}

// wimlib keeps elements and texts only: text beside child elements cannot be
// stored.
bool IsStorable(const XmlNode& node)
{
    if (node.children.empty())
        return true;
    if (!IsBlank(node.text))
        return false;
    for (const XmlNode& child : node.children) {
        if (!IsStorable(child))
            return false;
    }
    return true;
}

// wimlib cannot hold an element without text anywhere below it.
bool HasText(const XmlNode& node)
{
    if (node.children.empty())
        return !node.text.empty();
    for (const XmlNode& child : node.children) {
        if (HasText(child))
            return true;
    }
    return false;
}

// Whether setting texts alone turns `before` into `after`. Setting an empty
// text removes the element in wimlib, so emptying a text changes the shape.
bool SameShape(const XmlNode& before, const XmlNode& after)
{
    if (before.name != after.name || before.children.size() != after.children.size())
        return false;
    if (before.children.empty())
        return before.text.empty() || !after.text.empty();
    for (size_t i = 0; i < before.children.size(); ++i) {
        if (!SameShape(before.children[i], after.children[i]))
            return false;
    }
    return true;
}

// wimlib's property path step: "NAME" for the first of its name, "NAME[n]"
// for later ones.
std::string PathStep(const WString& name, int occurrence)
{
    std::string step = Utf8FromWide(name);
    if (occurrence > 1)
        step += "[" + std::to_string(occurrence) + "]";
    return step;
}

std::string JoinPath(const std::string& parent, const std::string& step)
{
    return parent.empty() ? step : parent + "/" + step;
}

struct PropertyChange {
    std::string path;
    std::string value;  // empty: remove the element and its subtree
};

struct StorePlan {
    std::vector<PropertyChange> changes;
    std::vector<PropertyChange> expected;  // every text the image holds afterwards
};

// Texts of a subtree that keeps its shape: set those that differ.
void PlanTextChanges(const XmlNode& before, const XmlNode& after, const std::string& path, StorePlan& plan)
{
    if (after.children.empty()) {
        if (!after.text.empty()) {
            if (after.text != before.text)
                plan.changes.push_back({path, Utf8FromWide(after.text)});
            plan.expected.push_back({path, Utf8FromWide(after.text)});
        }
        return;
    }
    std::map<WString, int> seen;
    for (size_t i = 0; i < after.children.size(); ++i) {
        const XmlNode& child = after.children[i];
        const std::string childPath = JoinPath(path, PathStep(child.name, ++seen[child.name]));
        PlanTextChanges(before.children[i], child, childPath, plan);
    }
}

// A new subtree, leaf by leaf in document order: wimlib creates the missing
// elements of each path as last children, so the order comes out as given.
void PlanAddition(const XmlNode& node, const std::string& path, StorePlan& plan)
{
    if (node.children.empty()) {
        plan.changes.push_back({path, Utf8FromWide(node.text)});
        plan.expected.push_back({path, Utf8FromWide(node.text)});
        return;
    }
    std::map<WString, int> seen;
    for (const XmlNode& child : node.children) {
        if (HasText(child))
            PlanAddition(child, JoinPath(path, PathStep(child.name, ++seen[child.name])), plan);
    }
}

// The property changes that turn the image element `before` (as the file
// holds it) into `after` (as the caller gives it). The caller's children
// that match the file's from the first on keep their elements and only get
// new texts; from the first that differs in shape, the file's remaining
// children are removed and the caller's added in order. So unchanged
// elements keep their place, and appended ones come last, as given.
StorePlan PlanStore(const XmlNode& before, const XmlNode& after)
{
    std::vector<const XmlNode*> old;
    std::vector<const XmlNode*> wanted;
    for (const XmlNode& child : before.children) {
        if (!IsManaged(child))
            old.push_back(&child);
    }
    for (const XmlNode& child : after.children) {
        if (!IsManaged(child))
            wanted.push_back(&child);
    }

    size_t kept = 0;
    while (kept < old.size() && kept < wanted.size() && SameShape(*old[kept], *wanted[kept]))
        ++kept;

    // Occurrence numbers among the image's children, counted in the file.
    std::map<WString, int> seen;
    std::vector<int> oldOccurrence;
    for (const XmlNode* child : old)
        oldOccurrence.push_back(++seen[child->name]);

    StorePlan plan;
    for (size_t i = 0; i < kept; ++i)
        PlanTextChanges(*old[i], *wanted[i], PathStep(old[i]->name, oldOccurrence[i]), plan);
    // Last first, so the numbers of the earlier ones stay right.
    for (size_t i = old.size(); i > kept; --i)
        plan.changes.push_back({PathStep(old[i - 1]->name, oldOccurrence[i - 1]), std::string()});

    std::map<WString, int> present;
    for (size_t i = 0; i < kept; ++i)
        ++present[old[i]->name];
    for (size_t i = kept; i < wanted.size(); ++i) {
        if (HasText(*wanted[i]))
            PlanAddition(*wanted[i], PathStep(wanted[i]->name, ++present[wanted[i]->name]), plan);
    }
    return plan;
}

// ---------------------------------------------------------------------------
// The calls

DWORD WINAPI LayerRegisterMessageCallback(HANDLE wim, WIMMessageCallback callback, PVOID userData)
{
    if (callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_CALLBACK_VALUE;
    }
    if (wim != nullptr && Lookup(wim, HandleKind::Wim) == nullptr)
        return INVALID_CALLBACK_VALUE;
    const DWORD index = Callbacks().Add(reinterpret_cast<uintptr_t>(wim), callback, userData);
    SetLastError(ERROR_SUCCESS);
    return index;
}

BOOL WINAPI LayerUnregisterMessageCallback(HANDLE wim, WIMMessageCallback callback)
{
    if (wim != nullptr && Lookup(wim, HandleKind::Wim) == nullptr)
        return FALSE;
    if (!Callbacks().Remove(reinterpret_cast<uintptr_t>(wim), callback))
        return Fail(ERROR_INVALID_PARAMETER);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE WINAPI LayerCreateFile(PCWSTR path, DWORD access, DWORD disposition, DWORD flags, DWORD compression,
                              PDWORD creationResult)
{
    if (disposition < WIM_CREATE_NEW || disposition > WIM_OPEN_ALWAYS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    EnsureWimlib();
    auto file = std::make_shared<WimFile>();
    if (!UnixPathFromDos(path, file->unixPath))
        return nullptr;
    file->callerPath = path;
    file->access = access;
    file->flags = flags;

    struct stat status;
    const bool exists = stat(file->unixPath.c_str(), &status) == 0;
    if (!exists && errno != ENOENT) {
        SetLastError(Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
        return nullptr;
    }
    if (exists && S_ISDIR(status.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }

    bool create = false;
    switch (disposition) {
    case WIM_CREATE_NEW:
        if (exists) {
            SetLastError(ERROR_FILE_EXISTS);
            return nullptr;
        }
        create = true;
        break;
    case WIM_CREATE_ALWAYS:
        create = true;
        break;
    case WIM_OPEN_EXISTING:
        if (!exists) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        break;
    default:  // WIM_OPEN_ALWAYS
        create = !exists;
        break;
    }
    if (exists && (create || file->Writable()) && !FileIsWritable(file->unixPath, status)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (create && !WriteEmptyWim(*file, compression, disposition == WIM_CREATE_ALWAYS))
        return nullptr;
    if (!ReadWimFile(*file, !create && (flags & WIM_FLAG_VERIFY) != 0)) {
        // wimlib finds a file shorter than a header cut short; without the
        // magic it is simply not a WIM.
        if (GetLastError() == ERROR_FILE_CORRUPT && !StartsWithWimMagic(file->unixPath))
            SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }

    auto entry = std::make_shared<HandleEntry>();
    entry->kind = HandleKind::Wim;
    entry->file = file;
    HANDLE handle = Handles().Add(entry);
    {
        std::lock_guard<std::recursive_mutex> guard(file->lock);
        file->progress.wim = reinterpret_cast<uintptr_t>(handle);
    }
    if (creationResult != nullptr)
        *creationResult = create ? WIM_CREATED_NEW : WIM_OPENED_EXISTING;
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI LayerSetTemporaryPath(HANDLE wim, PCWSTR path)
{
    std::shared_ptr<HandleEntry> entry = Lookup(wim, HandleKind::Wim);
    if (entry == nullptr)
        return FALSE;
    std::string folder;
    if (!UnixPathFromDos(path, folder))
        return FALSE;
    struct stat status;
    if (stat(folder.c_str(), &status) != 0)
        return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
    if (!S_ISDIR(status.st_mode))
        return Fail(ERROR_DIRECTORY);
    std::lock_guard<std::recursive_mutex> guard(entry->file->lock);
    entry->file->temporaryPath = folder;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerGetAttributes(HANDLE wim, WIM_INFO* info, DWORD size)
{
    std::shared_ptr<HandleEntry> entry = Lookup(wim, HandleKind::Wim);
    if (entry == nullptr)
        return FALSE;
    if (info == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (size < sizeof(WIM_INFO))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!Current(file))
        return FALSE;
    struct wimlib_wim_info header;
    if (!WimlibSucceeds([&] { return wimlib_get_wim_info(file.wim, &header); }))
        return FALSE;

    WIM_INFO result = {};
    CopyToBuffer(result.WimPath, MAX_PATH, file.callerPath);
    static_assert(sizeof result.Guid == WIMLIB_GUID_LEN);
    std::memcpy(&result.Guid, header.guid, sizeof result.Guid);
    result.ImageCount = header.image_count;
    switch (header.compression_type) {
    case WIMLIB_COMPRESSION_TYPE_XPRESS:
        result.CompressionType = WIM_COMPRESS_XPRESS;
        break;
    case WIMLIB_COMPRESSION_TYPE_LZX:
        result.CompressionType = WIM_COMPRESS_LZX;
        break;
    case WIMLIB_COMPRESSION_TYPE_LZMS:
        result.CompressionType = WIM_COMPRESS_LZMS;
        break;
    default:
        result.CompressionType = WIM_COMPRESS_NONE;
        break;
    }
    result.PartNumber = header.part_number;
    result.TotalParts = header.total_parts;
    result.BootIndex = header.boot_index;
    if (header.resource_only)
        result.WimAttributes |= WIM_ATTRIBUTE_RESOURCE_ONLY;
    if (header.metadata_only)
        result.WimAttributes |= WIM_ATTRIBUTE_METADATA_ONLY;
    if (header.has_integrity_table)
        result.WimAttributes |= WIM_ATTRIBUTE_VERIFY_DATA;
    if (header.has_rpfix)
        result.WimAttributes |= WIM_ATTRIBUTE_RP_FIX;
    if (header.total_parts > 1 || header.spanned)
        result.WimAttributes |= WIM_ATTRIBUTE_SPANNED;
    if (header.is_marked_readonly || !FileIsWritable(file.unixPath, file.identity))
        result.WimAttributes |= WIM_ATTRIBUTE_READONLY;
    result.WimFlagsAndAttr = file.flags;
    std::memcpy(info, &result, sizeof result);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WINAPI LayerGetImageCount(HANDLE wim)
{
    std::shared_ptr<HandleEntry> entry = Lookup(wim, HandleKind::Wim);
    if (entry == nullptr)
        return 0;
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!Current(file))
        return 0;
    struct wimlib_wim_info header;
    if (!WimlibSucceeds([&] { return wimlib_get_wim_info(file.wim, &header); }))
        return 0;
    SetLastError(ERROR_SUCCESS);
    return header.image_count;
}

// Image count of a file already made current, or 0 with the last error set.
DWORD ImageCountOf(WimFile& file)
{
    struct wimlib_wim_info header;
    if (!WimlibSucceeds([&] { return wimlib_get_wim_info(file.wim, &header); }))
        return 0;
    return header.image_count;
}

HANDLE WINAPI LayerLoadImage(HANDLE wim, DWORD index)
{
    std::shared_ptr<HandleEntry> entry = Lookup(wim, HandleKind::Wim);
    if (entry == nullptr)
        return nullptr;
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!Current(file))
        return nullptr;
    if (index == 0 || index > ImageCountOf(file)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto image = std::make_shared<HandleEntry>();
    image->kind = HandleKind::Image;
    image->file = entry->file;
    image->index = index;
    HANDLE handle = Handles().Add(image);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI LayerDeleteImage(HANDLE wim, DWORD index)
{
    std::shared_ptr<HandleEntry> entry = Lookup(wim, HandleKind::Wim);
    if (entry == nullptr)
        return FALSE;
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!file.Writable())
        return Fail(ERROR_ACCESS_DENIED);
    if (!Current(file))
        return FALSE;
    if (index == 0 || index > ImageCountOf(file))
        return Fail(ERROR_INVALID_PARAMETER);
    const std::vector<std::shared_ptr<HandleEntry>> images = Handles().ImagesOf(&file);
    for (const auto& image : images) {
        if (image->index == index)
            return Fail(ERROR_SHARING_VIOLATION);
    }
    if (!WimlibSucceeds([&] { return wimlib_delete_image(file.wim, static_cast<int>(index)); })) {
        Reload(file);
        return FALSE;
    }
    // After a delete wimlib rebuilds the whole file, which also drops the
    // image's data that no other image shares.
    if (!Commit(file))
        return FALSE;
    for (const auto& image : images) {
        if (image->index > index)
            --image->index;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerSetBootImage(HANDLE wim, DWORD index)
{
    std::shared_ptr<HandleEntry> entry = Lookup(wim, HandleKind::Wim);
    if (entry == nullptr)
        return FALSE;
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!file.Writable())
        return Fail(ERROR_ACCESS_DENIED);
    if (!Current(file))
        return FALSE;
    struct wimlib_wim_info header;
    if (!WimlibSucceeds([&] { return wimlib_get_wim_info(file.wim, &header); }))
        return FALSE;
    if (index > header.image_count)
        return Fail(ERROR_INVALID_PARAMETER);
    if (header.boot_index != index) {
        header.boot_index = index;
        if (!WimlibSucceeds(
                [&] { return wimlib_set_wim_info(file.wim, &header, WIMLIB_CHANGE_BOOT_INDEX); })) {
            Reload(file);
            return FALSE;
        }
        if (!Commit(file))
            return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerGetImageInformation(HANDLE handle, PVOID* buffer, PDWORD size)
{
    std::shared_ptr<HandleEntry> entry = LookupAny(handle);
    if (entry == nullptr)
        return FALSE;
    if (buffer == nullptr || size == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!Current(file))
        return FALSE;
    WString xml;
    if (!ReadFileXml(file, xml))
        return FALSE;
    WStringView text = UpToNul(xml);
    if (entry->kind == HandleKind::Image) {
        XmlNode document;
        if (!ParseXml(text, document))
            return Fail(ERROR_INVALID_DATA);
        const XmlNode* image = FindImageElement(document, entry->index);
        if (image == nullptr)
            return Fail(ERROR_INVALID_DATA);
        text = text.substr(image->begin, image->end - image->begin);
    }

    // The mark, the text, and a NUL beyond the reported size for callers
    // that read it as a string.
    const size_t units = 1 + text.size();
    auto* out = static_cast<WCHAR*>(LocalAlloc(LMEM_FIXED, (units + 1) * sizeof(WCHAR)));
    if (out == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    out[0] = 0xFEFF;
    std::memcpy(out + 1, text.data(), text.size() * sizeof(WCHAR));
    out[units] = 0;
    *buffer = out;
    *size = static_cast<DWORD>(units * sizeof(WCHAR));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerSetImageInformation(HANDLE handle, PVOID buffer, DWORD size)
{
    std::shared_ptr<HandleEntry> entry = Lookup(handle, HandleKind::Image);
    if (entry == nullptr)
        return FALSE;
    if (buffer == nullptr || size < sizeof(WCHAR))
        return Fail(ERROR_INVALID_PARAMETER);
    XmlNode wanted;
    if (!ParseXml(WStringView(static_cast<const WCHAR*>(buffer), size / sizeof(WCHAR)), wanted) ||
        !EqualsAscii(wanted.name, "IMAGE") || !IsStorable(wanted))
        return Fail(ERROR_INVALID_DATA);

    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!file.Writable())
        return Fail(ERROR_ACCESS_DENIED);
    if (!Current(file))
        return FALSE;
    WString xml;
    if (!ReadFileXml(file, xml))
        return FALSE;
    XmlNode document;
    if (!ParseXml(xml, document))
        return Fail(ERROR_INVALID_DATA);
    const XmlNode* current = FindImageElement(document, entry->index);
    if (current == nullptr)
        return Fail(ERROR_INVALID_DATA);

    const StorePlan plan = PlanStore(*current, wanted);
    if (plan.changes.empty()) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    const int image = static_cast<int>(entry->index);
    for (const PropertyChange& change : plan.changes) {
        const char* value = change.value.empty() ? nullptr : change.value.c_str();
        if (!WimlibSucceeds(
                [&] { return wimlib_set_image_property(file.wim, image, change.path.c_str(), value); })) {
            Reload(file);
            return FALSE;
        }
    }
    // Each text must now stand where the caller put it; otherwise the paths
    // did not mean to wimlib what they were meant to, and nothing is written.
    for (const PropertyChange& text : plan.expected) {
        const char* stored = wimlib_get_image_property(file.wim, image, text.path.c_str());
        if (stored == nullptr || text.value != stored) {
            SetLastError(ERROR_INVALID_DATA);
            Reload(file);
            return FALSE;
        }
    }
    if (!Commit(file))
        return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI LayerCloseHandle(HANDLE handle)
{
    std::shared_ptr<HandleEntry> entry = handle == nullptr ? nullptr : Handles().Remove(handle);
    if (entry == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (entry->kind == HandleKind::Wim)
        Callbacks().DropHandle(reinterpret_cast<uintptr_t>(handle));
    // The WIMStruct goes with the last reference to its WimFile: the last
    // handle on it, or a call still running on another thread.
    return TRUE;
}

// Capture, apply, export, mount and split are not done yet.
HANDLE WINAPI LayerCaptureImage(HANDLE, PCWSTR, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
BOOL WINAPI LayerApplyImage(HANDLE, PCWSTR, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI LayerExportImage(HANDLE, HANDLE, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI LayerMountImageHandle(HANDLE, PCWSTR, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI LayerGetMountedImages(WIM_MOUNT_LIST*, PDWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI LayerGetMountedImageHandle(PCWSTR, DWORD, PHANDLE, PHANDLE)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI LayerCommitImageHandle(HANDLE, DWORD, PHANDLE)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI LayerUnmountImageHandle(HANDLE, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
BOOL WINAPI LayerSplitFile(HANDLE, PCWSTR, PLARGE_INTEGER, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

const ImagingLibrary kWimlibLayer = {
    .registerMessageCallback = LayerRegisterMessageCallback,
    .unregisterMessageCallback = LayerUnregisterMessageCallback,
    .createFile = LayerCreateFile,
    .setTemporaryPath = LayerSetTemporaryPath,
    .getAttributes = LayerGetAttributes,
    .getImageCount = LayerGetImageCount,
    .loadImage = LayerLoadImage,
    .captureImage = LayerCaptureImage,
    .applyImage = LayerApplyImage,
    .exportImage = LayerExportImage,
    .deleteImage = LayerDeleteImage,
    .setBootImage = LayerSetBootImage,
    .getImageInformation = LayerGetImageInformation,
    .setImageInformation = LayerSetImageInformation,
    .mountImageHandle = LayerMountImageHandle,
    .getMountedImages = LayerGetMountedImages,
    .getMountedImageHandle = LayerGetMountedImageHandle,
    .commitImageHandle = LayerCommitImageHandle,
    .unmountImageHandle = LayerUnmountImageHandle,
    .splitFile = LayerSplitFile,
    .closeHandle = LayerCloseHandle,
};

}  // namespace

const ImagingLibrary& PlatformImagingLibrary()
{
    return kWimlibLayer;
}
