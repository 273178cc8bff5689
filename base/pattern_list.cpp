#include "base/pattern_list.h"

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
