#include "base/task_state.h"

#include "base/log.h"
#include "base/resource.h"

#include <mmsystem.h>

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
{
    RestoreInputDefaults();
}

void TaskState::RestoreInputDefaults()
{
    captureSource.clear();
    captureDestination.clear();
    captureTempDir.clear();
    captureName = WSTR("MYWIM1");
    captureDescription = WSTR("Captured with Corvane");
    captureDisplayName = WSTR("My WIM 1");
    captureDisplayDescription = WSTR("Captured with Corvane");
    captureCompression = LoadDefaultText(IDS_COMPRESSION_LZX);
    captureBoot = false;
    captureVerify = true;
    captureCheck = false;
    captureNoRpFix = false;
    captureConfigFile.clear();
    captureFlags.clear();
    captureShowSettings = false;

    applySource.clear();
    applyDestination.clear();
    applyIndex = 1;
    applyVerify = true;
    applyCheck = false;

    infoSource.clear();
    infoText.clear();

    changeSource.clear();
    changeIndex = 1;
    changeName.clear();
    changeDescription.clear();
    changeDisplayName.clear();
    changeDisplayDescription.clear();
    changeFlags.clear();
    changeBoot = false;
    changeCheck = false;

    mountSource.clear();
    mountPath.clear();
    mountIndex = 1;
    mountReadWrite = false;
    mountCheck = false;
    unmountCommit = false;
    unmountCheck = false;

    deleteSource.clear();
    deleteIndex = 1;
    deleteCheck = false;

    exportSource.clear();
    exportDestination.clear();
    exportIndex = 1;
    exportCompression = LoadDefaultText(IDS_COMPRESSION_LZX);
    exportCheck = false;
    exportAllImages = false;

    splitSource.clear();
    splitDestination.clear();
    splitCheck = false;
    splitSize = LoadDefaultText(IDS_SPLIT_SIZE_FAT32);

    filesSource.clear();
    filesIndex = 1;
    filesTarget.clear();
    filesItems.clear();

    pickerWimPath.clear();
    pickerIndex = 0;
}

TaskState::~TaskState()
{
    // The pattern lists go first, then the strings (member destruction).
    FreePatternList(exclusions);
    FreePatternList(compressionExclusions);
    FreePatternList(exclusionExceptions);
}

void ResetRunState(TaskState& task)
{
    {
        std::lock_guard<std::mutex> hold(task.logLock);
        task.logText.clear();
        ++task.logVersion;
    }
    task.abortRequested = false;
    task.busy = false;
    StopTimeStatus(task);
    DropPendingProgress(task);
    task.refreshPosted = false;
    task.itemsDone = 0;
    task.folderCount = 0;
    task.fileCount = 0;
    task.extractBytesDone = 0;
    task.extractItemBytes = 0;
    task.extractTotalBytes = 0;
    task.lastPercent = 0;
    task.scanNoticeShown = false;
    task.verifyNoticeShown = false;
    task.eaNoticeShown = false;
    task.startTime = timeGetTime();
}

TaskState& Task()
{
    static TaskState state;
    return state;
}
