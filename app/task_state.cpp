#include "app/task_state.h"

#include "progress/log.h"

HINSTANCE g_instance = nullptr;

namespace {

WString LoadDefaultText(UINT id)
{
    WCHAR buffer[kTextBufferSize];
    LoadTableString(id, buffer);
    return buffer;
}

}  // namespace

TaskState::TaskState()
    : captureName(WSTR("MYWIM1")), captureDescription(WSTR("Captured with Corvane")),
      captureDisplayName(WSTR("My WIM 1")), captureDisplayDescription(WSTR("Captured with Corvane")),
      captureCompression(LoadDefaultText(140)), exportCompression(LoadDefaultText(140)),
      splitSize(LoadDefaultText(252))
{
}

TaskState::~TaskState()
{
    // The pattern lists go first, then the strings (member destruction).
    FreePatternList(exclusions);
    FreePatternList(compressionExclusions);
    FreePatternList(exclusionExceptions);
}

TaskState& Task()
{
    static TaskState state;
    return state;
}
