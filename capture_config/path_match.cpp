#include "capture_config/path_match.h"

#include <algorithm>
#include <array>

namespace {

bool IsSeparator(WCHAR c)
{
    return c == WSTR('\\') || c == WSTR('/');
}

bool SameCharacters(const WCHAR* left, const WCHAR* right, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (left[i] != right[i])
            return false;
    }
    return true;
}

using UpperTable = std::array<WCHAR, 65536>;

UpperTable MakeUpperTable()
{
    UpperTable table;
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<WCHAR>(i);
    // Surrogates are left as they are; the two runs around them are mapped
    // whole, which is the same as one unit at a time.
    CharUpperBuffW(table.data(), 0xD800);
    CharUpperBuffW(table.data() + 0xE000, 0x10000 - 0xE000);
    return table;
}

}  // namespace

PathSplit SplitPathText(const WCHAR* text, size_t length)
{
    PathSplit split{0, 0};
    if (length >= 2 && text[1] == WSTR(':') &&
        ((text[0] >= WSTR('A') && text[0] <= WSTR('Z')) || (text[0] >= WSTR('a') && text[0] <= WSTR('z'))))
        split.directoryStart = 2;
    split.nameStart = split.directoryStart;
    for (size_t i = length; i > split.directoryStart; --i) {
        if (text[i - 1] == WSTR('\\') || text[i - 1] == WSTR('/')) {
            split.nameStart = i;
            break;
        }
    }
    return split;
}

void UpperCaseInPlace(WCHAR* text, size_t length)
{
    static const UpperTable table = MakeUpperTable();
    for (size_t i = 0; i < length; ++i)
        text[i] = table[static_cast<uint16_t>(text[i])];
}

void BuildPathParts(PathParts& parts, const WCHAR* path)
{
    if (path == nullptr)
        path = WSTR("");
    parts.path = path;
    size_t length = 0;
    while (path[length] != 0)
        ++length;
    PathSplit split = SplitPathText(path, length);

    // The directory always starts with a backslash; only its last characters
    // are kept when it is longer than the buffer.
    const WCHAR* folder = path + split.directoryStart;
    size_t folderLength = split.nameStart - split.directoryStart;
    bool addBackslash = folderLength == 0 || !IsSeparator(folder[0]);
    parts.directoryLength = folderLength + (addBackslash ? 1 : 0);
    size_t kept = std::min<size_t>(parts.directoryLength, kPathPartsBuffer - 1);
    WCHAR* out = parts.directory;
    if (kept == parts.directoryLength) {
        if (addBackslash)
            *out++ = WSTR('\\');
    } else {
        folder += folderLength - kept;
        folderLength = kept;
    }
    for (size_t i = 0; i < folderLength; ++i)
        out[i] = IsSeparator(folder[i]) ? WSTR('\\') : folder[i];
    parts.directory[kept] = 0;
    parts.directoryKept = kept;
    UpperCaseInPlace(parts.directory, kept);

    parts.nameLength = length - split.nameStart;
    parts.nameFits = parts.nameLength < kPathPartsBuffer;
    if (!parts.nameFits) {
        parts.nameLength = 0;
        parts.name[0] = 0;
        return;
    }
    for (size_t i = 0; i < parts.nameLength; ++i)
        parts.name[i] = path[split.nameStart + i];
    parts.name[parts.nameLength] = 0;
    UpperCaseInPlace(parts.name, parts.nameLength);
}

bool PathMatchesEntry(const PathParts& parts, const PatternEntry& entry)
{
    if (!parts.nameFits)
        return false;
    const uint64_t wanted = entry.directoryLength;
    if (wanted > entry.directory.size() || wanted > parts.directoryKept)
        return false;
    const bool anchored = !entry.pattern.empty() && IsSeparator(entry.pattern[0]);
    if (anchored ? parts.directoryLength != wanted : parts.directoryLength < wanted)
        return false;
    const WCHAR* tail = parts.directory + (parts.directoryKept - wanted);
    if (!SameCharacters(tail, entry.directory.data(), static_cast<size_t>(wanted)))
        return false;
    if (entry.hasWildcard) {
        // A pattern that ends in a plain character can only match a name
        // that ends in it: most names fail here, before the full match.
        const WCHAR last = entry.name.empty() ? WCHAR(0) : entry.name.back();
        if (last != WSTR('*') && last != WSTR('?') &&
            (parts.nameLength == 0 || parts.name[parts.nameLength - 1] != last))
            return false;
        return WildcardMatch(parts.name, entry.name.c_str());
    }
    return parts.nameLength == entry.name.size() &&
           SameCharacters(parts.name, entry.name.data(), parts.nameLength);
}

bool PathMatchesList(const PathParts& parts, const PatternList& list)
{
    const int32_t count = std::min<int32_t>(list.count, static_cast<int32_t>(list.entries.size()));
    for (int32_t i = 0; i < count; ++i) {
        if (PathMatchesEntry(parts, list.entries[static_cast<size_t>(i)]))
            return true;
    }
    return false;
}

bool WildcardMatch(const WCHAR* name, const WCHAR* pattern)
{
    const WCHAR* text = name;
    const WCHAR* wild = pattern;
    while (*text != 0) {
        if (*wild == WSTR('*'))
            break;
        if (*wild == 0 || (*wild != *text && *wild != WSTR('?')))
            return false;
        ++text;
        ++wild;
    }
    // After a star: try the rest of the pattern at each later text position.
    const WCHAR* wildRestart = nullptr;
    const WCHAR* textRestart = nullptr;
    while (*text != 0) {
        if (*wild == WSTR('*')) {
            ++wild;
            if (*wild == 0)
                return true;
            wildRestart = wild;
            textRestart = text + 1;
        } else if (*wild != 0 && (*wild == *text || *wild == WSTR('?'))) {
            ++wild;
            ++text;
        } else {
            text = textRestart;
            wild = wildRestart;
            ++textRestart;
        }
    }
    while (*wild == WSTR('*'))
        ++wild;
    return *wild == 0;
}
