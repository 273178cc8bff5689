// Optimize: a WIM rebuilt without the space that in-place writes left
// behind. Every image is exported, in order, into a new file beside it with
// the same compression, boot mark and integrity table; the new file is
// written whole at its close and only then takes the old one's name, and
// only while that name still holds the file that was read.
#include "base/file_identity.h"
#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "operations/imaging_handles.h"
#include "operations/library_messages.h"
#include "operations/mounted_images.h"
#include "operations/operations.h"
#include "operations/split_set.h"
#include "operations/temp_directory.h"

#include <deque>

namespace {

// Tries this many names beside the file before giving up.
constexpr int kNewNameTries = 16;

bool FileSize(const WCHAR* path, ULONGLONG& size)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return false;
    size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// An image of the file that is mounted: rebuilding the file under it would
// leave the mount reading a file that is gone.
bool RefuseMounted(TaskState& task, const WCHAR* path)
{
    std::vector<MountedImage> mounted;
    if (!ReadMountedImages(mounted))
        return false;
    for (const MountedImage& image : mounted) {
        if (SameMountPath(image.wimPath, path)) {
            LogMessage(task, IDS_OPTIMIZE_FAILED);
            LogMessage(task, IDS_OPTIMIZE_MOUNTED, image.mountPath.c_str());
            return true;
        }
    }
    return false;
}

// Makes the new file under a free name beside `path`, with the old file's
// compression and integrity table; null with the reason logged otherwise.
HANDLE CreateBeside(TaskState& task, const WCHAR* path, const WIM_INFO& info, WString& newPath,
                    MadeFile& made)
{
    const DWORD flags = (info.CompressionType == WIM_COMPRESS_LZMS ? WIM_FLAG_SOLID : 0) |
                        ((info.WimAttributes & WIM_ATTRIBUTE_VERIFY_DATA) ? WIM_FLAG_VERIFY : 0);
    for (int attempt = 0; attempt < kNewNameTries; ++attempt) {
        newPath = WString(path) + WSTR(".optimized");
        if (attempt > 0)
            newPath += DecimalText(attempt);
        DWORD creationResult = 0;
        HANDLE created = WIMCreateFile(newPath.c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_CREATE_NEW,
                                       flags, info.CompressionType, &creationResult);
        if (created != nullptr) {
            made.Hold(newPath.c_str());
            return created;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    LogFailure(task, IDS_OPEN_WIM_FAILED);
    return nullptr;
}

// Exports every image of `source` into `destination` and marks the same
// boot image; false with the library's reason as the last error.
bool ExportAll(TaskState& task, HANDLE source, HANDLE destination, const WIM_INFO& info)
{
    std::deque<WimHandle> images;
    for (DWORD index = 1; index <= info.ImageCount; ++index) {
        images.emplace_back(WIMLoadImage(source, index));
        if (!images.back()) {
            LogFailure(task, IDS_LOAD_IMAGE_FAILED, static_cast<int>(index));
            return false;
        }
    }
    for (DWORD index = 1; index <= info.ImageCount; ++index) {
        LogMessage(task, IDS_EXPORTING, static_cast<int>(index));
        if (!WIMExportImage(images[index - 1].get(), destination, WIM_EXPORT_ALLOW_DUPLICATES))
            return false;
    }
    return info.BootIndex == 0 || WIMSetBootImage(destination, info.BootIndex);
}

// The rename that makes the rebuilt file the WIM, made lasting by flushing
// the folder. Only while the name still holds the file that was read.
bool TakeOldName(const WCHAR* path, const FileIdentity& old, const WString& newPath)
{
    const FileIdentity now = IdentityOfFile(path);
    if (!now.known || now.volume != old.volume || now.index != old.index) {
        SetLastError(ERROR_FILE_EXISTS);
        return false;
    }
    if (!MoveFileExW(newPath.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return false;
    WCHAR folder[kTextBufferSize];
    NormaliseDirectory(path, folder);
    const HANDLE handle =
        CreateFileW(folder, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(handle);
        CloseHandle(handle);
    }
    return true;
}

bool Optimize(TaskState& task, const WCHAR* path, const WCHAR* temporaryPath)
{
    LogMessage(task, IDS_OPENING_WIM);
    if (RefuseSetPart(task, path, IDS_OPTIMIZE_FAILED) || RefuseMounted(task, path))
        return false;
    // Opened for writing and not changed through it, so that no other writer
    // changes the file while it is rebuilt from it.
    DWORD creationResult = 0;
    WimHandle source(WIMCreateFile(path, WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING,
                                   WIM_FLAG_SOLID, WIM_COMPRESS_NONE, &creationResult));
    if (!source) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    WIM_INFO info = {};
    if (!WIMGetAttributes(source.get(), &info, sizeof info)) {
        LogFailure(task, IDS_ATTRIBUTES_FAILED);
        return false;
    }
    const FileIdentity old = IdentityOfFile(path);
    ULONGLONG before = 0;
    if (!old.known || !FileSize(path, before)) {
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    LogMessage(task, IDS_SIZE_BEFORE_LINE, DecimalText(static_cast<long long>(before)).c_str());
    if (!WIMSetTemporaryPath(source.get(), temporaryPath)) {
        LogFailure(task, IDS_TEMP_FOLDER_FAILED);
        return false;
    }
    WString newPath;
    MadeFile made;
    WimHandle destination(CreateBeside(task, path, info, newPath, made));
    if (!destination)
        return false;
    bool written = WIMSetTemporaryPath(destination.get(), temporaryPath) &&
                   ExportAll(task, source.get(), destination.get(), info) && destination.Close();
    const bool madeWhole = written;
    DWORD reason = written ? ERROR_SUCCESS : GetLastError();
    destination.Release();
    ULONGLONG after = 0;
    if (written && !FileSize(newPath.c_str(), after)) {
        written = false;
        reason = GetLastError();
    }
    // The system library shares an open file with no one who would rename
    // over it: the old file is let go first.
    source.Release();
    if (written && !TakeOldName(path, old, newPath)) {
        written = false;
        reason = GetLastError();
    }
    if (!written) {
        // Where the library made the file only as it wrote it, nothing
        // proves the name still holds it: it stays, and the log says where.
        const bool removed = made.Remove();
        AppendLog(task, WSTR(""));
        LogMessage(task, IDS_OPTIMIZE_FAILED);
        LogErrorText(task, reason);
        if (madeWhole && !removed)
            LogMessage(task, IDS_OPTIMIZE_KEPT, newPath.c_str());
        return false;
    }
    made.Release();
    LogMessage(task, IDS_SIZE_AFTER_LINE, DecimalText(static_cast<long long>(after)).c_str());
    return true;
}

}  // namespace

bool RunOptimize(TaskState& task)
{
    task.verifyNoticeShown = false;
    UserPath source;
    const bool sourceTaken = TakeUserPath(source, task.infoSource, PathForm::Full);
    LogMessage(task, IDS_SOURCE_LINE, static_cast<const WCHAR*>(source.text));
    WCHAR temporaryPath[kTextBufferSize];
    if (!TakeTempDirectory(task, sourceTaken ? source.text : nullptr, nullptr, temporaryPath))
        return false;
    AppendLog(task, WSTR(""));
    const CallbackRegistration callback(ExportMessageCallback);
    if (!callback) {
        LogMessage(task, IDS_REGISTER_CALLBACK_FAILED);
        return false;
    }
    if (!sourceTaken) {
        LogMessage(task, IDS_OPENING_WIM);
        SetLastError(source.refusal);
        LogFailure(task, IDS_OPEN_WIM_FAILED);
        return false;
    }
    if (!Optimize(task, source.text, temporaryPath))
        return false;
    SetProgressPercent(task, 100);
    AppendLog(task, WSTR(""));
    LogClosingLine(task, IDS_OPTIMIZED, IDS_OPTIMIZED_TIMED);
    return true;
}
