#include "metadata/version_resource.h"

#include <cstring>

namespace {

// Version resources are a few kilobytes; a larger claim is not believed.
constexpr DWORD kMaxVersionInfoBytes = 1 << 20;

WString HexWord(DWORD number)
{
    static const char kDigits[] = "0123456789ABCDEF";
    WString text(4, '0');
    for (int i = 3; i >= 0; --i) {
        text[static_cast<size_t>(i)] = static_cast<WCHAR>(kDigits[number & 0xF]);
        number >>= 4;
    }
    return text;
}

// The answer to a query into the block, or null when there is none or it
// holds fewer than `minimumUnits` units of `unitSize` bytes. `units` is cut
// to what lies inside the block, since a damaged resource may claim more.
const BYTE* QueryVersionBlock(std::vector<BYTE>& block, const WCHAR* query, UINT unitSize, UINT minimumUnits,
                              UINT& units)
{
    void* value = nullptr;
    units = 0;
    if (!VerQueryValueW(block.data(), query, &value, &units) || value == nullptr)
        return nullptr;
    const uintptr_t first = reinterpret_cast<uintptr_t>(block.data());
    const uintptr_t start = reinterpret_cast<uintptr_t>(value);
    const uintptr_t end = first + block.size();
    if (start < first || start > end)
        return nullptr;
    size_t room = static_cast<size_t>(end - start) / unitSize;
    if (units > room)
        units = static_cast<UINT>(room);
    if (units < minimumUnits)
        return nullptr;
    return static_cast<const BYTE*>(value);
}

}  // namespace

// The version resource of a file, in a block of its own; empty when the file
// has none (or claims an unbelievable size).
std::vector<BYTE> ReadVersionBlock(const WCHAR* path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0 || size > kMaxVersionInfoBytes)
        return {};
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path, 0, size, block.data()))
        return {};
    return block;
}

// ProductName from the library's version resource (`block`, read once for
// this and the file version); unchanged when the library has none.
WString ReadVersionString(std::vector<BYTE>& block, const WString& current)
{
    if (block.empty())
        return current;

    WString digits = WSTR("04090000");
    UINT units = 0;
    if (const BYTE* translation = QueryVersionBlock(block, WSTR("\\VarFileInfo\\Translation"), 1, 4, units)) {
        DWORD first = static_cast<DWORD>(translation[0]) | static_cast<DWORD>(translation[1]) << 8 |
                      static_cast<DWORD>(translation[2]) << 16 | static_cast<DWORD>(translation[3]) << 24;
        digits = HexWord(first & 0xFFFF) + HexWord(first >> 16);
    }
    WCHAR query[37];
    CopyToBuffer(query, 37, WSTR("\\StringFileInfo\\") + digits + WSTR("\\ProductName"));

    const BYTE* value = QueryVersionBlock(block, query, sizeof(WCHAR), 0, units);
    if (value == nullptr)
        return WString();
    // Through a 260-character buffer: a longer name is cut there.
    WCHAR buffer[kTextBufferSize];
    size_t length = 0;
    for (; length < units && length + 1 < kTextBufferSize; ++length) {
        WCHAR c;
        memcpy(&c, value + length * sizeof(WCHAR), sizeof(WCHAR));
        if (c == 0)
            break;
        buffer[length] = c;
    }
    return WString(buffer, length);
}

// The four words of the file version; all "0" when the resource has no
// fixed part, unchanged when there is no resource.
void ReadFileVersion(std::vector<BYTE>& block, WString& major, WString& minor, WString& build,
                     WString& spBuild)
{
    if (block.empty())
        return;
    UINT units = 0;
    const BYTE* fixed = QueryVersionBlock(block, WSTR("\\"), 1, sizeof(VS_FIXEDFILEINFO), units);
    if (fixed == nullptr) {
        major = minor = build = spBuild = WSTR("0");
        return;
    }
    VS_FIXEDFILEINFO info;
    memcpy(&info, fixed, sizeof(info));
    major = DecimalText(HIWORD(info.dwFileVersionMS));
    minor = DecimalText(LOWORD(info.dwFileVersionMS));
    build = DecimalText(HIWORD(info.dwFileVersionLS));
    spBuild = DecimalText(LOWORD(info.dwFileVersionLS));
}
