// DOS paths as the program gives them, Unix paths as wimlib takes them.
#include "imaging/wimlib/layer.h"
#include "imaging/wimlib/wim_header.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace layer {

bool FullDosPath(PCWSTR path, WString& full)
{
    if (path == nullptr || path[0] == 0)
        return Fail(ERROR_PATH_NOT_FOUND);
    const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    full.assign(needed, WCHAR{});
    const DWORD length = GetFullPathNameW(path, needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return Fail(ERROR_INVALID_NAME);
    full.resize(length);
    return true;
}

// Wine gives no Unix name when the parent folder is missing.
bool UnixPathFromDos(PCWSTR path, std::string& unixPath)
{
    WString full;
    if (!FullDosPath(path, full))
        return false;
    char* converted = wine_get_unix_file_name(full.c_str());
    if (converted == nullptr)
        return Fail(ERROR_PATH_NOT_FOUND);
    unixPath = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return true;
}

WString DosPathFromUnix(const std::string& unixPath)
{
    WCHAR* converted = wine_get_dos_file_name(unixPath.c_str());
    if (converted == nullptr)
        return WideFromUtf8(unixPath);
    WString dosPath = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return dosPath;
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

}  // namespace layer
