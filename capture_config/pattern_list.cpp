#include "capture_config/pattern_list.h"

void FreePatternList(PatternList& list)
{
    std::vector<PatternEntry>().swap(list.entries);
    list.count = 0;
    list.capacity = 0;
}
