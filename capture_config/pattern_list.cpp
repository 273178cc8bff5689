#include "capture_config/pattern_list.h"

#include <array>

void FreePatternList(PatternList& list)
{
    std::vector<PatternEntry>().swap(list.entries);
    list.count = 0;
    list.capacity = 0;
}

void ResetPatternList(PatternList& list)
{
    FreePatternList(list);
    list.entries.resize(kPatternListCapacity);
    list.capacity = kPatternListCapacity;
}

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

namespace {

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

void UpperCaseInPlace(WCHAR* text, size_t length)
{
    static const UpperTable table = MakeUpperTable();
    for (size_t i = 0; i < length; ++i)
        text[i] = table[static_cast<uint16_t>(text[i])];
}
