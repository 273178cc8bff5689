// TaskState: the one record the whole program shares. The user-interface
// thread owns the page fields; one worker thread at a time owns the run state.
#pragma once

#include "base/pattern_list.h"
#include "base/text.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

struct TaskState {
    TaskState();
    ~TaskState();
    TaskState(const TaskState&) = delete;
    TaskState& operator=(const TaskState&) = delete;

    // Every page field and the picker's values back to the start-up
    // defaults; the constructor uses it too.
    void RestoreInputDefaults();

    // Windows and run state
    HWND mainWindow = nullptr;
    HWND pageWindow = nullptr;
    HWND progressWindow = nullptr;
    int32_t pageIndex = -1;
    WString logText;
    std::atomic<bool> abortRequested{false};  // written by the UI thread, read by the worker
    std::atomic<bool> busy{false};            // written by the worker, read by the UI thread
    uint32_t itemsDone = 0;
    uint32_t folderCount = 0;
    uint32_t fileCount = 0;
    uint32_t startTime = 0;
    bool scanNoticeShown = false;
    uint32_t lastPercent = 0;
    HANDLE workerThread = nullptr;
    uint32_t workerThreadId = 0;

    // Capture page
    WString captureSource;
    WString captureDestination;
    WString captureTempDir;
    WString captureName;
    WString captureDescription;
    WString captureDisplayName;
    WString captureDisplayDescription;
    WString captureCompression;
    bool captureBoot = false;
    bool captureVerify = false;
    bool captureCheck = false;
    bool captureNoRpFix = false;
    WString captureConfigFile;
    WString captureFlags;
    bool captureShowSettings = false;
    bool eaNoticeShown = false;
    bool verifyNoticeShown = false;

    // Apply page
    WString applySource;
    WString applyDestination;
    int32_t applyIndex = 0;
    bool applyVerify = false;
    bool applyCheck = false;

    // Info page
    WString infoSource;
    WString infoText;

    // Change page
    WString changeSource;
    int32_t changeIndex = 0;
    WString changeName;
    WString changeDescription;
    WString changeDisplayName;
    WString changeDisplayDescription;
    WString changeFlags;
    bool changeBoot = false;
    bool changeCheck = false;

    // Mount page
    WString mountSource;
    WString mountPath;
    int32_t mountIndex = 0;
    bool mountReadWrite = false;
    bool mountCheck = false;
    bool unmountCommit = false;
    bool unmountCheck = false;

    // Delete page
    WString deleteSource;
    int32_t deleteIndex = 0;
    bool deleteCheck = false;

    // Export page
    WString exportSource;
    WString exportDestination;
    int32_t exportIndex = 0;
    WString exportCompression;
    bool exportCheck = false;
    bool exportAllImages = false;  // every image of the source; the index is ignored

    // Split page
    WString splitSource;
    WString splitDestination;
    bool splitCheck = false;
    WString splitSize;

    // Files page: the image browsed, the target folder, and the image paths
    // (files or folders) its Extract takes, set just before it runs.
    WString filesSource;
    int32_t filesIndex = 0;
    WString filesTarget;
    std::vector<WString> filesItems;

    // Extract's progress across its items (run state).
    uint64_t extractBytesDone = 0;  // of the items already extracted
    uint64_t extractItemBytes = 0;  // of the item being extracted
    uint64_t extractTotalBytes = 0;

    // Image picker
    WString pickerWimPath;
    int32_t pickerIndex = 0;

    // Capture pattern lists
    PatternList exclusions;
    PatternList compressionExclusions;
    PatternList exclusionExceptions;

    // What a worker last asked the progress window to show, taken by the
    // window's thread when WM_PROGRESS_REFRESH arrives (base/log.h): the
    // worker never waits for a repaint. Under pendingLock.
    struct PendingProgress {
        std::vector<std::pair<int, WString>> texts;  // control id, newest text
        bool barMoved = false;
        UINT barPercent = 0;
        bool logChanged = false;
    };
    std::mutex pendingLock;
    PendingProgress pending;
    std::atomic<bool> refreshPosted{false};

    // The newest remaining-time estimate and when it came, so that the
    // window's clock keeps the time line moving while the library is silent
    // (a solid LZMS chunk takes many seconds). Under timeLock; ticking from
    // the operation's first estimate until it ends.
    std::mutex timeLock;
    bool timeTicking = false;
    uint32_t remainingEstimate = 0;
    uint32_t remainingEstimateAt = 0;

    // Serialises appends to logText: the worker logs while the user-interface
    // thread may add the abort notice.
    std::mutex logLock;
    // Counts changes of logText (under logLock), so that a copy of the log
    // shown in the window can be told from the newest.
    uint64_t logVersion = 0;
};

// The run state as a fresh operation needs it: empty log, no abort asked,
// not busy, no pending progress or ticking clock, counters and notices at
// zero, the start time now. The progress window calls it when it opens.
void ResetRunState(TaskState& task);

// Posted to the main window by an operation that found the mounted-image list
// out of date; the shell shows it anew.
constexpr UINT WM_MOUNTS_CHANGED = WM_APP + 20;

// The module whose resources the program loads (the executable).
extern HINSTANCE g_instance;

// The process-wide record, built by static initialisation.
TaskState& Task();
