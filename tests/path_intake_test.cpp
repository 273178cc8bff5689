// Every operation takes its typed paths through the one intake: a path too
// long for the library is refused with the operation's failure line and the
// reason, whatever the page, and nothing is opened or mounted.
#include "base/log.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/scripted_imaging.h"

#include <functional>

namespace {

TEST(PathIntakeTest, OverLongPathsAreRefusedEverywhereWithTheReason)
{
    ScratchFolder folder;
    const WString good = DosPath(folder / "a.wim");
    const WString longPath = DosPath(folder.path()) + WSTR("\\") + WString(300, WSTR('x')) + WSTR(".wim");
    const std::string tooLong = "錯誤: " + SystemText(ERROR_FILENAME_EXCED_RANGE) + "\r\n";
    const std::string cut = Narrow(WString(longPath, 0, kTextBufferSize - 1));

    const struct {
        const char* name;
        std::function<void(TaskState&)> page;
        bool (*run)(TaskState&);
        std::string failure;  // the start of the line before the reason
    } cases[] = {
        {"apply source",
         [&](TaskState& t) { t.applySource = longPath, t.applyDestination = DosPath(folder.path()); },
         RunApply, "錯誤: 無法開啟映像檔."},
        {"apply target", [&](TaskState& t) { t.applySource = good, t.applyDestination = longPath; }, RunApply,
         "錯誤: 還原映像檔時出錯."},
        {"export source", [&](TaskState& t) { t.exportSource = longPath, t.exportDestination = good; },
         RunExport, "錯誤: 無法開啟映像檔."},
        {"export destination", [&](TaskState& t) { t.exportSource = good, t.exportDestination = longPath; },
         RunExport, "錯誤: 無法開啟映像檔."},
        {"split source", [&](TaskState& t) { t.splitSource = longPath, t.splitDestination = good; }, RunSplit,
         "錯誤: 無法開啟映像檔."},
        {"split destination", [&](TaskState& t) { t.splitSource = good, t.splitDestination = longPath; },
         RunSplit, "錯誤: 無法開啟映像檔."},
        {"mount source",
         [&](TaskState& t) { t.mountSource = longPath, t.mountPath = DosPath(folder.path()); }, RunMount,
         "錯誤: 無法開啟映像檔."},
        {"mount path", [&](TaskState& t) { t.mountSource = good, t.mountPath = longPath; }, RunMount,
         "錯誤: 無法掛載映像檔."},
        {"unmount path", [&](TaskState& t) { t.mountPath = longPath; }, RunUnmount, "錯誤: 未找到掛載點在 "},
    };
    for (const auto& c : cases) {
        ScriptedImaging library;
        TaskState& task = FreshTask();
        c.page(task);
        EXPECT_FALSE(c.run(task)) << c.name;
        const std::string log = Narrow(task.logText);
        const size_t line = log.find(c.failure);
        ASSERT_NE(line, std::string::npos) << c.name << "\n" << log;
        EXPECT_EQ(log.substr(log.find("\r\n", line) + 2, tooLong.size()), tooLong) << c.name << "\n" << log;
        // The log shows what was typed (as much as its line holds), never an
        // empty or a different path.
        EXPECT_NE(log.find(cut.substr(0, 200)), std::string::npos) << c.name << "\n" << log;
        for (const char* call : {"WIMCreateFile", "WIMMountImageHandle", "WIMGetMountedImages"})
            EXPECT_EQ(library.CallCount(call), 0) << c.name << " " << call;
    }
}

}  // namespace
