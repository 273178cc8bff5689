#include "capture_config/pattern_list.h"

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
