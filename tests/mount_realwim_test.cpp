// Mount, the mounted list and unmount on real WIM files, through the
// platform's layer and its FUSE helper; checked with wimlib-imagex and the
// kernel's mount table. Every test unmounts what it mounted in its
// tear-down, so a failed test leaves no mount behind.
#include "app/pages.h"
#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"
#include "imaging/wimlib/layer.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/message_listener.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"

#include <commctrl.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char kSuccessLine[] = "\r\n映像檔掛載成功.\r\n";
const char kUnmountedLine[] = "\r\n已成功卸載映像檔\r\n";
const char kCommitLine[] = "正在儲存變更並卸載映像檔...";

std::string Reason(DWORD code)
{
    WCHAR text[kTextBufferSize];
    return Narrow(SystemErrorText(text, code));
}

// The wimlib mounts under `prefix` in the kernel's table.
std::vector<std::string> WimfsMountsUnder(const std::string& prefix)
{
    std::vector<std::string> mounts;
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (line.find(" - fuse.wimfs ") != std::string::npos && point.rfind(prefix, 0) == 0)
            mounts.push_back(point);
    }
    return mounts;
}

std::vector<WIM_MOUNT_LIST> MountedList()
{
    std::vector<WIM_MOUNT_LIST> list(32);
    DWORD size = static_cast<DWORD>(list.size() * sizeof(WIM_MOUNT_LIST));
    EXPECT_TRUE(WIMGetMountedImages(list.data(), &size)) << GetLastError();
    list.resize(size / sizeof(WIM_MOUNT_LIST));
    return list;
}

// The helper processes serving mounts under `prefix`.
std::vector<pid_t> HelperProcessesFor(const std::string& prefix)
{
    std::vector<pid_t> found;
    std::string listing;
    Shell("ls /proc", &listing);
    std::istringstream names(listing);
    std::string name;
    while (names >> name) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string command = FileBytes("/proc/" + name + "/cmdline");
        if (command.find("corvane-mount-helper") != std::string::npos &&
            command.find(prefix) != std::string::npos)
            found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return found;
}

class MountRealWim : public testing::Test {
protected:
    void SetUp() override
    {
        if (access("/dev/fuse", R_OK | W_OK) != 0 || geteuid() != 0)
            GTEST_SKIP() << "real mounts need /dev/fuse and root";
        records = folder / "records";
        setenv("CORVANE_MOUNT_RECORDS", records.c_str(), 1);
        wim = folder / "base.wim";
        MakeSampleWim(wim, 2);
        mountDir = folder / "mnt";
        Shell("mkdir -p " + Quoted(mountDir));
        task.mountSource = DosPath(wim);
        task.mountPath = DosPath(mountDir);
        task.mountIndex = 2;
    }

    void TearDown() override
    {
        // Whatever a failed test left mounted goes, daemons first.
        for (pid_t helper : HelperProcessesFor(folder.path()))
            kill(helper, SIGKILL);
        for (const std::string& point : WimfsMountsUnder(folder.path()))
            umount2(point.c_str(), MNT_DETACH);
        for (const std::string& point : tmpfsMounts)
            umount2(point.c_str(), MNT_DETACH);
        unsetenv("CORVANE_MOUNT_RECORDS");
        unsetenv("CORVANE_FUSE_DEVICE");
    }

    std::string Log() const { return Narrow(task.logText); }

    bool Mount(bool readWrite)
    {
        task.logText.clear();
        task.mountReadWrite = readWrite;
        return RunMount(task);
    }

    bool Unmount(bool commit)
    {
        task.logText.clear();
        task.unmountCommit = commit;
        return RunUnmount(task);
    }

    bool WaitForEmptyList()
    {
        return WaitFor([] { return MountedList().empty(); });
    }

    std::string Sha256(const std::string& path) { return ShellOutput("sha256sum < " + Quoted(path)); }

    ScratchFolder folder;
    std::string records;
    std::string wim;
    std::string mountDir;
    std::vector<std::string> tmpfsMounts;
    TaskState task;
};

TEST_F(MountRealWim, ReadOnlyMountIsListedAsRAndShowsTheImageAsApplied)
{
    const std::string before = Sha256(wim);
    ASSERT_TRUE(Mount(false)) << Log();
    EXPECT_NE(Log().find(kSuccessLine), std::string::npos);
    EXPECT_EQ(WimfsMountsUnder(folder.path()), std::vector<std::string>{mountDir});

    const std::vector<WIM_MOUNT_LIST> listed = MountedList();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(Narrow(listed[0].MountPath), Narrow(task.mountPath));
    EXPECT_EQ(Narrow(listed[0].WimPath), Narrow(task.mountSource));
    EXPECT_EQ(listed[0].ImageIndex, 2u);
    EXPECT_FALSE(listed[0].MountedForRW);

    const std::string applied = folder / "applied";
    ShellOutput("wimlib-imagex apply " + Quoted(wim) + " 2 " + Quoted(applied));
    ShellOutput("diff -r " + Quoted(applied) + " " + Quoted(mountDir));
    EXPECT_NE(Shell("touch " + Quoted(mountDir + "/new.txt")), 0) << "a read-only mount took a new file";

    // The library refuses a commit of a read-only mount itself, and a list
    // asked for without room for it.
    HANDLE mountedWim = nullptr;
    HANDLE mountedImage = nullptr;
    ASSERT_TRUE(WIMGetMountedImageHandle(task.mountPath.c_str(), 0, &mountedWim, &mountedImage));
    EXPECT_FALSE(WIMCommitImageHandle(mountedImage, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    WIMCloseHandle(mountedImage);
    WIMCloseHandle(mountedWim);
    DWORD size = 10 * sizeof(WIM_MOUNT_LIST);
    EXPECT_FALSE(WIMGetMountedImages(nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(WIM_MOUNT_LIST));

    // Its file is not rebuilt under the mount, which reads it.
    TaskState rebuild;
    rebuild.infoSource = task.mountSource;
    EXPECT_FALSE(RunOptimize(rebuild));
    WCHAR reason[kTextBufferSize];
    EXPECT_NE(Narrow(rebuild.logText)
                  .find(Narrow(LoadMessageArgs(reason, IDS_OPTIMIZE_MOUNTED,
                                               {reinterpret_cast<DWORD_PTR>(task.mountPath.c_str())}))),
              std::string::npos)
        << Narrow(rebuild.logText);
    EXPECT_EQ(Sha256(wim), before);

    // A commit asked of a read-only mount is not made.
    ASSERT_TRUE(Unmount(true)) << Log();
    EXPECT_EQ(Log().find(kCommitLine), std::string::npos);
    EXPECT_NE(Log().find(kUnmountedLine), std::string::npos);
    EXPECT_TRUE(WimfsMountsUnder(folder.path()).empty());
    EXPECT_TRUE(MountedList().empty());
    EXPECT_EQ(Sha256(wim), before);
    EXPECT_TRUE(HelperProcessesFor(folder.path()).empty());
}

TEST_F(MountRealWim, ReadWriteEditCommittedLandsInTheWim)
{
    task.mountIndex = 1;
    ASSERT_TRUE(Mount(true)) << Log();
    const std::vector<WIM_MOUNT_LIST> listed = MountedList();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed[0].MountedForRW);
    EXPECT_EQ(listed[0].ImageIndex, 1u);

    ShellOutput("echo added > " + Quoted(mountDir + "/added.txt") + " && rm " +
                Quoted(mountDir + "/readme.txt"));
    task.unmountCheck = true;
    int progressMessages = 0;  // the bar follows the commit's writing
    const size_t descriptors = OpenDescriptorCount();
    {
        MessageListener count([&](DWORD message, WPARAM) {
            progressMessages += message == WIM_MSG_PROGRESS;
            return WIM_MSG_SUCCESS;
        });
        ASSERT_TRUE(Unmount(true)) << Log();
    }
    EXPECT_GT(progressMessages, 0);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_NE(Log().find(std::string(kCommitLine) + "\r\n正在卸載映像檔...\r\n"), std::string::npos) << Log();
    EXPECT_TRUE(WimfsMountsUnder(folder.path()).empty());
    EXPECT_TRUE(MountedList().empty());

    const std::string listing = ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 1");
    EXPECT_NE(listing.find("/added.txt"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("/readme.txt"), std::string::npos) << listing;
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
    EXPECT_NE(ShellOutput("wimlib-imagex info " + Quoted(wim)).find("Integrity info"), std::string::npos);
    // The other image is untouched, and nothing is left beside the WIM.
    EXPECT_NE(ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 2").find("/readme.txt"), std::string::npos);
    EXPECT_EQ(ShellOutput("ls " + Quoted(folder.path())), "base.wim\nmnt\nrecords\n");
}

TEST_F(MountRealWim, UnmountWithoutCommitLeavesTheWimByteForByte)
{
    const std::string before = Sha256(wim);
    ASSERT_TRUE(Mount(true)) << Log();
    ShellOutput("echo changed > " + Quoted(mountDir + "/readme.txt") + " && mkdir " +
                Quoted(mountDir + "/new"));
    ASSERT_TRUE(Unmount(false)) << Log();
    EXPECT_EQ(Log().find(kCommitLine), std::string::npos);
    EXPECT_EQ(Sha256(wim), before);
    EXPECT_TRUE(WimfsMountsUnder(folder.path()).empty());
    EXPECT_EQ(Shell("ls " + Quoted(mountDir + "/readme.txt")), 2) << "the folder still shows the image";
}

TEST_F(MountRealWim, AReadWriteMountHoldsTheWimAgainstOtherWriters)
{
    ASSERT_TRUE(Mount(true)) << Log();
    const std::string before = Sha256(wim);

    TaskState deletion;
    deletion.deleteSource = task.mountSource;
    deletion.deleteIndex = 1;
    EXPECT_FALSE(RunDelete(deletion));
    DWORD created = 0;
    EXPECT_EQ(WIMCreateFile(task.mountSource.c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE, WIM_OPEN_EXISTING,
                            0, 0, &created),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    const std::string second = folder / "second";
    Shell("mkdir " + Quoted(second));
    TaskState again;
    again.mountSource = task.mountSource;
    again.mountIndex = task.mountIndex;
    again.mountPath = DosPath(second);
    again.mountReadWrite = true;
    EXPECT_FALSE(RunMount(again));
    EXPECT_NE(Narrow(again.logText).find("錯誤: " + Reason(ERROR_SHARING_VIOLATION)), std::string::npos)
        << Narrow(again.logText);
    // Readers are not held back: the other image mounts read-only beside it.
    again.logText.clear();
    again.mountReadWrite = false;
    again.mountIndex = 1;
    EXPECT_TRUE(RunMount(again)) << Narrow(again.logText);
    EXPECT_EQ(MountedList().size(), 2u);
    EXPECT_EQ(Sha256(wim), before);

    ASSERT_TRUE(Unmount(false)) << Log();
    task.mountPath = again.mountPath;
    ASSERT_TRUE(Unmount(false)) << Log();
    // Once unmounted, the WIM takes writes again.
    EXPECT_TRUE(RunDelete(deletion)) << Narrow(deletion.logText);
}

TEST_F(MountRealWim, AFailedCommitKeepsTheImageMountedWithItsChanges)
{
    const std::string tinyDisk = folder / "tinyDisk";
    Shell("mkdir " + Quoted(tinyDisk));
    if (Shell("mount -t tmpfs -o size=256k tmpfs " + Quoted(tinyDisk)) != 0)
        GTEST_SKIP() << "cannot make a small file system here";
    tmpfsMounts.push_back(tinyDisk);
    wim = tinyDisk + "/base.wim";
    MakeSampleWim(wim, 1, "--compress=none");
    const std::string before = Sha256(wim);
    task.mountSource = DosPath(wim);
    task.mountIndex = 1;
    ASSERT_TRUE(Mount(true)) << Log();
    // Changes wait in the temporary folder; the WIM's file system cannot take them.
    ShellOutput("head -c 1000000 /dev/urandom > " + Quoted(mountDir + "/big.bin"));

    EXPECT_FALSE(Unmount(true));
    EXPECT_NE(Log().find("錯誤: 無法寫入變更.\r\n錯誤: " + Reason(ERROR_DISK_FULL)), std::string::npos)
        << Log();
    EXPECT_EQ(Log().find("正在卸載映像檔..."), std::string::npos);
    ASSERT_EQ(MountedList().size(), 1u);
    EXPECT_EQ(FileBytes(mountDir + "/big.bin").size(), 1000000u);
    EXPECT_EQ(Sha256(wim), before);
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(tinyDisk)), "base.wim\n") << "a journal or temporary file stayed";

    ASSERT_TRUE(Unmount(false)) << Log();
    EXPECT_TRUE(MountedList().empty());
    EXPECT_EQ(Sha256(wim), before);
}

TEST_F(MountRealWim, TheMountPathIsKeptAsTypedAndFoundWithoutCaseOrTrailingBackslash)
{
    WString typed = DosPath(mountDir) + WSTR("\\");
    task.mountPath = typed;
    ASSERT_TRUE(Mount(false)) << Log();
    std::vector<WIM_MOUNT_LIST> listed = MountedList();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(Narrow(listed[0].MountPath), Narrow(typed));

    // Typed again in other letters and without the backslash.
    WString other = DosPath(mountDir);
    CharUpperW(other.data());
    task.mountPath = other;
    ASSERT_TRUE(Unmount(false)) << Log();
    EXPECT_NE(Log().find("掛載路徑:\t\t" + Narrow(typed) + "\r\n"), std::string::npos) << Log();
    EXPECT_TRUE(MountedList().empty());
}

TEST_F(MountRealWim, AMountThatVanishedIsNotFoundAndDropsOutOfTheList)
{
    ASSERT_TRUE(Mount(false)) << Log();
    ASSERT_EQ(MountedList().size(), 1u);
    ShellOutput("umount " + Quoted(mountDir));
    EXPECT_TRUE(WaitForEmptyList());
    EXPECT_FALSE(Unmount(false));
    EXPECT_EQ(Log(), "錯誤: 未找到掛載點在 " + Narrow(task.mountPath) + ".\r\n");
    // The record goes with the daemon, which ends soon after the unmount.
    EXPECT_TRUE(WaitFor([&] {
        MountedList();
        std::string left;
        Shell("ls -A " + Quoted(records), &left);
        return left.empty();
    }));
}

TEST_F(MountRealWim, AKilledHelperLeavesNoHangAndItsEntryGoes)
{
    ASSERT_TRUE(Mount(true)) << Log();
    const std::vector<pid_t> helpers = HelperProcessesFor(folder.path());
    ASSERT_EQ(helpers.size(), 1u);
    kill(helpers[0], SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return HelperProcessesFor(folder.path()).empty(); }));

    const DWORD start = GetTickCount();
    EXPECT_TRUE(MountedList().empty());
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(WimfsMountsUnder(folder.path()).empty()) << "the dead mount was not detached";
    EXPECT_FALSE(Unmount(false));
    EXPECT_NE(Log().find("錯誤: 未找到掛載點在 "), std::string::npos);

    // The folder and the WIM are free for a new mount.
    ASSERT_TRUE(Mount(true)) << Log();
    ASSERT_TRUE(Unmount(false)) << Log();
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
}

TEST_F(MountRealWim, WithoutFuseNothingIsMountedOrRecorded)
{
    setenv("CORVANE_FUSE_DEVICE", (folder / "no-fuse").c_str(), 1);
    EXPECT_FALSE(Mount(true));
    EXPECT_NE(Log().find("錯誤: 無法掛載映像檔.\r\n錯誤: " + Reason(ERROR_DEV_NOT_EXIST)), std::string::npos)
        << Log();
    EXPECT_TRUE(WimfsMountsUnder(folder.path()).empty());
    EXPECT_TRUE(MountedList().empty());
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(records)), "");
    // The WIM is not held either.
    TaskState deletion;
    deletion.deleteSource = task.mountSource;
    deletion.deleteIndex = 1;
    EXPECT_TRUE(RunDelete(deletion)) << Narrow(deletion.logText);
}

TEST_F(MountRealWim, MountFolderThatIsMissingFullOrMountedIsRefused)
{
    struct Case {
        std::string folder;
        DWORD error;
    };
    Shell("mkdir -p " + Quoted(folder / "full") + " && touch " + Quoted(folder / "full/x"));
    ASSERT_TRUE(Mount(false)) << Log();
    const Case cases[] = {
        {folder / "missing", ERROR_PATH_NOT_FOUND},
        {folder / "full", ERROR_DIR_NOT_EMPTY},
        {wim, ERROR_DIRECTORY},
        {mountDir, ERROR_BUSY},
    };
    for (const Case& c : cases) {
        TaskState run;
        run.mountSource = task.mountSource;
        run.mountIndex = task.mountIndex;
        run.mountPath = DosPath(c.folder);
        EXPECT_FALSE(RunMount(run)) << c.folder;
        EXPECT_NE(Narrow(run.logText).find("錯誤: 無法掛載映像檔.\r\n錯誤: " + Reason(c.error)),
                  std::string::npos)
            << Narrow(run.logText);
    }
    EXPECT_EQ(MountedList().size(), 1u);
    ASSERT_TRUE(Unmount(false)) << Log();
}

// The test program itself, run again as a second process.
std::string ThisProgram()
{
    Dl_info info = {};
    dladdr(reinterpret_cast<void*>(&ThisProgram), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

TEST_F(MountRealWim, ASecondProcessListsTheMountAndUnmountsIt)
{
    ASSERT_TRUE(Mount(true)) << Log();
    ShellOutput("echo other > " + Quoted(mountDir + "/other.txt"));
    const std::string result = folder / "child.txt";
    const std::string output = ShellOutput(
        "CORVANE_CHILD_RESULT=" + Quoted(result) + " CORVANE_CHILD_MOUNT=" + Quoted(Narrow(task.mountPath)) +
        " wine " + Quoted(ThisProgram()) + " --gtest_filter=MountRealWimChild.*");
    EXPECT_EQ(FileBytes(result), "listed R/W 2 " + Narrow(task.mountPath) + "\nunmounted\n") << output;
    EXPECT_TRUE(WimfsMountsUnder(folder.path()).empty());
    EXPECT_TRUE(MountedList().empty());
    EXPECT_NE(ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 2").find("/other.txt"), std::string::npos);
}

// Runs only as that second process.
TEST(MountRealWimChild, ListsAndUnmountsWithCommit)
{
    const char* result = getenv("CORVANE_CHILD_RESULT");
    const char* mountPath = getenv("CORVANE_CHILD_MOUNT");
    if (result == nullptr || mountPath == nullptr)
        GTEST_SKIP() << "runs only as the second process of another test";
    std::ofstream out(result);
    for (const WIM_MOUNT_LIST& entry : MountedList())
        out << "listed " << (entry.MountedForRW ? "R/W " : "R ") << entry.ImageIndex << " "
            << Narrow(entry.MountPath) << "\n";
    TaskState task;
    task.mountPath = WideFromUtf8(mountPath);
    task.unmountCommit = true;
    if (RunUnmount(task))
        out << "unmounted\n";
    else
        out << Narrow(task.logText);
}

int syncsBeforeKill = 0;

int KillingSync(int descriptor)
{
    if (--syncsBeforeKill == 0)
        kill(getpid(), SIGKILL);
    return fsync(descriptor);
}

// Runs only as the second process of the test below: unmounts with commit
// and is killed at one of the commit's syncs.
TEST(MountRealWimChild, CommitsAndIsKilledAtASync)
{
    const char* mountPath = getenv("CORVANE_CHILD_KILLED_MOUNT");
    const char* sync = getenv("CORVANE_CHILD_KILL_AT_SYNC");
    if (mountPath == nullptr || sync == nullptr)
        GTEST_SKIP() << "runs only as the second process of another test";
    syncsBeforeKill = std::atoi(sync);
    layer::SyncDescriptor = KillingSync;
    TaskState task;
    task.mountPath = WideFromUtf8(mountPath);
    task.unmountCommit = true;
    RunUnmount(task);
}

// The program is killed while it commits a read/write mount. Killed before
// the changes went to the helper, the image stays mounted and the next
// commit saves them; killed after, the helper finishes the commit at once
// (not after a timeout), lets go of the WIM, and the next discard says what
// became of the changes.
TEST_F(MountRealWim, ACommitCutShortByAKillIsFinishedAtOnceAndSaidSo)
{
    const struct {
        int killAtSync;  // journal, its folder, the journal with the new header, the WIM
        bool reachedHelper;
    } cases[] = {{1, false}, {3, true}, {4, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE("killed at sync " + std::to_string(c.killAtSync));
        task.mountIndex = 1;
        ASSERT_TRUE(Mount(true)) << Log();
        const std::string added = "added" + std::to_string(c.killAtSync) + ".txt";
        ShellOutput("echo added > " + Quoted(mountDir + "/" + added));
        std::string output;
        Shell("CORVANE_CHILD_KILL_AT_SYNC=" + std::to_string(c.killAtSync) +
                  " CORVANE_CHILD_KILLED_MOUNT=" + Quoted(Narrow(task.mountPath)) + " wine " +
                  Quoted(ThisProgram()) + " --gtest_filter=MountRealWimChild.CommitsAndIsKilledAtASync",
              &output);
        const auto killed = std::chrono::steady_clock::now();
        if (!c.reachedHelper) {
            ASSERT_EQ(MountedList().size(), 1u);
            EXPECT_EQ(WimfsMountsUnder(folder.path()), std::vector<std::string>{mountDir});
            task.unmountCheck = false;
            ASSERT_TRUE(Unmount(true)) << Log();
        } else {
            ASSERT_TRUE(WaitFor([&] { return HelperProcessesFor(folder.path()).empty(); }));
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - killed);
            EXPECT_LT(waited.count(), 5000) << "the helper held the WIM until a timeout";
            EXPECT_TRUE(WimfsMountsUnder(folder.path()).empty());
            EXPECT_EQ(Shell("test -e " + Quoted(wim + ".corvane-journal")), 1);
            // Listed until an unmount of it has said what happened. An ending
            // process loses its command line before its descriptors, so the
            // helper's lock on the record may outlive it by a moment.
            ASSERT_TRUE(WaitFor([&] { return MountedList().size() == 1u; }, 5000));
            EXPECT_EQ(MountedList().size(), 1u);
            // The callback logs into the program's task, as in the window.
            Task().logText.clear();
            EXPECT_TRUE(Unmount(false)) << Log();
            EXPECT_NE(Narrow(Task().logText)
                          .find("WARNING: " + Narrow(task.mountPath) +
                                ": the program ended while the changes of this mount were being saved into " +
                                Narrow(task.mountSource) + "; the mount's helper finished saving them"),
                      std::string::npos)
                << Narrow(Task().logText);
        }
        EXPECT_TRUE(MountedList().empty());
        // The changes are in the file, which is whole and free for writers.
        EXPECT_NE(ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 1").find("/" + added),
                  std::string::npos);
        ShellOutput("wimlib-imagex verify " + Quoted(wim));
        DWORD created = 0;
        HANDLE writer = WIMCreateFile(task.mountSource.c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE,
                                      WIM_OPEN_EXISTING, 0, 0, &created);
        EXPECT_NE(writer, nullptr) << GetLastError();
        WIMCloseHandle(writer);
        EXPECT_EQ(ShellOutput("ls -A " + Quoted(records)), "");
    }
}

// The Mount page with a real mount: mount, see the row, unmount with the
// changes, see the list empty.
class MountWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (access("/dev/fuse", R_OK | W_OK) != 0 || geteuid() != 0)
            GTEST_SKIP() << "real mounts need /dev/fuse and root";
        setenv("CORVANE_MOUNT_RECORDS", (folder / "records").c_str(), 1);
        ASSERT_TRUE(session.started());
    }
    void TearDown() override
    {
        for (pid_t helper : HelperProcessesFor(folder.path()))
            kill(helper, SIGKILL);
        for (const std::string& point : WimfsMountsUnder(folder.path()))
            umount2(point.c_str(), MNT_DETACH);
        unsetenv("CORVANE_MOUNT_RECORDS");
    }

    // Presses an operation button and closes its progress window once the
    // operation has ended; the log it showed.
    std::string RunFromPage(int button)
    {
        PostClick(session.control(button));
        HWND progress = session.WaitForWindow(WideFromUtf8("映像操作執行中..."));
        EXPECT_NE(progress, nullptr);
        if (progress == nullptr)
            return {};
        HWND close = GetDlgItem(progress, IDC_PROGRESS_BUTTON);
        EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(close) && Task().workerThread == nullptr; }, 60000));
        const std::string log = Narrow(WindowText(GetDlgItem(progress, IDC_PROGRESS_LOG)));
        PostClick(close);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(progress); }));
        return log;
    }

    ScratchFolder folder;
    MainWindowSession session;
};

TEST_F(MountWindowTest, MountShowsItsRowAndUnmountWithCommitEmptiesTheList)
{
    const std::string wim = folder / "page.wim";
    const std::string mountDir = folder / "mnt";
    MakeSampleWim(wim, 1);
    Shell("mkdir " + Quoted(mountDir));
    session.SelectTab(kPageMount);
    HWND list = session.control(IDC_MOUNT_LIST);
    EXPECT_EQ(RowCount(list), 0);
    TypeOver(session.control(IDC_MOUNT_SOURCE), DosPath(wim));
    TypeOver(session.control(IDC_MOUNT_PATH), DosPath(mountDir));
    TypeOver(session.control(IDC_MOUNT_INDEX_EDIT), WSTR("1"));
    ASSERT_TRUE(Click(session.control(IDC_MOUNT_READWRITE)));

    const std::string mounted = RunFromPage(IDC_MOUNT_RUN);
    EXPECT_NE(mounted.find("映像檔掛載成功."), std::string::npos) << mounted;
    ASSERT_TRUE(WaitFor([&] { return RowCount(list) == 1; }));
    EXPECT_EQ(Cell(list, 0, 0), "R/W");
    EXPECT_EQ(Cell(list, 0, 1), Narrow(DosPath(mountDir)));
    EXPECT_EQ(Cell(list, 0, 2), Narrow(DosPath(wim)));
    EXPECT_EQ(Cell(list, 0, 3), "1");

    ShellOutput("echo page > " + Quoted(mountDir + "/page.txt"));
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
    ASSERT_TRUE(Click(session.control(IDC_UNMOUNT_COMMIT)));
    const std::string unmounted = RunFromPage(IDC_UNMOUNT_RUN);
    EXPECT_NE(unmounted.find("正在儲存變更並卸載映像檔..."), std::string::npos) << unmounted;
    EXPECT_NE(unmounted.find("已成功卸載映像檔"), std::string::npos) << unmounted;
    EXPECT_TRUE(WaitFor([&] { return RowCount(list) == 0; }));
    EXPECT_NE(ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 1").find("/page.txt"), std::string::npos);
    EXPECT_TRUE(WimfsMountsUnder(folder.path()).empty());
}

}  // namespace
