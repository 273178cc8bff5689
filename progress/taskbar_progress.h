// The taskbar button's progress while an operation runs (windows build; the
// linux build has no taskbar to show it and does nothing).
#pragma once

#include "base/task_state.h"

class TaskbarProgress {
public:
    // Shows an empty bar on the taskbar button of `owner`'s top-level window.
    void Start(HWND owner);
    void SetPercent(UINT percent);
    // After the operation: a failure turns the bar to the error state; a
    // success leaves it full.
    void Finish(bool succeeded);
    // Removes the bar (the progress window closes).
    void Stop();

private:
#if !defined(CORVANE_WINELIB)
    struct ITaskbarList3* list_ = nullptr;
    HWND window_ = nullptr;
    bool comStarted_ = false;
#endif
};
