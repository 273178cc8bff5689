// All-or-nothing writes, one writer per file, and what killed writes leave,
// on real WIM files. Faults are made for real: a file-size limit stands for a
// full disk, and child processes (this program, run again with a filter) are
// killed by that limit or at one of the commit's syncs. wimlib-imagex then
// checks that the file is the old one or the new one, whole.
#include "imaging/wimgapi.h"
#include "imaging/wimlib/child_write.h"
#include "imaging/wimlib/journal_format.h"
#include "imaging/wimlib/layer.h"
#include "imaging/wimlib/temporary_records.h"
#include "imaging/wimlib/write_behind.h"
#include "metadata/image_info.h"
#include "operations/operations.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/fresh_task.h"
#include "tests/support/message_listener.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/xml_notice.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kReadWrite = WIM_GENERIC_READ | WIM_GENERIC_WRITE;
constexpr char kJournalSuffix[] = ".corvane-journal";
const std::string kLongDescription(6000, 'd');

HANDLE OpenWim(const std::string& wim, DWORD access, DWORD disposition = WIM_OPEN_EXISTING)
{
    DWORD creation = 0;
    return WIMCreateFile(DosPath(wim).c_str(), access, disposition, 0, WIM_COMPRESS_NONE, &creation);
}

std::string Sha256(const std::string& path)
{
    return ShellOutput("sha256sum " + Quoted(path) + " | cut -c1-64");
}

bool Verifies(const std::string& wim)
{
    return Shell("wimlib-imagex verify " + Quoted(wim)) == 0;
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Names in the WIM's folder other than the WIM itself (and the trees).
std::vector<std::string> Neighbours(const std::string& wim)
{
    const std::string folder = wim.substr(0, wim.rfind('/'));
    const std::string name = wim.substr(wim.rfind('/') + 1);
    std::string listing = ShellOutput("ls -A " + Quoted(folder));
    std::vector<std::string> found;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        if (line != name && line.rfind(name, 0) == 0)
            found.push_back(line);
    }
    return found;
}

bool WaitFor(const std::string& path, int seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!Exists(path)) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// ---------------------------------------------------------------------------
// The writes a child makes, and the parent's view of their outcome

// Fields: four texts and the boot image through one handle. Capture: an
// image appended from CORVANE_CHILD_SOURCE with its texts and boot mark.
enum class Write { Change, Boot, Delete, Fields, Capture };

const char* WriteName(Write write)
{
    switch (write) {
    case Write::Change:
        return "change";
    case Write::Boot:
        return "boot";
    case Write::Fields:
        return "fields";
    case Write::Capture:
        return "capture";
    default:
        return "delete";
    }
}

const char* Environment(const char* name);

// The texts the Fields and Capture writes give their image.
const struct {
    const WCHAR* element;
    const char* infoKey;
    const char* value;
} kFieldTexts[] = {
    {WSTR("NAME"), "Name", "Four"},
    {WSTR("DESCRIPTION"), "Description", "Four fields"},
    {WSTR("DISPLAYNAME"), "Display Name", "Shown"},
    {WSTR("DISPLAYDESCRIPTION"), "Display Description", "Shown at length"},
};

bool SetFieldTexts(TaskState& task, HANDLE image)
{
    for (const auto& field : kFieldTexts) {
        if (!SetImageField(task, image, field.element, WideFromUtf8(field.value)))
            return false;
    }
    return true;
}

// One write through the layer, as the change and delete operations make it.
bool MakeWrite(Write write, const std::string& wim)
{
    TaskState task;
    XmlNoticeCounter notices;
    HANDLE handle = OpenWim(wim, kReadWrite);
    if (handle == nullptr)
        return false;
    bool done = false;
    if (write == Write::Change) {
        HANDLE image = WIMLoadImage(handle, 1);
        done = image != nullptr &&
               SetImageField(task, image, WSTR("DESCRIPTION"), WideFromUtf8(kLongDescription));
        WIMCloseHandle(image);
    } else if (write == Write::Boot) {
        done = WIMSetBootImage(handle, 2) != FALSE;
    } else if (write == Write::Fields) {
        HANDLE image = WIMLoadImage(handle, 2);
        done = image != nullptr && SetFieldTexts(task, image) && WIMSetBootImage(handle, 2);
        WIMCloseHandle(image);
    } else if (write == Write::Capture) {
        HANDLE image = WIMCaptureImage(handle, DosPath(Environment("CORVANE_CHILD_SOURCE")).c_str(), 0);
        done = image != nullptr && SetFieldTexts(task, image) && WIMSetBootImage(handle, 4);
        WIMCloseHandle(image);
    } else {
        done = WIMDeleteImage(handle, 1) != FALSE;
    }
    // The layer writes what the handle changed as it closes.
    DWORD error = GetLastError();
    if (!WIMCloseHandle(handle) && done) {
        done = false;
        error = GetLastError();
    }
    SetLastError(error);
    return done;
}

// Whether the file holds the write (else it must be the old file).
bool HoldsWrite(Write write, const std::string& wim)
{
    auto info = WimlibInfo(wim);
    switch (write) {
    case Write::Change:
        return info[1]["Description"] == kLongDescription;
    case Write::Boot:
        return info[0]["Boot Index"] == "2";
    case Write::Fields:
    case Write::Capture: {
        const int index = write == Write::Fields ? 2 : 4;
        bool holds = info[0]["Boot Index"] == std::to_string(index);
        for (const auto& field : kFieldTexts)
            holds = holds && info[index][field.infoKey] == field.value;
        return holds;
    }
    default:
        return info[0]["Image Count"] == "2" && info[1]["Name"] == "Image 2";
    }
}

std::string TestProgram()
{
    Dl_info info = {};
    dladdr(reinterpret_cast<void*>(&TestProgram), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

// Runs WriteFaultChild in a new process of this program; returns its exit status.
int RunChild(const std::string& action, const std::string& wim, const std::string& environment = "")
{
    const std::string command =
        "CORVANE_CHILD_ACTION=" + action + " CORVANE_CHILD_WIM=" + Quoted(wim) + " " + environment +
        " wine " + Quoted(TestProgram()) +
        " --gtest_also_run_disabled_tests --gtest_filter=WriteFaultChild.DISABLED_Act";
    std::string output;
    return Shell(command, &output);
}

const char* Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int syncsBeforeKill = 0;

// The write runs in a child of its own, which alone meets the file-size
// limit: the program ends with it, as it would if killed there.
void EndWithTheWriter(int)
{
    kill(getpid(), SIGKILL);
}

int KillingSync(int descriptor)
{
    if (--syncsBeforeKill == 0)
        kill(getpid(), SIGKILL);
    return fsync(descriptor);
}

// The child's side. It is not run in the suite (DISABLED_), only by RunChild.
TEST(WriteFaultChild, DISABLED_Act)
{
    const std::string action = Environment("CORVANE_CHILD_ACTION");
    const std::string wim = Environment("CORVANE_CHILD_WIM");
    SetImagingLibrary(&PlatformImagingLibrary());
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (const char* limit = std::getenv("CORVANE_CHILD_FILE_LIMIT")) {
        // Past the limit the kernel ends the process, as a kill would.
        signal(SIGXFSZ, SIG_DFL);
        const rlimit size = {std::strtoull(limit, nullptr, 10), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &size);
        layer::ChildEndedUnanswered = EndWithTheWriter;
    }
    if (const char* count = std::getenv("CORVANE_CHILD_KILL_AT_SYNC")) {
        syncsBeforeKill = std::atoi(count);
        layer::SyncDescriptor = KillingSync;
    }

    if (action == "hold") {
        // Holds the file open for writing until the parent says, then writes.
        HANDLE handle = OpenWim(wim, kReadWrite);
        ASSERT_NE(handle, nullptr) << GetLastError();
        std::ofstream(wim + ".held") << "held";
        ASSERT_TRUE(WaitFor(wim + ".release", 60));
        HANDLE image = WIMLoadImage(handle, 1);
        TaskState task;
        ASSERT_TRUE(SetImageField(task, image, WSTR("NAME"), WSTR("child")));
        WIMCloseHandle(image);
        WIMCloseHandle(handle);
    } else if (action == "record") {
        // Killed after its record named the file and the file was made, before
        // the record knew the file.
        layer::TemporaryRecord record;
        ASSERT_TRUE(record.Begin(wim));
        std::ofstream(wim, std::ios::binary) << "made by a writer that was killed";
        kill(getpid(), SIGKILL);
    } else if (action == "recording") {
        // A live writer of ours in another process: its recorded temporary
        // file stays open until the parent says.
        layer::TemporaryRecord record;
        const int made = layer::CreateRecordedFile(record, wim, O_WRONLY, 0600);
        ASSERT_GE(made, 0) << GetLastError();
        ASSERT_EQ(write(made, "being written", 13), 13);
        std::ofstream(wim + ".held") << "held";
        EXPECT_TRUE(WaitFor(wim + ".release", 120));
        close(made);
    } else if (action == "try") {
        // Tries to open for writing; writes the last error it got.
        HANDLE handle = OpenWim(wim, kReadWrite);
        std::ofstream(wim + ".tried") << (handle == nullptr ? GetLastError() : 0u);
        WIMCloseHandle(handle);
    } else if (action == "export" || action == "split") {
        // Into a new file, or a split set, from the WIM in CORVANE_CHILD_SOURCE.
        DWORD creation = 0;
        HANDLE source = WIMCreateFile(DosPath(Environment("CORVANE_CHILD_SOURCE")).c_str(), WIM_GENERIC_READ,
                                      WIM_OPEN_EXISTING, 0, 0, &creation);
        ASSERT_NE(source, nullptr) << GetLastError();
        if (action == "split") {
            LARGE_INTEGER size;
            size.QuadPart = 1;
            WIMSplitFile(source, DosPath(wim).c_str(), &size, 0);
            EXPECT_TRUE(WIMSplitFile(source, DosPath(wim).c_str(), &size, 0)) << GetLastError();
        } else {
            HANDLE image = WIMLoadImage(source, 1);
            HANDLE destination = OpenWim(wim, kReadWrite, WIM_CREATE_NEW);
            ASSERT_NE(destination, nullptr) << GetLastError();
            EXPECT_TRUE(WIMExportImage(image, destination, 0)) << GetLastError();
            WIMCloseHandle(destination);
            WIMCloseHandle(image);
        }
        WIMCloseHandle(source);
    } else if (action == "optimize") {
        TaskState& task = FreshTask();
        task.infoSource = DosPath(wim);
        EXPECT_TRUE(RunOptimize(task)) << Narrow(task.logText);
    } else {
        const Write write = action == "change"    ? Write::Change
                            : action == "boot"    ? Write::Boot
                            : action == "fields"  ? Write::Fields
                            : action == "capture" ? Write::Capture
                                                  : Write::Delete;
        ASSERT_TRUE(MakeWrite(write, wim)) << GetLastError();
    }
}

class WriteSafetyRealWim : public testing::Test {
protected:
    void SetUp() override { previous_ = SetImagingLibrary(&PlatformImagingLibrary()); }
    void TearDown() override { SetImagingLibrary(previous_); }

    // The 3-image sample WIM, made once per test and copied for each try.
    const std::string& Base()
    {
        if (base_.empty()) {
            base_ = folder / "base.wim";
            MakeSampleWim(base_, 3, "--compress=none");
        }
        return base_;
    }

    std::string FreshCopy(const std::string& name)
    {
        const std::string wim = folder / name;
        ShellOutput("rm -f " + Quoted(wim) + "*; cp " + Quoted(Base()) + " " + Quoted(wim));
        return wim;
    }

    ScratchFolder folder;
    std::string base_;
    const ImagingLibrary* previous_ = nullptr;
};

// Opens the file for writing (which puts back or clears what a killed write
// left), then expects the old file or the new one, whole, and no leftovers.
// Returns whether it is the new one.
bool ExpectOldOrNew(Write write, const std::string& wim, const std::string& oldSha)
{
    HANDLE handle = OpenWim(wim, kReadWrite);
    EXPECT_NE(handle, nullptr) << GetLastError();
    WIMCloseHandle(handle);
    EXPECT_EQ(Neighbours(wim), std::vector<std::string>{});
    const bool isNew = HoldsWrite(write, wim);
    EXPECT_TRUE(isNew || Sha256(wim) == oldSha);
    EXPECT_TRUE(Verifies(wim));
    return isNew;
}

TEST_F(WriteSafetyRealWim, KilledWritesLeaveTheOldFileOrTheNewOne)
{
    struct Point {
        Write write;
        std::string environment;
        bool expectNew;
    };
    // The syncs of an in-place write: journal, its folder, the journal once
    // the new header is in it, the WIM, the folder after the journal went.
    // Of a rebuild: the new file, the folder after the rename. The file-size
    // limits stop the journal, the new XML or the rebuilt file part way.
    const Point points[] = {
        {Write::Change, "CORVANE_CHILD_KILL_AT_SYNC=1", false},
        {Write::Change, "CORVANE_CHILD_KILL_AT_SYNC=2", false},
        {Write::Change, "CORVANE_CHILD_KILL_AT_SYNC=3", false},
        {Write::Change, "CORVANE_CHILD_KILL_AT_SYNC=4", false},
        {Write::Change, "CORVANE_CHILD_KILL_AT_SYNC=5", true},
        {Write::Change, "CORVANE_CHILD_FILE_LIMIT=1000", false},
        {Write::Boot, "CORVANE_CHILD_KILL_AT_SYNC=2", false},
        {Write::Boot, "CORVANE_CHILD_KILL_AT_SYNC=3", false},
        {Write::Boot, "CORVANE_CHILD_KILL_AT_SYNC=4", false},
        {Write::Boot, "CORVANE_CHILD_KILL_AT_SYNC=5", true},
        {Write::Delete, "CORVANE_CHILD_KILL_AT_SYNC=1", false},
        {Write::Delete, "CORVANE_CHILD_KILL_AT_SYNC=2", true},
        {Write::Delete, "CORVANE_CHILD_FILE_LIMIT=5000", false},
        {Write::Delete, "", true},
        // Four texts and the boot image, and an append with its texts and
        // boot mark: one write each, so the last sync alone gives the new file.
        {Write::Fields, "CORVANE_CHILD_KILL_AT_SYNC=1", false},
        {Write::Fields, "CORVANE_CHILD_KILL_AT_SYNC=4", false},
        {Write::Fields, "CORVANE_CHILD_KILL_AT_SYNC=5", true},
        {Write::Capture, "CORVANE_CHILD_KILL_AT_SYNC=2", false},
        {Write::Capture, "CORVANE_CHILD_KILL_AT_SYNC=5", true},
        {Write::Capture, "CORVANE_CHILD_FILE_LIMIT=" + std::to_string(FileBytes(Base()).size() + 40000),
         false},
    };
    const off_t baseSize = static_cast<off_t>(FileBytes(Base()).size());
    const std::string tree = folder / "tree";
    ShellOutput("mkdir -p " + Quoted(tree) + " && head -c 120000 /dev/urandom > " + Quoted(tree + "/data") +
                " && echo text > " + Quoted(tree + "/note.txt"));
    const std::string source = "CORVANE_CHILD_SOURCE=" + Quoted(tree) + " ";
    int number = 0;
    for (const Point& point : points) {
        SCOPED_TRACE(WriteName(point.write) + (" " + point.environment));
        const std::string wim = FreshCopy("kill" + std::to_string(++number) + ".wim");
        const std::string oldSha = Sha256(wim);
        RunChild(WriteName(point.write), wim, source + point.environment);
        EXPECT_EQ(ExpectOldOrNew(point.write, wim, oldSha), point.expectNew);
    }

    // Killed while the new XML was half written: wimlib-imagex cannot read
    // the file until the next open puts the journal back.
    const std::string wim = FreshCopy("torn.wim");
    const std::string oldSha = Sha256(wim);
    RunChild("change", wim, "CORVANE_CHILD_FILE_LIMIT=" + std::to_string(baseSize + 100));
    EXPECT_TRUE(Exists(wim + kJournalSuffix));
    EXPECT_NE(Shell("wimlib-imagex info " + Quoted(wim)), 0);
    HANDLE reader = OpenWim(wim, WIM_GENERIC_READ);  // a reader puts it back too
    ASSERT_NE(reader, nullptr) << GetLastError();
    EXPECT_EQ(WIMGetImageCount(reader), 3u);
    WIMCloseHandle(reader);
    EXPECT_EQ(Sha256(wim), oldSha);
    EXPECT_FALSE(Exists(wim + kJournalSuffix));
    EXPECT_TRUE(Verifies(wim));
}

// A file-size limit in this process: writes past it fail with EFBIG, as a
// full disk fails them with ENOSPC.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {bytes, previous_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous_);
        signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_ = {};
    sighandler_t previousHandler_ = nullptr;
};

TEST_F(WriteSafetyRealWim, AFullDiskFailsTheCallWithItsCauseAndKeepsTheOldFile)
{
    const off_t baseSize = static_cast<off_t>(FileBytes(Base()).size());
    struct Case {
        Write write;
        rlim_t limit;
    };
    const Case cases[] = {
        {Write::Change, static_cast<rlim_t>(baseSize + 64)},  // the new XML does not fit
        {Write::Change, 100},                                 // nor does the journal
        {Write::Delete, static_cast<rlim_t>(baseSize / 2)},   // the rebuilt file does not fit
        {Write::Fields, static_cast<rlim_t>(baseSize + 64)},  // four texts and a boot mark at once
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(WriteName(c.write)) + " limit " + std::to_string(c.limit));
        const std::string wim = FreshCopy("full" + std::to_string(++number) + ".wim");
        const std::string oldSha = Sha256(wim);
        bool done;
        DWORD error;
        {
            FileSizeLimit limit(c.limit);
            done = MakeWrite(c.write, wim);
            error = GetLastError();
        }
        EXPECT_FALSE(done);
        // The write's own errno, not a general write fault.
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
        EXPECT_EQ(Sha256(wim), oldSha);
        EXPECT_EQ(Neighbours(wim), std::vector<std::string>{});
        EXPECT_TRUE(Verifies(wim));
    }
}

// A new file's first write fails on a full disk: neither the name nor the
// temporary file it was written into is left.
TEST_F(WriteSafetyRealWim, ANewFileWhoseFirstWriteFailsLeavesNothing)
{
    const std::string tree = folder / "tree";
    ShellOutput("mkdir -p " + Quoted(tree) + " && head -c 200000 /dev/urandom > " + Quoted(tree + "/data"));
    const std::string wim = folder / "new.wim";
    HANDLE handle = OpenWim(wim, kReadWrite, WIM_CREATE_NEW);
    ASSERT_NE(handle, nullptr) << GetLastError();
    BOOL closed;
    DWORD error;
    {
        // Written as the handle closes.
        FileSizeLimit limit(50000);
        HANDLE image = WIMCaptureImage(handle, DosPath(tree).c_str(), 0);
        ASSERT_NE(image, nullptr) << GetLastError();
        WIMCloseHandle(image);
        closed = WIMCloseHandle(handle);
        error = GetLastError();
    }
    EXPECT_FALSE(closed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    EXPECT_FALSE(Exists(wim));
    EXPECT_EQ(Neighbours(wim), std::vector<std::string>{});
}

// What each sync of a commit found on disk when it was asked for.
struct SyncRecord {
    std::string path;
    bool journalPresent;
    std::string wimBytes;
};
std::vector<SyncRecord>* syncLog = nullptr;
std::string syncedWim;

std::string PathOfDescriptor(int descriptor)
{
    char target[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    return std::string(target, length > 0 ? static_cast<size_t>(length) : 0);
}

int RecordingSync(int descriptor)
{
    syncLog->push_back(
        {PathOfDescriptor(descriptor), Exists(syncedWim + kJournalSuffix), FileBytes(syncedWim)});
    return fsync(descriptor);
}

// Puts a recorder in the place of the commit's sync for as long as it lives.
class SyncRecorder {
public:
    explicit SyncRecorder(std::vector<SyncRecord>& log) : previous_(layer::SyncDescriptor)
    {
        syncLog = &log;
        layer::SyncDescriptor = RecordingSync;
    }
    ~SyncRecorder()
    {
        layer::SyncDescriptor = previous_;
        syncLog = nullptr;
    }
    SyncRecorder(const SyncRecorder&) = delete;
    SyncRecorder& operator=(const SyncRecorder&) = delete;

private:
    int (*previous_)(int);
};

TEST_F(WriteSafetyRealWim, CommitsSyncTheJournalBeforeTheWimAndTheWimBeforeDroppingIt)
{
    std::vector<SyncRecord> log;
    SyncRecorder recorder(log);

    syncedWim = FreshCopy("inplace.wim");
    const std::string folderPath = folder.path();
    const std::string before = FileBytes(syncedWim);
    struct stat identity;
    stat(syncedWim.c_str(), &identity);
    ASSERT_TRUE(MakeWrite(Write::Change, syncedWim)) << GetLastError();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].path, syncedWim + kJournalSuffix);
    EXPECT_EQ(log[0].wimBytes, before);  // not touched before the journal is safe
    EXPECT_EQ(log[1].path, folderPath);
    EXPECT_EQ(log[1].wimBytes, before);
    EXPECT_EQ(log[2].path, syncedWim + kJournalSuffix);  // the new header joins it
    EXPECT_NE(log[2].wimBytes, before);
    EXPECT_EQ(log[3].path, syncedWim);
    EXPECT_TRUE(log[3].journalPresent);
    EXPECT_NE(log[3].wimBytes, before);
    EXPECT_EQ(log[4].path, folderPath);
    EXPECT_FALSE(log[4].journalPresent);
    // In place: the same file, its data where it was.
    struct stat after;
    stat(syncedWim.c_str(), &after);
    EXPECT_EQ(after.st_ino, identity.st_ino);

    log.clear();
    syncedWim = FreshCopy("rebuild.wim");
    const std::string old = FileBytes(syncedWim);
    ASSERT_TRUE(MakeWrite(Write::Delete, syncedWim)) << GetLastError();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].path.rfind(syncedWim + ".corvane-", 0), 0u) << log[0].path;
    EXPECT_EQ(log[0].wimBytes, old);
    EXPECT_EQ(log[1].path, folderPath);
    EXPECT_NE(log[1].wimBytes, old);
    EXPECT_TRUE(HoldsWrite(Write::Delete, syncedWim));
}

// The operations as the pages start them, on real files: a capture (new or
// appended) with its four texts and boot mark, a change of four texts and
// the boot image, a delete.
struct OperationRun {
    const char* what;
    bool fresh;  // into a new file rather than a copy of the sample
    std::function<bool(TaskState&, const std::string& wim)> run;
    int image;  // the image that gets the texts and the boot mark, or 0
};

std::vector<OperationRun> OperationRuns(const std::string& tree)
{
    auto capture = [tree](bool append) {
        return [tree, append](TaskState& task, const std::string& wim) {
            task.captureSource = DosPath(tree);
            task.captureDestination = DosPath(wim);
            task.captureVerify = false;
            task.captureName = WideFromUtf8(kFieldTexts[0].value);
            task.captureDescription = WideFromUtf8(kFieldTexts[1].value);
            task.captureDisplayName = WideFromUtf8(kFieldTexts[2].value);
            task.captureDisplayDescription = WideFromUtf8(kFieldTexts[3].value);
            task.captureBoot = true;
            return RunCapture(task, append);
        };
    };
    return {
        {"new capture", true, capture(false), 1},
        {"appended capture", false, capture(true), 4},
        {"change", false,
         [](TaskState& task, const std::string& wim) {
             task.changeSource = DosPath(wim);
             task.changeIndex = 2;
             task.changeName = WideFromUtf8(kFieldTexts[0].value);
             task.changeDescription = WideFromUtf8(kFieldTexts[1].value);
             task.changeDisplayName = WideFromUtf8(kFieldTexts[2].value);
             task.changeDisplayDescription = WideFromUtf8(kFieldTexts[3].value);
             task.changeBoot = true;
             return RunChange(task);
         },
         2},
        {"delete", false,
         [](TaskState& task, const std::string& wim) {
             task.deleteSource = DosPath(wim);
             task.deleteIndex = 1;
             return RunDelete(task);
         },
         0},
    };
}

// Syncs of the files a write puts its data in: the WIM itself when written
// in place, else the new file beside it. A journal holds no new data.
long DataSyncs(const std::vector<SyncRecord>& log, const std::string& wim)
{
    return std::count_if(log.begin(), log.end(), [&](const SyncRecord& sync) {
        return sync.path == wim ||
               (sync.path.rfind(wim + ".corvane-", 0) == 0 && sync.path != wim + kJournalSuffix);
    });
}

TEST_F(WriteSafetyRealWim, EachOperationWritesItsFileOnceWithEveryTextAndTheBootMark)
{
    const std::string tree = folder / "tree";
    ShellOutput("mkdir -p " + Quoted(tree) + " && head -c 50000 /dev/urandom > " + Quoted(tree + "/data"));
    std::vector<SyncRecord> log;
    SyncRecorder recorder(log);
    int number = 0;
    for (const OperationRun& operation : OperationRuns(tree)) {
        SCOPED_TRACE(operation.what);
        const std::string name = "once" + std::to_string(++number) + ".wim";
        syncedWim = operation.fresh ? folder / name : FreshCopy(name);
        log.clear();
        TaskState& task = FreshTask();
        ASSERT_TRUE(operation.run(task, syncedWim)) << Narrow(task.logText);
        EXPECT_EQ(DataSyncs(log, syncedWim), 1);
        auto info = WimlibInfo(syncedWim);
        if (operation.image == 0) {
            EXPECT_EQ(info[0]["Image Count"], "2");
        } else {
            EXPECT_EQ(info[0]["Boot Index"], std::to_string(operation.image));
            for (const auto& field : kFieldTexts)
                EXPECT_EQ(info[operation.image][field.infoKey], field.value) << field.infoKey;
        }
        EXPECT_TRUE(Verifies(syncedWim));
    }
}

// The write at the close fails (the disk is full): the operation logs its
// failure line and the reason, does not report success, and the file is as
// it was (a new one does not appear).
TEST_F(WriteSafetyRealWim, AWriteThatFailsAtTheCloseFailsTheOperationWithItsReason)
{
    const std::string tree = folder / "tree";
    ShellOutput("mkdir -p " + Quoted(tree) + " && head -c 50000 /dev/urandom > " + Quoted(tree + "/data"));
    const rlim_t baseSize = FileBytes(Base()).size();
    // Limits past which the new file, the appended data or new XML, and the
    // rebuilt file do not fit (an in-place write's old bytes still do).
    const std::map<std::string, std::pair<std::string, rlim_t>> failures = {
        {"new capture", {"錯誤: 映像檔讀取錯誤.\r\n", 20000}},
        {"appended capture", {"錯誤: 映像檔讀取錯誤.\r\n", baseSize + 64}},
        {"change", {"錯誤: 無法將變更寫入映像檔.\r\n", baseSize + 64}},
        {"delete", {"錯誤: 無法從映像檔中刪除 \"映像卷 \"1.\"\r\n", baseSize / 2}},
    };
    int number = 0;
    for (const OperationRun& operation : OperationRuns(tree)) {
        SCOPED_TRACE(operation.what);
        const std::string name = "full" + std::to_string(++number) + ".wim";
        const std::string wim = operation.fresh ? folder / name : FreshCopy(name);
        const std::string oldSha = operation.fresh ? "" : Sha256(wim);
        TaskState& task = FreshTask();
        bool done;
        {
            FileSizeLimit limit(failures.at(operation.what).second);
            done = operation.run(task, wim);
        }
        EXPECT_FALSE(done);
        const std::string log = Narrow(task.logText);
        const std::string ending = failures.at(operation.what).first + ReasonLine(ERROR_FILE_TOO_LARGE);
        EXPECT_EQ(log.substr(log.size() - std::min(log.size(), ending.size())), ending) << log;
        if (operation.fresh) {
            EXPECT_FALSE(Exists(wim));
        } else {
            EXPECT_EQ(Sha256(wim), oldSha);
            EXPECT_TRUE(Verifies(wim));
        }
        EXPECT_EQ(Neighbours(wim), std::vector<std::string>{});
    }
}

// A change that fails part way takes the changes kept before it on the same
// handle: the close writes none of them and says why, rather than report a
// write that did not happen.
TEST_F(WriteSafetyRealWim, AFailedChangeTakesTheKeptOnesWithItAndTheCloseSaysSo)
{
    const std::string source = folder / "source.wim";
    MakeSampleWim(source, 3);
    const std::string destination = folder / "dest.wim";
    MakeSampleWim(destination, 1);
    const std::string before = FileBytes(destination);
    HANDLE from = OpenWim(source, WIM_GENERIC_READ);
    HANDLE into = OpenWim(destination, kReadWrite);
    ASSERT_NE(from, nullptr);
    ASSERT_NE(into, nullptr);
    // The destination holds an image of the second one's name already.
    HANDLE kept = WIMLoadImage(from, 3);
    HANDLE refused = WIMLoadImage(from, 1);
    EXPECT_TRUE(WIMExportImage(kept, into, WIM_EXPORT_ALLOW_DUPLICATES)) << GetLastError();
    EXPECT_FALSE(WIMExportImage(refused, into, WIM_EXPORT_ALLOW_DUPLICATES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    WIMCloseHandle(refused);
    WIMCloseHandle(kept);
    EXPECT_FALSE(WIMCloseHandle(into));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    WIMCloseHandle(from);
    EXPECT_TRUE(FileBytes(destination) == before);
}

// Every file a write makes or grows is written out while it is written, so
// that the final sync finds little left: the WIM itself in place, the new
// file of a rebuild, each part of a split.
std::mutex writeOutLock;
std::vector<std::string> writtenOut;
int RecordingWriteOut(int descriptor)
{
    std::lock_guard<std::mutex> hold(writeOutLock);
    writtenOut.push_back(PathOfDescriptor(descriptor));
    return 0;
}

TEST_F(WriteSafetyRealWim, WritesStartWritingTheirFilesOutWhileTheyAreWritten)
{
    int (*const previous)(int) = layer::StartWriteOut;
    layer::StartWriteOut = RecordingWriteOut;
    auto seen = [](auto&& accepted) {
        std::lock_guard<std::mutex> hold(writeOutLock);
        const bool all = !writtenOut.empty() && std::all_of(writtenOut.begin(), writtenOut.end(), accepted);
        std::string shown;
        for (const std::string& path : writtenOut)
            shown += path + " ";
        writtenOut.clear();
        return all ? std::string() : "written out: " + shown;
    };
    const std::string wim = FreshCopy("behind.wim");
    EXPECT_TRUE(MakeWrite(Write::Change, wim));
    EXPECT_EQ(seen([&](const std::string& path) { return path == wim; }), "");
    EXPECT_TRUE(MakeWrite(Write::Delete, wim));
    EXPECT_EQ(seen([&](const std::string& path) { return path.rfind(wim + ".corvane-", 0) == 0; }), "");

    const std::string tree = folder / "tree";
    ShellOutput("mkdir -p " + Quoted(tree) + " && cd " + Quoted(tree) +
                " && for i in 1 2 3; do head -c 300000 /dev/urandom > f$i.bin; done");
    const std::string splittable = folder / "three.wim";
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(splittable) + " T --compress=none");
    HANDLE handle = OpenWim(splittable, WIM_GENERIC_READ);
    ASSERT_NE(handle, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 600200;
    const size_t descriptors = OpenDescriptorCount();
    EXPECT_TRUE(WIMSplitFile(handle, DosPath(folder / "piece.swm").c_str(), &size, 0));
    EXPECT_EQ(OpenDescriptorCount(), descriptors);  // each part's is closed
    WIMCloseHandle(handle);
    std::set<std::string> parts;
    EXPECT_EQ(seen([&](const std::string& path) {
                  parts.insert(path.substr(0, path.find(".split-")));
                  return path.find(".split-") != std::string::npos;
              }),
              "");
    EXPECT_EQ(parts,
              (std::set<std::string>{folder / "piece.swm", folder / "piece2.swm", folder / "piece3.swm"}));
    layer::StartWriteOut = previous;
}

// The commit's own check sees the written file before the write is kept: a
// check that fails undoes an in-place write and a rebuild alike.
TEST_F(WriteSafetyRealWim, ACommitWhoseWrittenFileFailsItsCheckIsUndone)
{
    for (const bool rebuild : {false, true}) {
        SCOPED_TRACE(rebuild ? "rebuild" : "in place");
        const std::string wim = FreshCopy(rebuild ? "check-rebuild.wim" : "check-inplace.wim");
        const std::string oldSha = Sha256(wim);
        HANDLE handle = OpenWim(wim, kReadWrite);
        ASSERT_NE(handle, nullptr);
        std::shared_ptr<layer::HandleEntry> entry = layer::Lookup(handle, layer::HandleKind::Wim);
        ASSERT_NE(entry, nullptr);
        layer::WimFile& file = *entry->file;
        std::string seen;
        auto refuse = [&](WIMStruct* written) {
            const char* stored = wimlib_get_image_property(written, 1, "DESCRIPTION");
            seen = stored != nullptr ? stored : "";
            SetLastError(ERROR_INVALID_DATA);
            return false;
        };
        const size_t descriptors = OpenDescriptorCount();
        {
            std::lock_guard<std::recursive_mutex> guard(file.lock);
            ASSERT_EQ(wimlib_set_image_property(file.wim, 1, "DESCRIPTION", "checked"), 0);
            EXPECT_FALSE(layer::Commit(file, {.rebuild = rebuild, .check = refuse}));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        }
        EXPECT_EQ(OpenDescriptorCount(), descriptors);  // the refused file is closed again
        EXPECT_EQ(seen, "checked");                     // the check read the written file
        EXPECT_EQ(Sha256(wim), oldSha);
        EXPECT_EQ(Neighbours(wim), std::vector<std::string>{});
        EXPECT_EQ(WIMGetImageCount(handle), 3u);  // memory shows the file again
        WIMCloseHandle(handle);
        EXPECT_TRUE(Verifies(wim));
    }
}

// The names a killed write's files would have prove nothing on their own:
// only the recorded temporary file of the killed rebuild goes.
TEST_F(WriteSafetyRealWim, LeftoversOfKilledWritesGoWhenTheFileIsNextOpenedForWriting)
{
    const std::string wim = FreshCopy("left.wim");
    const std::string oldSha = Sha256(wim);
    RunChild("delete", wim, "CORVANE_CHILD_KILL_AT_SYNC=1");  // killed once its new file was written
    const std::vector<std::string> killed = Neighbours(wim);
    ASSERT_EQ(killed.size(), 1u);
    const std::string recorded = folder / killed.front();
    const std::string wimlibOld = wim + "HvT1BsLUo";  // wimlib's own temporary name
    const std::string unrecorded = wim + ".corvane-q1W2e3";
    const std::string stranger = wim + ".bak";
    const std::string header = FileBytes(wim).substr(0, 208);
    for (const std::string& path : {wimlibOld, unrecorded, stranger})
        std::ofstream(path, std::ios::binary) << header;
    ShellOutput("touch -d '10 minutes ago' " + Quoted(wimlibOld) + " " + Quoted(unrecorded));
    // A journal cut short was never complete, so the WIM was not touched.
    std::ofstream(wim + kJournalSuffix, std::ios::binary) << "CVJRNL01" << std::string(100, '\x7');

    HANDLE reader = OpenWim(wim, WIM_GENERIC_READ);
    ASSERT_NE(reader, nullptr);
    WIMCloseHandle(reader);
    EXPECT_TRUE(Exists(recorded));  // readers leave temporary files alone

    HANDLE handle = OpenWim(wim, kReadWrite);
    ASSERT_NE(handle, nullptr) << GetLastError();
    EXPECT_FALSE(Exists(wim + kJournalSuffix));
    EXPECT_FALSE(Exists(recorded));
    for (const std::string& path : {wimlibOld, unrecorded, stranger})
        EXPECT_EQ(FileBytes(path), header) << path;
    WIMCloseHandle(handle);
    EXPECT_EQ(Sha256(wim), oldSha);

    // A file of the journal's name that is not a journal is not ours to use.
    std::ofstream(wim + kJournalSuffix) << "notes";
    handle = OpenWim(wim, kReadWrite);
    ASSERT_NE(handle, nullptr);
    WIMCloseHandle(handle);
    EXPECT_EQ(FileBytes(wim + kJournalSuffix), "notes");
    EXPECT_EQ(Sha256(wim), oldSha);
}

TEST_F(WriteSafetyRealWim, OneWriterPerFileAcrossHandlesAndProcesses)
{
    const std::string wim = FreshCopy("lock.wim");
    HANDLE writer = OpenWim(wim, kReadWrite);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(OpenWim(wim, kReadWrite), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenWim(wim, kReadWrite, WIM_CREATE_ALWAYS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    HANDLE reader = OpenWim(wim, WIM_GENERIC_READ);
    ASSERT_NE(reader, nullptr);

    // A rebuild puts a new file under the name: the lock goes with it. The
    // delete is kept until written, here while the handle stays open, as a
    // call that needs the file as written writes it first.
    ASSERT_TRUE(WIMDeleteImage(writer, 3)) << GetLastError();
    EXPECT_EQ(WIMGetImageCount(reader), 3u);
    {
        std::shared_ptr<layer::HandleEntry> entry = layer::Lookup(writer, layer::HandleKind::Wim);
        ASSERT_NE(entry, nullptr);
        std::lock_guard<std::recursive_mutex> guard(entry->file->lock);
        ASSERT_TRUE(layer::WriteKeptChanges(*entry->file)) << GetLastError();
    }
    EXPECT_EQ(WIMGetImageCount(reader), 2u);
    EXPECT_EQ(OpenWim(wim, kReadWrite), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    // Another process is refused the same way.
    RunChild("try", wim);
    EXPECT_EQ(FileBytes(wim + ".tried"), std::to_string(ERROR_SHARING_VIOLATION));
    WIMCloseHandle(reader);
    WIMCloseHandle(writer);
    RunChild("try", wim);
    EXPECT_EQ(FileBytes(wim + ".tried"), "0");

    // And a process that holds the file keeps this one out until it is done;
    // both changes are in the file afterwards.
    FILE* child = popen(("CORVANE_CHILD_ACTION=hold CORVANE_CHILD_WIM=" + Quoted(wim) + " wine " +
                         Quoted(TestProgram()) +
                         " --gtest_also_run_disabled_tests --gtest_filter=WriteFaultChild.DISABLED_Act "
                         ">/dev/null 2>&1")
                            .c_str(),
                        "r");
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(WaitFor(wim + ".held", 60));
    EXPECT_EQ(OpenWim(wim, kReadWrite), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    reader = OpenWim(wim, WIM_GENERIC_READ);
    EXPECT_NE(reader, nullptr);
    WIMCloseHandle(reader);
    std::ofstream(wim + ".release") << "go";
    EXPECT_EQ(pclose(child), 0);

    writer = OpenWim(wim, kReadWrite);
    ASSERT_NE(writer, nullptr) << GetLastError();
    HANDLE image = WIMLoadImage(writer, 1);
    TaskState task;
    ASSERT_TRUE(SetImageField(task, image, WSTR("DESCRIPTION"), WSTR("parent")));
    WIMCloseHandle(image);
    WIMCloseHandle(writer);
    auto info = WimlibInfo(wim);
    EXPECT_EQ(info[1]["Name"], "child");
    EXPECT_EQ(info[1]["Description"], "parent");
    EXPECT_TRUE(Verifies(wim));
}

// The journal an older version wrote: no identity, no new header.
std::string OldFormatJournal(const journal::Record& record)
{
    std::string bytes(journal::kOldMagic, sizeof journal::kOldMagic);
    journal::PutNumber(bytes, record.fileSize);
    journal::PutNumber(bytes, record.tailStart);
    journal::PutNumber(bytes, record.tail.size());
    bytes += record.savedHeader + record.tail;
    journal::PutNumber(bytes, journal::Checksum(bytes.data(), bytes.size()));
    return bytes;
}

journal::Record JournalOf(const std::string& wim)
{
    journal::Record record;
    EXPECT_EQ(journal::Decode(FileBytes(wim + kJournalSuffix), record), journal::Parse::Valid);
    return record;
}

// A journal left by a killed append is put back only onto the file it was
// written for. Whatever another tool put under the name since is left as it
// is, read or opened for writing, and the journal goes with a warning.
TEST_F(WriteSafetyRealWim, AJournalIsPutBackOnlyOntoTheFileItWasWrittenFor)
{
    const std::string tree = folder / "other-tree";
    WriteSampleTree(tree, 7);
    const off_t baseSize = static_cast<off_t>(FileBytes(Base()).size());
    const std::string tornLimit = "CORVANE_CHILD_FILE_LIMIT=" + std::to_string(baseSize + 100);
    struct Case {
        const char* name;
        const char* killedAt;     // where the child's write stopped
        const char* replacement;  // shell, with W for the WIM and B for the old file's copy
        bool oldFormat;           // the journal rewritten as an older version wrote it
        bool putBack;             // whether the journal speaks of the file found
        const char* imageCount;
    };
    const std::string killedAfterHeader = "CORVANE_CHILD_KILL_AT_SYNC=4";
    const Case cases[] = {
        // Another tool made a new file under the name.
        {"captured anew", "torn", "rm W && wimlib-imagex capture T W Other --compress=none", false, false,
         "1"},
        // The old bytes copied back into the same file, then appended to in
        // place by another tool: same device and inode, another header.
        {"appended in place", "torn", "cat B > W && wimlib-imagex append T W Appended", false, false, "4"},
        {"boot index set in place", "torn", "cat B > W && wimlib-imagex info W 2 --boot", false, false, "3"},
        // Rebuilt by another tool and renamed over: another inode.
        {"optimized", "torn", "cat B > W && wimlib-imagex optimize W", false, false, "3"},
        {"written completely", "after", "rm W && wimlib-imagex capture T W Other", false, false, "1"},
        // Nothing came between: the write is undone, whether it stopped in
        // its data or after its new header.
        {"left torn", "torn", "true", false, true, "3"},
        {"left with its new header", "after", "true", false, true, "3"},
        // Put back half way when killed: the tail is old, the header new.
        {"half put back", "after", "PUTBACK_TAIL", false, true, "3"},
        // The earlier format has no identity: it is put back only while the
        // file still has the header it saved.
        {"old format, left torn", "torn", "true", true, true, "3"},
        {"old format, captured anew", "torn", "rm W && wimlib-imagex capture T W Other", true, false, "1"},
        {"old format, left with its new header", "after", "true", true, false, "3"},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string wim = FreshCopy("stale" + std::to_string(++number) + ".wim");
        const std::string oldSha = Sha256(wim);
        const bool torn = std::string(c.killedAt) == "torn";
        RunChild("change", wim, torn ? tornLimit : killedAfterHeader);
        ASSERT_TRUE(Exists(wim + kJournalSuffix));
        const journal::Record record = JournalOf(wim);
        EXPECT_EQ(record.newHeader.empty(), torn);
        if (c.oldFormat)
            std::ofstream(wim + kJournalSuffix, std::ios::binary | std::ios::trunc)
                << OldFormatJournal(record);

        std::string replacement = c.replacement;
        if (replacement == "PUTBACK_TAIL") {
            std::fstream file(wim, std::ios::binary | std::ios::in | std::ios::out);
            file.seekp(static_cast<std::streamoff>(record.tailStart));
            file.write(record.tail.data(), static_cast<std::streamsize>(record.tail.size()));
            replacement = "true";
        }
        for (const auto& [mark, value] : {std::pair<std::string, std::string>{"W", Quoted(wim)},
                                          {"B", Quoted(Base())},
                                          {"T", Quoted(tree)}}) {
            for (size_t at = replacement.find(" " + mark); at != std::string::npos;
                 at = replacement.find(" " + mark, at + 1)) {
                if (at + 2 == replacement.size() || replacement[at + 2] == ' ')
                    replacement.replace(at + 1, 1, value);
            }
        }
        ASSERT_EQ(Shell(replacement), 0) << replacement;
        const std::string foundSha = Sha256(wim);

        int warnings = 0;
        std::string warned;
        MessageListener listener([&](DWORD message, WPARAM wParam) {
            if (message == WIM_MSG_WARNING) {
                ++warnings;
                warned = Utf8FromWide(reinterpret_cast<const WCHAR*>(wParam));
            }
            return WIM_MSG_SUCCESS;
        });
        // A reader settles the journal too (see PutBackLeftovers); then a writer.
        HANDLE reader = OpenWim(wim, WIM_GENERIC_READ);
        ASSERT_NE(reader, nullptr) << GetLastError();
        EXPECT_EQ(std::to_string(WIMGetImageCount(reader)), c.imageCount);
        WIMCloseHandle(reader);
        HANDLE writer = OpenWim(wim, kReadWrite);
        ASSERT_NE(writer, nullptr) << GetLastError();
        WIMCloseHandle(writer);

        EXPECT_FALSE(Exists(wim + kJournalSuffix));
        EXPECT_EQ(Sha256(wim), c.putBack ? oldSha : foundSha);
        EXPECT_EQ(WimlibInfo(wim)[0]["Image Count"], c.imageCount);
        EXPECT_TRUE(Verifies(wim));
        EXPECT_EQ(warnings, c.putBack ? 0 : 1);
        if (!c.putBack) {
            EXPECT_NE(warned.find("journal of an interrupted write"), std::string::npos) << warned;
        }
    }
}

// What a killed export or split left in a folder goes at the next write
// into that folder, whatever that write's own file is; what belongs to a
// process still running stays.
TEST_F(WriteSafetyRealWim, LeftoversOfKilledWritesGoAtTheNextWriteIntoTheirFolder)
{
    struct Case {
        const char* name;
        const char* killed;  // the child's action
        const char* fault;
        const char* next;  // the parent's write into the folder
    };
    const Case cases[] = {
        {"export, then a new file", "export", "CORVANE_CHILD_KILL_AT_SYNC=1", "create"},
        {"export, then a split", "export", "CORVANE_CHILD_KILL_AT_SYNC=1", "split"},
        {"export, then a write to another WIM", "export", "CORVANE_CHILD_KILL_AT_SYNC=1", "open"},
        {"split, then a new file", "split", "CORVANE_CHILD_FILE_LIMIT=1000", "create"},
        {"split, then a write to another WIM", "split", "CORVANE_CHILD_FILE_LIMIT=1000", "open"},
        {"split, then a split", "split", "CORVANE_CHILD_FILE_LIMIT=1000", "split"},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string place = folder / ("place" + std::to_string(++number));
        ShellOutput("mkdir -p " + Quoted(place) + " && cp " + Quoted(Base()) + " " +
                    Quoted(place + "/other.wim"));
        const std::string target = place + (std::string(c.killed) == "split" ? "/set.swm" : "/new.wim");
        RunChild(c.killed, target, std::string(c.fault) + " CORVANE_CHILD_SOURCE=" + Quoted(Base()));
        const std::string left = ShellOutput("ls -A " + Quoted(place));
        ASSERT_NE(left, "other.wim\n") << "the killed write left nothing to clean up";
        EXPECT_EQ(Shell("test -e " + Quoted(target)), 1) << "the killed write put its file in place";
        // A temporary file of a writer that still runs is not a leftover.
        const std::string live = place + "/live.wim.corvane-Ab3dE5";
        const int held = open(live.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(held, 0);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
        std::vector<std::string> said;
        MessageListener listener([&](DWORD message, WPARAM wParam) {
            if (message == WIM_MSG_LEFTOVER_REMOVED)
                said.push_back(Utf8FromWide(reinterpret_cast<const WCHAR*>(wParam)));
            return WIM_MSG_SUCCESS;
        });

        const std::string next = c.next;
        if (next == "create") {
            HANDLE created = OpenWim(place + "/made.wim", kReadWrite, WIM_CREATE_NEW);
            EXPECT_NE(created, nullptr) << GetLastError();
            WIMCloseHandle(created);
        } else if (next == "open") {
            HANDLE opened = OpenWim(place + "/other.wim", kReadWrite);
            EXPECT_NE(opened, nullptr) << GetLastError();
            WIMCloseHandle(opened);
        } else {
            HANDLE source = OpenWim(Base(), WIM_GENERIC_READ);
            LARGE_INTEGER size;
            size.QuadPart = 1;
            WIMSplitFile(source, DosPath(place + "/parts.swm").c_str(), &size, 0);
            EXPECT_TRUE(WIMSplitFile(source, DosPath(place + "/parts.swm").c_str(), &size, 0))
                << GetLastError();
            WIMCloseHandle(source);
        }
        close(held);
        std::string now = ShellOutput("ls -A " + Quoted(place) + " | grep -v '^parts[0-9]*\\.swm$'");
        EXPECT_EQ(now, "live.wim.corvane-Ab3dE5\nother.wim\n") << "before: " << left;
        // One message per removed file, naming it.
        std::istringstream removed(left);
        std::vector<std::string> expected;
        for (std::string name; std::getline(removed, name);) {
            if (name != "other.wim")
                expected.push_back(Utf8FromWide(DosPath(place + "/" + name)));
        }
        std::sort(said.begin(), said.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(said, expected);
    }
}

// The records left in the records folder: none once no writer runs.
std::string RecordsLeft()
{
    return ShellOutput("ls -A " + Quoted(Environment("CORVANE_TEMPORARY_RECORDS")));
}

// What a killed writer left goes at the next write into its folder only on
// the proof of its record, and the operation's log says so; a record whose
// file was replaced since, or whose writer died before the file was known,
// removes nothing. Either way the record goes.
TEST_F(WriteSafetyRealWim, ARecordedTemporaryOfADeadWriterGoesWithALogLineAndNothingElseDoes)
{
    struct Case {
        const char* name;
        const char* killed;  // the child's action
        const char* fault;
        bool replaced;  // the left file put back under its name as another file
        bool removed;
    };
    const Case cases[] = {
        {"killed rebuild", "delete", "CORVANE_CHILD_KILL_AT_SYNC=1", false, true},
        {"killed rebuild, its file replaced since", "delete", "CORVANE_CHILD_KILL_AT_SYNC=1", true, false},
        {"killed before its file was recorded", "record", "", false, false},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string place = folder / ("dead" + std::to_string(++number));
        ShellOutput("mkdir -p " + Quoted(place) + " && cp " + Quoted(Base()) + " " +
                    Quoted(place + "/w.wim"));
        const bool recordOnly = std::string(c.killed) == "record";
        RunChild(c.killed, place + (recordOnly ? "/w.wim.corvane-Qq7Rr8" : "/w.wim"), c.fault);
        const std::vector<std::string> killed = Neighbours(place + "/w.wim");
        ASSERT_EQ(killed.size(), 1u);
        const std::string left = place + "/" + killed.front();
        // Removed, then made again later under its name: ext4 gives the new
        // file the freed number, so only its birth tells it from the left one.
        if (c.replaced)
            ShellOutput("cp " + Quoted(left) + " " + Quoted(folder / "aside") + " && rm " + Quoted(left) +
                        " && sleep 0.05 && cp " + Quoted(folder / "aside") + " " + Quoted(left));
        const std::string leftBytes = FileBytes(left);

        TaskState& task = FreshTask();
        task.splitSource = DosPath(Base());
        task.splitDestination = DosPath(place + "/parts.swm");
        task.splitSize = WSTR("CD (600 MB)");
        EXPECT_TRUE(RunSplit(task)) << Narrow(task.logText);
        const std::string line = "已移除先前寫入中斷時遺留的暫存檔: " + Utf8FromWide(DosPath(left)) + "\r\n";
        EXPECT_EQ(Narrow(task.logText).find(line) != std::string::npos, c.removed) << Narrow(task.logText);
        EXPECT_EQ(Exists(left), !c.removed);
        if (!c.removed) {
            EXPECT_EQ(FileBytes(left), leftBytes);
        }
        EXPECT_EQ(RecordsLeft(), "");
    }
}

// A recorded temporary is a regular file: a name that now holds anything
// else stays under the identity given, and so does another file.
TEST(RemoveIfIdentityTest, OnlyTheRegularFileOfTheIdentityGoes)
{
    ScratchFolder place;
    ASSERT_EQ(Shell("cd " + Quoted(place.path()) +
                    " && echo > file && echo > other && ln -s file link && "
                    "mkdir folder && mkfifo pipe"),
              0);
    for (const auto& [name, identityOf] : {std::pair{"other", "file"},
                                           {"link", "link"},
                                           {"folder", "folder"},
                                           {"pipe", "pipe"},
                                           {"file", "file"}}) {
        struct stat identity, after;
        ASSERT_EQ(lstat((place / identityOf).c_str(), &identity), 0);
        const bool removed = std::string(name) == "file";
        EXPECT_EQ(layer::RemoveIfIdentity(place / name, identity.st_dev, identity.st_ino), removed) << name;
        EXPECT_EQ(lstat((place / name).c_str(), &after) != 0, removed) << name;
    }
}

// Runs its action when the scope ends, however it ends.
struct Finally {
    std::function<void()> action;
    ~Finally() { action(); }
};

// Files that only look like what a killed write leaves, and the live
// temporary files of other programs, stay byte for byte through every write
// the layer makes into their folder.
TEST_F(WriteSafetyRealWim, LookAlikesAndOtherProgramsTemporaryFilesStayThroughEveryWrite)
{
    const std::string place = folder / "shared";
    ShellOutput("mkdir -p " + Quoted(place));
    const std::string header = FileBytes(Base()).substr(0, 208);
    ShellOutput("cp " + Quoted(Base()) + " " + Quoted(place + "/boot"));
    std::ofstream(place + "/image") << "a text file\n";
    const char* const lookAlikes[] = {
        "accounts.split-2024-12",  "photos.split-2023-06", "report.txt.corvane-backup",
        "keep.wim.corvane-abc123", "bootx64backup",        "imagebackup001",
    };
    for (const char* name : lookAlikes)
        std::ofstream(place + "/" + name, std::ios::binary) << header << name;
    // Held by another process (an flock, which is not our kind of lock).
    const std::string held = place + "/held.wim.corvane-Zz9Yy8";
    std::ofstream(held, std::ios::binary) << header << "held";
    std::ofstream(folder / "hold.sh") << "exec 9<>\"$1\"; flock 9; echo $$ > \"$2\"; exec sleep 600\n";
    ShellOutput("sh " + Quoted(folder / "hold.sh") + " " + Quoted(held) + " " + Quoted(folder / "holder") +
                " >/dev/null 2>&1 &");
    ASSERT_TRUE(WaitFor(folder / "holder", 30));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string holder = ShellOutput("cat " + Quoted(folder / "holder") + " | tr -d '\\n'");
    const Finally endHolder{[&] { Shell("kill " + holder); }};
    // A real optimize of another WIM here, stopped while its rebuilt file is written.
    const std::string tree = folder / "big-tree";
    ShellOutput("mkdir -p " + Quoted(tree) + " && for i in 1 2 3 4 5 6; do head -c 4000000 /dev/urandom > " +
                Quoted(tree) + "/f$i; done");
    const std::string live = place + "/live.wim";
    ASSERT_EQ(Shell("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(live) + " --compress=none"), 0);
    std::ofstream(folder / "optimize.sh")
        << "wimlib-imagex optimize \"$1\" --recompress --compress=LZX --threads=1 >/dev/null 2>&1 &\n"
           "echo $! > \"$2\"; wait $!; echo $? > \"$3\"\n";
    ShellOutput("sh " + Quoted(folder / "optimize.sh") + " " + Quoted(live) + " " +
                Quoted(folder / "optimizer") + " " + Quoted(folder / "optimized") + " >/dev/null 2>&1 &");
    ASSERT_TRUE(WaitFor(folder / "optimizer", 30));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string optimizer = ShellOutput("cat " + Quoted(folder / "optimizer") + " | tr -d '\\n'");
    const Finally resumeOptimizer{[&] { Shell("kill -CONT " + optimizer); }};
    std::string peerTemporary;
    for (int tries = 0; tries < 6000 && peerTemporary.empty(); ++tries) {
        peerTemporary = ShellOutput("cd " + Quoted(place) +
                                    " && ls | grep -E '^live\\.wim[a-zA-Z0-9]{9}$' | tr -d '\\n'");
        if (peerTemporary.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ShellOutput("kill -STOP " + optimizer);
    ASSERT_FALSE(peerTemporary.empty()) << "the optimize made no temporary file";
    ShellOutput("touch -d '10 minutes ago' " + Quoted(place + "/" + peerTemporary));
    for (const char* name : lookAlikes)
        ShellOutput("touch -d '10 minutes ago' " + Quoted(place + "/" + name));

    // And a live writer of ours in another process.
    const std::string recorded = place + "/running.wim.corvane-Rr5Tt6";
    FILE* writer = popen(("CORVANE_CHILD_ACTION=recording CORVANE_CHILD_WIM=" + Quoted(recorded) + " wine " +
                          Quoted(TestProgram()) +
                          " --gtest_also_run_disabled_tests --gtest_filter=WriteFaultChild.DISABLED_Act "
                          ">/dev/null 2>&1")
                             .c_str(),
                         "r");
    ASSERT_NE(writer, nullptr);
    const Finally endWriter{[&] {
        std::ofstream(recorded + ".release") << "go";
        pclose(writer);
    }};
    ASSERT_TRUE(WaitFor(recorded + ".held", 60));

    std::map<std::string, std::string> before;
    before["running.wim.corvane-Rr5Tt6"] = FileBytes(recorded);
    for (const char* name : lookAlikes)
        before[name] = FileBytes(place + "/" + name);
    before["held.wim.corvane-Zz9Yy8"] = FileBytes(held);
    before[peerTemporary] = FileBytes(place + "/" + peerTemporary);
    before["image"] = FileBytes(place + "/image");

    const std::string sampleTree = folder / "tree";
    WriteSampleTree(sampleTree, 3);
    const std::string exportTree = folder / "export-tree";
    WriteSampleTree(exportTree, 9);
    const std::string exported = folder / "exported-source.wim";
    ASSERT_EQ(Shell("wimlib-imagex capture " + Quoted(exportTree) + " " + Quoted(exported) + " Exported"), 0);
    const std::string target = place + "/target.wim";
    ShellOutput("cp " + Quoted(Base()) + " " + Quoted(target));
    auto capture = [&](const std::string& wim, DWORD disposition) {
        HANDLE handle = OpenWim(wim, kReadWrite, disposition);
        HANDLE image = handle != nullptr ? WIMCaptureImage(handle, DosPath(sampleTree).c_str(), 0) : nullptr;
        const bool done = image != nullptr;
        WIMCloseHandle(image);
        return WIMCloseHandle(handle) && done;
    };
    auto exportInto = [&](const std::string& wim, DWORD disposition) {
        HANDLE source = OpenWim(exported, WIM_GENERIC_READ);
        HANDLE image = WIMLoadImage(source, 1);
        HANDLE destination = OpenWim(wim, kReadWrite, disposition);
        const bool done = destination != nullptr && WIMExportImage(image, destination, 0);
        const bool closed = WIMCloseHandle(destination);
        WIMCloseHandle(image);
        WIMCloseHandle(source);
        return done && closed;
    };
    const std::pair<const char*, std::function<bool()>> writes[] = {
        {"capture into a new file", [&] { return capture(place + "/captured.wim", WIM_CREATE_NEW); }},
        {"append", [&] { return capture(target, WIM_OPEN_EXISTING); }},
        {"export into an existing file", [&] { return exportInto(target, WIM_OPEN_EXISTING); }},
        {"export into a new file", [&] { return exportInto(place + "/exported.wim", WIM_CREATE_NEW); }},
        {"split",
         [&] {
             HANDLE source = OpenWim(Base(), WIM_GENERIC_READ);
             LARGE_INTEGER size;
             size.QuadPart = 1;
             WIMSplitFile(source, DosPath(place + "/parts.swm").c_str(), &size, 0);
             const bool done = WIMSplitFile(source, DosPath(place + "/parts.swm").c_str(), &size, 0);
             WIMCloseHandle(source);
             return done;
         }},
        {"change", [&] { return MakeWrite(Write::Change, target); }},
        {"boot image", [&] { return MakeWrite(Write::Boot, target); }},
        {"delete", [&] { return MakeWrite(Write::Delete, target); }},
    };
    for (const auto& [name, write] : writes) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(write()) << GetLastError();
        for (const auto& [file, bytes] : before) {
            EXPECT_TRUE(Exists(place + "/" + file)) << file;
            EXPECT_EQ(FileBytes(place + "/" + file), bytes) << file;
        }
    }
    EXPECT_TRUE(Verifies(target));

    ShellOutput("kill -CONT " + optimizer);
    ASSERT_TRUE(WaitFor(folder / "optimized", 120));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(FileBytes(folder / "optimized"), "0\n") << "the peer's own write failed";
    EXPECT_TRUE(Verifies(live));
}

int FailingSync(int)
{
    errno = EIO;
    return -1;
}

// A killed append's journal that cannot be put back (its sync fails) stays
// for the next open, and the open for writing fails with the cause: the
// file is never used half written.
TEST_F(WriteSafetyRealWim, AJournalThatCannotBePutBackStaysAndTheWriterIsRefused)
{
    const std::string wim = FreshCopy("unsettled.wim");
    const std::string oldSha = Sha256(wim);
    RunChild("change", wim, "CORVANE_CHILD_KILL_AT_SYNC=4");  // after its new header
    ASSERT_TRUE(Exists(wim + kJournalSuffix));
    const std::string halfWritten = Sha256(wim);
    ASSERT_NE(halfWritten, oldSha);
    {
        int (*const previous)(int) = layer::SyncDescriptor;
        layer::SyncDescriptor = FailingSync;
        HANDLE refused = OpenWim(wim, kReadWrite);
        const DWORD error = GetLastError();
        layer::SyncDescriptor = previous;
        WIMCloseHandle(refused);
        EXPECT_EQ(refused, nullptr);
        EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS));
    }
    EXPECT_TRUE(Exists(wim + kJournalSuffix));
    HANDLE handle = OpenWim(wim, kReadWrite);
    ASSERT_NE(handle, nullptr) << GetLastError();
    WIMCloseHandle(handle);
    EXPECT_FALSE(Exists(wim + kJournalSuffix));
    EXPECT_EQ(Sha256(wim), oldSha);
    EXPECT_TRUE(Verifies(wim));
}

// An optimize killed at each sync of its rebuild, or stopped by the file-size
// limit, leaves the old file byte for byte or the rebuilt one under its name;
// a full disk fails it with the old file kept and nothing beside it.
TEST_F(WriteSafetyRealWim, AKilledOrFullDiskOptimizeLeavesTheOldFileOrTheNewOne)
{
    // The rebuilt file's syncs: its data, then its folder before and after
    // it takes its name beside the old file; the old name is taken after.
    const std::pair<const char*, bool> points[] = {
        {"CORVANE_CHILD_KILL_AT_SYNC=1", false},
        {"CORVANE_CHILD_KILL_AT_SYNC=2", false},
        {"CORVANE_CHILD_KILL_AT_SYNC=3", false},
        {"CORVANE_CHILD_FILE_LIMIT=20000", false},
        {"", true},
    };
    int number = 0;
    for (const auto& [point, expectNew] : points) {
        SCOPED_TRACE(point);
        const std::string wim = FreshCopy("optimize" + std::to_string(++number) + ".wim");
        const std::string oldSha = Sha256(wim);
        RunChild("optimize", wim, point);
        EXPECT_TRUE(Verifies(wim));
        EXPECT_EQ(Sha256(wim) != oldSha, expectNew);
        if (expectNew) {
            EXPECT_EQ(WimlibInfo(wim)[0]["Image Count"], "3");
            EXPECT_EQ(Neighbours(wim), std::vector<std::string>{});
        }
    }

    const std::string wim = FreshCopy("optimize-full.wim");
    const std::string oldSha = Sha256(wim);
    bool done;
    {
        FileSizeLimit limit(static_cast<rlim_t>(FileBytes(wim).size() / 2));
        TaskState& task = FreshTask();
        task.infoSource = DosPath(wim);
        done = RunOptimize(task);
    }
    EXPECT_FALSE(done);
    EXPECT_EQ(Sha256(wim), oldSha);
    EXPECT_EQ(Neighbours(wim), std::vector<std::string>{});
}

}  // namespace
