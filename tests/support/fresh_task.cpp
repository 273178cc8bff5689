#include "tests/support/fresh_task.h"

#include "tests/gtest_support.h"

#include <mmsystem.h>

TaskState& FreshTask()
{
    TaskState& task = Task();
    task.RestoreInputDefaults();
    task.progressWindow = nullptr;
    task.logText.clear();
    task.abortRequested = false;
    task.busy = false;
    task.itemsDone = 0;
    task.folderCount = 0;
    task.fileCount = 0;
    task.lastPercent = 0;
    task.scanNoticeShown = false;
    task.verifyNoticeShown = false;
    task.eaNoticeShown = false;
    task.startTime = timeGetTime();
    return task;
}

namespace {

class FreshTaskListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { FreshTask(); }
};

}  // namespace

void FreshTaskForEveryTest()
{
    testing::UnitTest::GetInstance()->listeners().Append(new FreshTaskListener);
}
