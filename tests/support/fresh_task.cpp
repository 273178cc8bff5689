#include "tests/support/fresh_task.h"

#include "tests/gtest_support.h"

TaskState& FreshTask()
{
    TaskState& task = Task();
    task.RestoreInputDefaults();
    task.progressWindow = nullptr;
    ResetRunState(task);
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
