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
#include <sys/stat.h>

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
        // The log shows what was typed (its start and its end, where the line
        // cannot hold it all), never an empty or a different path.
        EXPECT_NE(log.find(cut.substr(0, 100) + "x"), std::string::npos) << c.name << "\n" << log;
        EXPECT_NE(log.find("…" + std::string(100, 'x')), std::string::npos) << c.name << "\n" << log;
        EXPECT_NE(log.find(std::string(60, 'x') + ".wim"), std::string::npos) << c.name << "\n" << log;
        for (const char* call : {"WIMCreateFile", "WIMMountImageHandle", "WIMGetMountedImages"})
            EXPECT_EQ(library.CallCount(call), 0) << c.name << " " << call;
    }
}

// A folder (created, nested where one name would be too long) whose DOS path
// is exactly `length` characters.
WString FolderOfLength(const ScratchFolder& scratch, size_t length)
{
    std::string unix = scratch.path();
    WString dos = DosPath(unix);
    while (dos.size() + 1 < length) {
        // Each name costs its backslash too; never leave one character over.
        const size_t left = length - dos.size() - 1;
        const size_t step = left <= 200 ? left : std::min<size_t>(200, left - 2);
        unix += "/" + std::string(step, 'd');
        mkdir(unix.c_str(), 0755);
        dos += WSTR("\\") + WString(step, WSTR('d'));
    }
    return dos;
}

TEST(PathIntakeTest, PathsOfAnyLengthEndInWorkOrAReasonNeverACrash)
{
    ScratchFolder scratch;
    const WString wim = DosPath(scratch / "a.wim");
    for (size_t length : {250u, 257u, 259u, 260u, 269u, 300u, 420u}) {
        ScratchFolder place;
        // A folder of this length, and a file of this length in a folder of its own.
        const WString folder = FolderOfLength(place, length);
        const WString file = FolderOfLength(place, length - 2) + WSTR("\\w");
        const struct {
            const char* name;
            std::function<void(TaskState&)> page;
            std::function<bool(TaskState&)> run;
        } cases[] = {
            {"capture destination",
             [&](TaskState& t) { t.captureSource = DosPath(scratch.path()), t.captureDestination = file; },
             [](TaskState& t) { return RunCapture(t, false); }},
            {"capture temporary folder",
             [&](TaskState& t) {
                 t.captureSource = DosPath(scratch.path()), t.captureDestination = wim,
                 t.captureTempDir = folder;
             },
             [](TaskState& t) { return RunCapture(t, true); }},
            {"capture source", [&](TaskState& t) { t.captureSource = folder, t.captureDestination = wim; },
             [](TaskState& t) { return RunCapture(t, false); }},
            {"apply target", [&](TaskState& t) { t.applySource = wim, t.applyDestination = folder; },
             RunApply},
            {"export destination", [&](TaskState& t) { t.exportSource = wim, t.exportDestination = file; },
             RunExport},
            {"export source", [&](TaskState& t) { t.exportSource = file, t.exportDestination = wim; },
             RunExport},
            {"split destination", [&](TaskState& t) { t.splitSource = wim, t.splitDestination = file; },
             RunSplit},
            {"mount path", [&](TaskState& t) { t.mountSource = wim, t.mountPath = folder; }, RunMount},
            {"unmount path", [&](TaskState& t) { t.mountPath = folder; }, RunUnmount},
            {"change source", [&](TaskState& t) { t.changeSource = file, t.changeName = WSTR("n"); },
             RunChange},
            {"delete source", [&](TaskState& t) { t.deleteSource = file; }, RunDelete},
        };
        for (const auto& c : cases) {
            ScriptedImaging library;
            library.info.ImageCount = 2;
            TaskState& task = FreshTask();
            task.applyIndex = task.exportIndex = task.mountIndex = 1;
            task.changeIndex = task.deleteIndex = 1;
            c.page(task);
            const bool worked = c.run(task);
            const std::string log = Narrow(task.logText);
            // Refused: with a reason ("錯誤: " and the system's text), not silently.
            if (!worked) {
                EXPECT_NE(log.find("錯誤: "), std::string::npos) << c.name << " " << length << "\n" << log;
            }
        }
    }
}

}  // namespace
