// New WIM files: kept in memory (pending) until their first commit writes
// them whole, so that a capture that fails leaves no file behind.
#include "imaging/wimlib/file_io.h"

#include <cstring>
#include <sys/random.h>
#include <unistd.h>

namespace layer {

namespace {

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
    enum wimlib_compression_type type = WIMLIB_COMPRESSION_TYPE_NONE;
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
    if (file.wim != nullptr)
        wimlib_free(file.wim);
    file.ForgetUnwrittenExports();
    file.wim = wim;
    RegisterProgress(file, ProgressBridge, &file.progress);
    file.xml.reset();
    file.imagesWritten = 0;
    return true;
}

}  // namespace

bool StartNewWim(WimFile& file, DWORD compression, bool replace)
{
    enum wimlib_compression_type type = WIMLIB_COMPRESSION_TYPE_NONE;
    if (!CompressionTypeOf(compression, type))
        return false;
    RemoveLeftoversIn(FolderOf(file.unixPath));
    // The folder must take a new file now, or the capture would run for
    // nothing; the probe leaves no file behind.
    TemporaryRecord probe;
    const int descriptor = CreateLockedTemporary(file.unixPath, 0600, probe);
    if (descriptor < 0)
        return false;
    probe.RemoveFile(descriptor);
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

}  // namespace layer
