// Writing a WimFile's changes to disk, and new empty WIM files.
#include "imaging/wimlib/layer.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace layer {

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

}  // namespace layer
