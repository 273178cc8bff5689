// Open files and handles: each WIM handle owns one WimFile, image handles
// share it, and every call first makes sure memory shows the file as it is.
#include "imaging/wimlib/layer.h"
#include "imaging/wimlib/wim_header.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace layer {

namespace {

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

    bool HasWim(const WimFile* file)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [token, entry] : entries_) {
            if (entry->kind == HandleKind::Wim && entry->file.get() == file)
                return true;
        }
        return false;
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

}  // namespace

std::vector<std::shared_ptr<HandleEntry>> ImageHandlesOf(const WimFile* file)
{
    return Handles().ImagesOf(file);
}

bool HasWimHandle(const WimFile* file)
{
    return Handles().HasWim(file);
}

HANDLE AddHandle(std::shared_ptr<HandleEntry> entry)
{
    return Handles().Add(std::move(entry));
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

// A header that claims more images than its file could hold is refused
// before wimlib sees it: wimlib sets aside and clears room for every claimed
// image first, gigabytes for a damaged count, which looks like a hang.
bool PlausibleImageCount(const std::string& unixPath)
{
    unsigned char header[kHeaderSize];
    struct stat status;
    const int fd = open(unixPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;  // wimlib says why it cannot be read
    const bool read =
        pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) && fstat(fd, &status) == 0;
    close(fd);
    return !read || Little(header + kImageCountField, 4) * kLeastBytesPerImage <=
                        static_cast<uint64_t>(status.st_size);
}

// Reads the file into a fresh WIMStruct that replaces the old one; on a
// failure there is none.
bool ReadWimFile(WimFile& file, bool checkIntegrity)
{
    // The old WIMStruct goes first: after a capture it holds the whole new
    // image's tree, and keeping it while the file's table is read again
    // would add the size of that table to the peak.
    if (file.wim != nullptr) {
        wimlib_free(file.wim);
        file.wim = nullptr;
    }
    file.ForgetUnwrittenExports();
    if (!PlausibleImageCount(file.unixPath))
        return Fail(ERROR_FILE_CORRUPT);
    WIMStruct* wim = OpenWimStruct(file, checkIntegrity);
    if (wim == nullptr)
        return false;
    AdoptWimStruct(file, wim);
    return true;
}

WIMStruct* OpenWimStruct(WimFile& file, bool checkIntegrity)
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
        return nullptr;
    if (!ReferenceFiles(wim, file.references)) {
        const DWORD error = GetLastError();
        wimlib_free(wim);
        SetLastError(error);
        return nullptr;
    }
    return wim;
}

void AdoptWimStruct(WimFile& file, WIMStruct* wim)
{
    if (file.wim != nullptr)
        wimlib_free(file.wim);
    file.ForgetUnwrittenExports();
    file.wim = wim;
    file.progressFunction = ProgressBridge;  // as opened
    file.progressContext = &file.progress;
    file.xml.reset();
    file.dataCheck = {};
    stat(file.unixPath.c_str(), &file.identity);
    struct wimlib_wim_info header;
    file.imagesWritten = wimlib_get_wim_info(wim, &header) == 0 ? header.image_count : 0;
}

void Unload(WimFile& file)
{
    if (file.wim != nullptr)
        wimlib_free(file.wim);
    file.wim = nullptr;
    file.ForgetUnwrittenExports();
    file.progressFunction = ProgressBridge;
    file.progressContext = &file.progress;
    file.xml.reset();
    file.dataCheck = {};
}

void RegisterProgress(WimFile& file, wimlib_progress_func_t function, void* context)
{
    wimlib_register_progress_function(file.wim, function, context);
    file.progressFunction = function;
    file.progressContext = context;
}

// Throws away what memory holds and reads the file again, after a write or
// after a change that could not be completed. The caller's last error stays
// unless reading fails; then every call tries again until the file reads.
bool Reload(WimFile& file)
{
    if (HasKeptChanges(file)) {
        const DWORD cause = GetLastError();
        file.kept = KeptChanges{};
        file.kept.lost = cause != ERROR_SUCCESS ? cause : ERROR_INVALID_DATA;
    }
    if (file.pending)
        return ResetNewWim(file);
    // Another file's unwritten exports still read from this WIMStruct.
    if (file.lentImages > 0)
        return true;
    const DWORD kept = GetLastError();
    if (!ReadWimFile(file, false))
        return false;
    SetLastError(kept);
    return true;
}

// Makes sure the WIMStruct shows the file as it is now: another handle may
// have rewritten it since.
bool Current(WimFile& file)
{
    if (file.pending)
        return file.wim != nullptr || ResetNewWim(file);
    if (file.wim == nullptr && !ReadWimFile(file, false))
        return false;
    // Images exported unwritten from this WIMStruct still need it, and the
    // changes kept in it are not on disk; only this handle's writer changes
    // the file meanwhile.
    if (file.lentImages > 0 || HasKeptChanges(file))
        return true;
    struct stat now;
    if (stat(file.unixPath.c_str(), &now) != 0) {
        SetLastError(Win32FromErrno(errno, ERROR_FILE_NOT_FOUND));
        return false;
    }
    if (SameFile(now, file.identity))
        return true;
    return ReadWimFile(file, false);
}

EntryOpening::EntryOpening(HANDLE handle, HandleKind kind, Use use) : entry_(Lookup(handle, kind))
{
    if (entry_ == nullptr)
        return;
    lock_ = std::unique_lock<std::recursive_mutex>(entry_->file->lock);
    if (use == Use::Change && !entry_->file->Writable()) {
        Fail(ERROR_ACCESS_DENIED);
        return;
    }
    ready_ = Current(*entry_->file);
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
    // One writer per file, and what an earlier writer's kill left is put
    // back before anything reads or replaces the file.
    if (exists && (create || file->Writable()) && !TakeWriterLock(*file))
        return nullptr;
    if (exists && !PutBackLeftovers(*file))
        return nullptr;
    // As the system library: a solid file opens only for a caller that says it takes one.
    if (!create && (flags & WIM_FLAG_SOLID) == 0 && HeaderSaysSolid(file->unixPath)) {
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    if (create && !StartNewWim(*file, compression, disposition == WIM_CREATE_ALWAYS))
        return nullptr;
    if (!create && !ReadWimFile(*file, (flags & WIM_FLAG_VERIFY) != 0)) {
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
    if (file.pending)
        result.CompressionType = file.pendingCompression;
    else
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
    if (header.is_marked_readonly || (!file.pending && !FileIsWritable(file.unixPath, file.identity)))
        result.WimAttributes |= WIM_ATTRIBUTE_READONLY;
    result.WimFlagsAndAttr = file.flags;
    std::memcpy(info, &result, sizeof result);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WINAPI LayerGetImageCount(HANDLE wim)
{
    const EntryOpening opening(wim, HandleKind::Wim);
    if (!opening)
        return 0;
    WimFile& file = opening.file();
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

bool IsSolid(WimFile& file)
{
    if (file.pending)
        return false;
    struct wimlib_wim_info header;
    // Version 0xE00 is the one wimlib (and Windows) give a file with solid resources.
    return wimlib_get_wim_info(file.wim, &header) == 0 && header.wim_version == 0xE00;
}

bool RefuseSolid(WimFile& file, const char* what)
{
    const WString text = file.callerPath + WSTR(": is a solid (ESD) file, which cannot ") +
                         WideFromUtf8(what) +
                         WSTR("; export its images into a WIM file with LZX, XPRESS or no compression first");
    Deliver(file.progress.wim, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(text.c_str()), ERROR_BAD_FORMAT);
    return Fail(ERROR_BAD_FORMAT);
}

HANDLE WINAPI LayerLoadImage(HANDLE wim, DWORD index)
{
    const EntryOpening opening(wim, HandleKind::Wim);
    if (!opening)
        return nullptr;
    WimFile& file = opening.file();
    if (index == 0 || index > ImageCountOf(file)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!SetIsWhole(file))
        return nullptr;
    auto image = std::make_shared<HandleEntry>();
    image->kind = HandleKind::Image;
    image->file = opening.entry().file;
    image->index = index;
    HANDLE handle = Handles().Add(image);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI LayerCloseHandle(HANDLE handle)
{
    std::shared_ptr<HandleEntry> entry = handle == nullptr ? nullptr : Handles().Remove(handle);
    if (entry == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    // A WIM handle's close writes what the file's handles changed (so does
    // the close of an image handle that outlived its WIM handle); its
    // listeners still hear that write, and a failed one is the close's.
    BOOL written = TRUE;
    if (entry->kind == HandleKind::Wim || !HasWimHandle(entry->file.get())) {
        std::lock_guard<std::recursive_mutex> guard(entry->file->lock);
        written = WriteKeptChanges(*entry->file, false);
    }
    if (entry->kind == HandleKind::Wim) {
        const DWORD error = GetLastError();
        DropCallbacksOf(reinterpret_cast<uintptr_t>(handle));
        if (!written)
            SetLastError(error);
    }
    // The WIMStruct goes with the last reference to its WimFile: the last
    // handle on it, or a call still running on another thread.
    return written;
}

}  // namespace layer
