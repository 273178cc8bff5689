// Files referenced by a WIM handle (WIMSetReferenceFile): the other parts of
// a split set, whose data wimlib then reads as the first part's own. The
// references stay with the file and are made again each time the file is
// read again, so a handle that rereads its file keeps its set.
#include "imaging/wimlib/layer.h"
#include "imaging/wimlib/wim_header.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace layer {

namespace {

constexpr DWORD kReferenceModes = WIM_REFERENCE_APPEND | WIM_REFERENCE_REPLACE;
constexpr DWORD kReferenceFlags = kReferenceModes | WIM_FLAG_SOLID | WIM_FLAG_VERIFY | WIM_FLAG_SHARE_WRITE;

// The file's first bytes; false with the last error set when it is no WIM.
bool ReadHeader(const std::string& unixPath, unsigned char (&header)[kHeaderSize])
{
    const int fd = open(unixPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail(Win32FromErrno(errno, ERROR_FILE_NOT_FOUND));
    const bool read = pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    close(fd);
    if (!read || (std::memcmp(header, "MSWIM\0\0\0", 8) != 0 && std::memcmp(header, kPipableMagic, 8) != 0))
        return Fail(ERROR_BAD_FORMAT);
    return true;
}

}  // namespace

bool HeaderSaysSolid(const std::string& unixPath)
{
    unsigned char header[kHeaderSize];
    return ReadHeader(unixPath, header) && Little(header + kVersionField, 4) == kSolidVersion;
}

bool ReferenceFiles(WIMStruct* wim, const std::vector<ReferencedFile>& references)
{
    for (const ReferencedFile& reference : references) {
        const char* path = reference.unixPath.c_str();
        if (!WimlibSucceeds(
                [&] { return wimlib_reference_resource_files(wim, &path, 1, 0, reference.openFlags); }))
            return false;
    }
    return true;
}

bool SetIsWhole(WimFile& file)
{
    struct wimlib_wim_info header;
    if (file.pending || wimlib_get_wim_info(file.wim, &header) != 0 || header.total_parts <= 1)
        return true;
    if (header.part_number != 1)
        return Fail(ERROR_NOT_SUPPORTED);
    for (unsigned part = 2; part <= header.total_parts; ++part) {
        bool found = false;
        for (const ReferencedFile& reference : file.references) {
            found = found || (reference.partNumber == part && reference.totalParts == header.total_parts &&
                              std::memcmp(reference.guid, header.guid, WIMLIB_GUID_LEN) == 0);
        }
        if (!found)
            return Fail(ERROR_NOT_SUPPORTED);
    }
    return true;
}

BOOL WINAPI LayerSetReferenceFile(HANDLE wim, PCWSTR path, DWORD flags)
{
    if (path == nullptr || (flags & ~kReferenceFlags) != 0 || (flags & kReferenceModes) == 0 ||
        (flags & kReferenceModes) == kReferenceModes)
        return Fail(ERROR_INVALID_PARAMETER);
    const EntryOpening opening(wim, HandleKind::Wim);
    if (!opening)
        return FALSE;
    WimFile& file = opening.file();
    if (file.pending)
        return Fail(ERROR_INVALID_HANDLE);
    ReferencedFile reference;
    if (!UnixPathFromDos(path, reference.unixPath))
        return FALSE;
    unsigned char header[kHeaderSize];
    if (!ReadHeader(reference.unixPath, header))
        return FALSE;
    // As the system library: a solid file only for a caller that says it takes one.
    if (Little(header + kVersionField, 4) == kSolidVersion && (flags & WIM_FLAG_SOLID) == 0)
        return Fail(ERROR_BAD_FORMAT);
    std::memcpy(reference.guid, header + kGuidField, sizeof reference.guid);
    reference.partNumber = static_cast<unsigned>(Little(header + kPartNumberField, 2));
    reference.totalParts = static_cast<unsigned>(Little(header + kTotalPartsField, 2));
    reference.openFlags = (flags & WIM_FLAG_VERIFY) ? WIMLIB_OPEN_FLAG_CHECK_INTEGRITY : 0;

    if (flags & WIM_REFERENCE_REPLACE) {
        // wimlib cannot let go of a reference: the file is read again with the new one alone.
        std::vector<ReferencedFile> kept = std::move(file.references);
        file.references = {reference};
        if (!ReadWimFile(file, false)) {
            const DWORD error = GetLastError();
            file.references = std::move(kept);
            ReadWimFile(file, false);
            return Fail(error);
        }
    } else {
        if (!ReferenceFiles(file.wim, {reference}))
            return FALSE;
        file.references.push_back(reference);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
