// The windows build's binding doing real work: the operations of the program,
// built with mingw-w64, run through wimgapi.dll as the program loads it.
// Under Wine the prefix's system32\wimgapi.dll is the linux build's wimlib
// layer (tests/windows-build-works installs it). The steps share one work
// folder and run in order; each names what it proves.
//
// CORVANE_BINDING_WORK is the DOS path of an empty work folder. The report of
// the information step stays there (report.wim, report.txt) for the script to
// set against the linux build's report of the same file.
#include "base/log.h"
#include "base/task_state.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "operations/operations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace {

// ---------------------------------------------------------------------------
// Every call counted on its way to the binding, so the last step can tell
// which entry points the others crossed.

#define BINDING_ENTRY_ID(name, field, result, failure, parameters, arguments) k##name,
enum EntryPoint { WIMGAPI_ENTRY_POINTS(BINDING_ENTRY_ID) kEntryPointCount };

#define BINDING_ENTRY_NAME(name, field, result, failure, parameters, arguments) "WIM" #name,
const char* const kEntryPointNames[] = {WIMGAPI_ENTRY_POINTS(BINDING_ENTRY_NAME)};

std::atomic<int> calls[kEntryPointCount];

#define BINDING_COUNT(name, field, result, failure, parameters, arguments)                                   \
    result WINAPI Count##name parameters                                                                     \
    {                                                                                                        \
        ++calls[k##name];                                                                                    \
        return PlatformImagingLibrary().field arguments;                                                     \
    }
WIMGAPI_ENTRY_POINTS(BINDING_COUNT)

#define BINDING_TABLE_ENTRY(name, field, result, failure, parameters, arguments) .field = Count##name,
const ImagingLibrary kCountingLibrary = {WIMGAPI_ENTRY_POINTS(BINDING_TABLE_ENTRY)};

// ---------------------------------------------------------------------------
// A process-wide listener beside the operations' own callbacks: it sees
// every message the library sends, with its arguments read on this side.

struct Heard {
    std::mutex lock;
    std::set<DWORD> messages;
    std::set<WString> processed;  // WIM_MSG_PROCESS paths
    std::set<WString> parts;      // WIM_MSG_SPLIT part names
    std::set<DWORD> errors;       // WIM_MSG_ERROR codes
    std::set<DWORD> threads;      // the threads the library called back on
};

Heard heard;
int listenerTag = 0;  // its address is the listener's user data

DWORD CALLBACK Listener(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    if (userData != &listenerTag)
        return WIM_MSG_SUCCESS;
    std::lock_guard<std::mutex> guard(heard.lock);
    heard.messages.insert(messageId);
    heard.threads.insert(GetCurrentThreadId());
    if (messageId == WIM_MSG_PROCESS && wParam != 0)
        heard.processed.insert(reinterpret_cast<const WCHAR*>(wParam));
    if (messageId == WIM_MSG_SPLIT && wParam != 0)
        heard.parts.insert(*reinterpret_cast<const WCHAR* const*>(wParam));
    if (messageId == WIM_MSG_ERROR)
        heard.errors.insert(static_cast<DWORD>(lParam));
    return WIM_MSG_SUCCESS;
}

// ---------------------------------------------------------------------------
// Files, with the Win32 calls only.

std::string Narrow(WStringView text)
{
    return Utf8FromWide(text);
}

WString Environment(const WCHAR* name)
{
    WCHAR value[kTextBufferSize] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, kTextBufferSize);
    return length > 0 && length < kTextBufferSize ? WString(value) : WString();
}

bool Exists(const WString& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteBytes(const WString& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    CloseHandle(file);
}

std::string ReadBytes(const WString& path)
{
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "(unreadable)";
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

// Relative path -> content ("<folder>" for folders) of everything under root.
void ListTree(const WString& root, const WString& relative, std::map<WString, std::string>& tree)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((root + relative + WSTR("\\*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const WString name = found.cFileName;
        if (name == WSTR(".") || name == WSTR(".."))
            continue;
        const WString item = relative + WSTR("\\") + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[item] = "<folder>";
            ListTree(root, item, tree);
        } else {
            tree[item] = ReadBytes(root + item);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::map<WString, std::string> Tree(const WString& root)
{
    std::map<WString, std::string> tree;
    ListTree(root, WString(), tree);
    return tree;
}

std::string Listing(const std::map<WString, std::string>& tree)
{
    std::string text;
    for (const auto& [path, content] : tree)
        text += Narrow(path) + " (" + std::to_string(content.size()) + " bytes)\n";
    return text;
}

// The last error the worker's operation left.
DWORD workerError = ERROR_SUCCESS;

struct WorkerRun {
    const std::function<bool()>* operation;
    bool result;
    DWORD error;
};

DWORD WINAPI Worker(PVOID parameter)
{
    auto* run = static_cast<WorkerRun*>(parameter);
    run->result = (*run->operation)();
    run->error = GetLastError();
    return 0;
}

// An operation on a thread of its own, as the progress window runs it.
bool OnWorker(const std::function<bool()>& operation)
{
    WorkerRun run = {&operation, false, ERROR_SUCCESS};
    HANDLE thread = CreateThread(nullptr, 0, Worker, &run, 0, nullptr);
    if (thread == nullptr)
        return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    workerError = run.error;
    return run.result;
}

// The record as a fresh page leaves it, for the operation's callbacks.
TaskState& Fresh()
{
    TaskState& task = Task();
    task.RestoreInputDefaults();
    ResetRunState(task);
    return task;
}

std::string Log()
{
    return Narrow(Task().logText);
}

// The image XML of one image, read through the binding.
std::string ImageXml(const WString& wimPath, DWORD index)
{
    HANDLE wim = WIMCreateFile(wimPath.c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, nullptr);
    if (wim == nullptr)
        return "(cannot open: " + std::to_string(GetLastError()) + ")";
    std::string xml = "(no image)";
    if (HANDLE image = WIMLoadImage(wim, index)) {
        PVOID buffer = nullptr;
        DWORD size = 0;
        if (WIMGetImageInformation(image, &buffer, &size)) {
            // UTF-16 with a byte-order mark.
            xml = Narrow(WStringView(static_cast<const WCHAR*>(buffer) + 1, size / sizeof(WCHAR) - 1));
            LocalFree(buffer);
        }
        WIMCloseHandle(image);
    }
    WIMCloseHandle(wim);
    return xml;
}

WIM_INFO Attributes(const WString& wimPath)
{
    WIM_INFO info = {};
    HANDLE wim = WIMCreateFile(wimPath.c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, nullptr);
    if (wim != nullptr) {
        EXPECT_TRUE(WIMGetAttributes(wim, &info, sizeof info));
        WIMCloseHandle(wim);
    }
    return info;
}

// ---------------------------------------------------------------------------

class Binding : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work = Environment(WSTR("CORVANE_BINDING_WORK"));
        ShowXmlParseFailure = [](TaskState&) {};
        SetImagingLibrary(&kCountingLibrary);
    }

    void SetUp() override
    {
        ASSERT_FALSE(work.empty()) << "CORVANE_BINDING_WORK names no folder";
        Fresh();
    }

    static WString At(const WCHAR* name) { return work + WSTR("\\") + name; }

    static WString work;
};

WString Binding::work;

// The source tree: plain and binary files, a name beyond ASCII, and what the
// configuration file leaves out (*.bak, any cache folder) or keeps (*.bak in
// a keep folder). Patterns match the full paths the library reports, so an
// anchored one (\cache) would name a folder at the drive's root.
const struct {
    const WCHAR* path;
    std::string content;
    bool captured;
} kSource[] = {
    {WSTR("readme.txt"), "the first file\r\n", true},
    {WSTR("data.bin"), std::string("\0\1\2\3\xff binary\0", 13), true},
    {WSTR("picture.jpg"), std::string(20000, 'j'), true},
    {WSTR("說明.txt"), "中文內容", true},
    {WSTR("sub\\deeper\\note.txt"), std::string(70000, 'n'), true},
    {WSTR("old.bak"), "left out by the configuration file", false},
    {WSTR("cache\\blob.dat"), "the whole folder is left out", false},
    {WSTR("keep\\wanted.bak"), "an exception to the exclusion", true},
};

TEST_F(Binding, LayerInstalledAsTheSystemLibrary)
{
    // The binding loads the system's wimgapi.dll and, under Wine, accepts it
    // only when it is the layer.
    WIMSetTemporaryPath(nullptr, WSTR("C:\\"));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED))
        << "the binding took the system's wimgapi.dll for Wine's stand-in";
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << "no wimgapi.dll in system32";
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << "an entry point is missing";
    EXPECT_NE(WIMRegisterMessageCallback(nullptr, Listener, &listenerTag), INVALID_CALLBACK_VALUE);
}

TEST_F(Binding, CaptureWithConfigurationFile)
{
    for (const auto& file : kSource) {
        const WString path = At(WSTR("source\\")) + file.path;
        for (size_t slash = path.find(WCHAR('\\'), work.size() + 1); slash != WString::npos;
             slash = path.find(WCHAR('\\'), slash + 1))
            CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
        WriteBytes(path, file.content);
    }
    WriteBytes(At(WSTR("config.ini")),
               "[ExclusionList]\r\n*.bak\r\ncache\r\n[CompressionExclusionList]\r\n*.jpg\r\n"
               "[ExclusionException]\r\nkeep\\*.bak\r\n");

    TaskState& task = Task();
    task.captureSource = At(WSTR("source"));
    task.captureDestination = At(WSTR("images.wim"));
    task.captureConfigFile = At(WSTR("config.ini"));
    task.captureName = WSTR("第一個映像");
    task.captureDescription = WSTR("captured through the binding");
    task.captureBoot = true;
    ASSERT_TRUE(OnWorker([&] { return RunCapture(task, false); })) << Log();
    EXPECT_NE(Log().find("\t不包含: " + Narrow(At(WSTR("source\\old.bak")))), std::string::npos) << Log();
    EXPECT_NE(Log().find("\t不包含: " + Narrow(At(WSTR("source\\cache")))), std::string::npos) << Log();

    // A second image, appended: the steps below export and delete one of two.
    Fresh();
    task.captureSource = At(WSTR("source\\sub"));
    task.captureDestination = At(WSTR("images.wim"));
    task.captureName = WSTR("Second");
    ASSERT_TRUE(OnWorker([&] { return RunCapture(task, true); })) << Log();

    const WIM_INFO info = Attributes(At(WSTR("images.wim")));
    EXPECT_EQ(info.ImageCount, 2u);
    EXPECT_EQ(info.BootIndex, 1u);
    EXPECT_EQ(info.CompressionType, static_cast<DWORD>(WIM_COMPRESS_LZX));
    EXPECT_EQ(Narrow(info.WimPath), Narrow(At(WSTR("images.wim"))));
    EXPECT_NE(ImageXml(At(WSTR("images.wim")), 1).find("<NAME>第一個映像</NAME>"), std::string::npos);
    // The paths of the process messages, as the library gives them: the
    // source path and the item's own path.
    std::lock_guard<std::mutex> guard(heard.lock);
    EXPECT_EQ(heard.processed.count(At(WSTR("source\\說明.txt"))), 1u);
    EXPECT_EQ(heard.processed.count(At(WSTR("source\\sub\\deeper\\note.txt"))), 1u);
}

TEST_F(Binding, ApplyGivesBackTheSourceWithoutItsExclusions)
{
    TaskState& task = Task();
    task.applySource = At(WSTR("images.wim"));
    task.applyIndex = 1;
    task.applyDestination = At(WSTR("applied"));
    CreateDirectoryW(task.applyDestination.c_str(), nullptr);
    ASSERT_TRUE(OnWorker([&] { return RunApply(task); })) << Log();

    std::map<WString, std::string> expected = Tree(At(WSTR("source")));
    for (const auto& file : kSource) {
        if (!file.captured)
            expected.erase(WSTR("\\") + WString(file.path));
    }
    expected.erase(WSTR("\\cache"));
    EXPECT_EQ(Listing(Tree(At(WSTR("applied")))), Listing(expected));
    EXPECT_TRUE(Tree(At(WSTR("applied"))) == expected)
        << "the applied files' contents differ from the source";
}

TEST_F(Binding, FindAndExtractFromAnImage)
{
    HANDLE wim =
        WIMCreateFile(At(WSTR("images.wim")).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_NE(wim, nullptr) << GetLastError();
    HANDLE image = WIMLoadImage(wim, 1);
    ASSERT_NE(image, nullptr) << GetLastError();
    // The structure as the system declares it, with the room newer ones write into.
    struct {
        WIM_FIND_DATA data;
        BYTE spare[kFindDataSpare];
    } found = {};
    HANDLE find = WIMFindFirstImageFile(image, WSTR("\\sub\\*"), &found.data);
    ASSERT_NE(find, nullptr) << GetLastError();
    EXPECT_EQ(Narrow(found.data.cFileName), "deeper");
    EXPECT_NE(found.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_FALSE(WIMFindNextImageFile(find, &found.data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(WIMCloseHandle(find));
    find = WIMFindFirstImageFile(image, WSTR("\\readme.txt"), &found.data);
    ASSERT_NE(find, nullptr) << GetLastError();
    EXPECT_EQ(found.data.nFileSizeLow, 16u);
    EXPECT_TRUE(WIMCloseHandle(find));
    EXPECT_EQ(WIMFindFirstImageFile(image, WSTR("\\sub\\*.none"), &found.data), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    WIMCloseHandle(image);
    WIMCloseHandle(wim);

    TaskState& task = Task();
    task.filesSource = At(WSTR("images.wim"));
    task.filesIndex = 1;
    task.filesTarget = At(WSTR("extracted"));
    task.filesItems = {WSTR("\\readme.txt"), WSTR("\\sub")};
    CreateDirectoryW(task.filesTarget.c_str(), nullptr);
    ASSERT_TRUE(OnWorker([&] { return RunExtract(task); })) << Log();
    EXPECT_EQ(ReadBytes(At(WSTR("extracted\\readme.txt"))), "the first file\r\n");
    EXPECT_TRUE(Tree(At(WSTR("extracted\\sub"))) == Tree(At(WSTR("source\\sub"))))
        << Listing(Tree(At(WSTR("extracted\\sub"))));
}

TEST_F(Binding, InfoReportForTheLinuxBuildToCompare)
{
    TaskState& task = Task();
    task.infoSource = At(WSTR("images.wim"));
    WString report;
    ASSERT_TRUE(BuildInfoReportText(task, report)) << Narrow(report);
    EXPECT_NE(Narrow(report).find("名稱:\t\t第一個映像\r\n"), std::string::npos) << Narrow(report);
    EXPECT_NE(Narrow(report).find("名稱:\t\tSecond\r\n"), std::string::npos) << Narrow(report);
    ASSERT_TRUE(CopyFileW(task.infoSource.c_str(), At(WSTR("report.wim")).c_str(), TRUE));
    WriteBytes(At(WSTR("report.txt")), Narrow(report));
}

TEST_F(Binding, ExportIntoANewFileThenRefusedForTheSameName)
{
    TaskState& task = Task();
    task.exportSource = At(WSTR("images.wim"));
    task.exportIndex = 2;
    task.exportDestination = At(WSTR("exported.wim"));
    task.exportCompression = WSTR("快速壓縮(XPRESS)");
    ASSERT_TRUE(OnWorker([&] { return RunExport(task); })) << Log();
    WIM_INFO info = Attributes(task.exportDestination);
    EXPECT_EQ(info.ImageCount, 1u);
    EXPECT_EQ(info.CompressionType, static_cast<DWORD>(WIM_COMPRESS_XPRESS));
    EXPECT_NE(ImageXml(task.exportDestination, 1).find("<NAME>Second</NAME>"), std::string::npos);

    // The library's own words about the clash reach the log through the
    // error message's text pointer.
    Fresh();
    task.exportSource = At(WSTR("images.wim"));
    task.exportIndex = 2;
    task.exportDestination = At(WSTR("exported.wim"));
    EXPECT_FALSE(OnWorker([&] { return RunExport(task); }));
    EXPECT_NE(Log().find("already holds an image named \"Second\""), std::string::npos) << Log();
    EXPECT_EQ(Attributes(task.exportDestination).ImageCount, 1u);
    std::lock_guard<std::mutex> guard(heard.lock);
    EXPECT_EQ(heard.errors.count(ERROR_ALREADY_EXISTS), 1u);
}

TEST_F(Binding, SplitIntoParts)
{
    TaskState& task = Task();
    task.splitSource = At(WSTR("images.wim"));
    task.splitDestination = At(WSTR("parts.swm"));
    ASSERT_TRUE(OnWorker([&] { return RunSplit(task); })) << Log();
    EXPECT_NE(Log().find("Writing file: parts.swm"), std::string::npos) << Log();
    const WIM_INFO part = Attributes(At(WSTR("parts.swm")));
    EXPECT_EQ(part.PartNumber, 1);
    EXPECT_EQ(part.TotalParts, 1);
    EXPECT_EQ(part.ImageCount, 2u);

    // A part size below the largest resource: the library says how large a
    // part must be, through the size's pointer. The handle is opened here
    // and used on a worker, as a handle may be.
    HANDLE wim = WIMCreateFile(task.splitSource.c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_NE(wim, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 1;
    const WString tiny = At(WSTR("tiny.swm"));
    EXPECT_FALSE(OnWorker([&] { return WIMSplitFile(wim, tiny.c_str(), &size, 0) != FALSE; }));
    EXPECT_EQ(workerError, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_GT(size.QuadPart, 1);
    EXPECT_TRUE(WIMCloseHandle(wim));
    EXPECT_FALSE(Exists(At(WSTR("tiny.swm"))));
    std::lock_guard<std::mutex> guard(heard.lock);
    EXPECT_EQ(heard.parts.count(At(WSTR("parts.swm"))), 1u);
}

// A set of parts as small as the library allows, applied from a later part:
// the operation opens the first and gives the library the others with
// WIMSetReferenceFile, and the tree is the one the whole file gives.
TEST_F(Binding, ApplyFromALaterPartOfASplitSet)
{
    HANDLE wim =
        WIMCreateFile(At(WSTR("images.wim")).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_NE(wim, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 1;
    const WString first = At(WSTR("set.swm"));
    // On a worker, as the operations call the library: the last step counts
    // the threads it called back on.
    EXPECT_FALSE(OnWorker([&] { return WIMSplitFile(wim, first.c_str(), &size, 0) != FALSE; }));
    EXPECT_TRUE(OnWorker([&] { return WIMSplitFile(wim, first.c_str(), &size, 0) != FALSE; })) << workerError;
    EXPECT_TRUE(WIMCloseHandle(wim));
    const WORD parts = Attributes(At(WSTR("set.swm"))).TotalParts;
    ASSERT_GE(parts, 2);

    TaskState& task = Task();
    task.applySource = At(WSTR("set2.swm"));
    task.applyIndex = 1;
    task.applyDestination = At(WSTR("from-set"));
    CreateDirectoryW(task.applyDestination.c_str(), nullptr);
    ASSERT_TRUE(OnWorker([&] { return RunApply(task); })) << Log();
    EXPECT_NE(Log().find("分割部分 2/" + std::to_string(parts) + ":\t" + Narrow(At(WSTR("set2.swm")))),
              std::string::npos)
        << Log();
    EXPECT_TRUE(Tree(At(WSTR("from-set"))) == Tree(At(WSTR("applied"))))
        << "the tree applied from the set differs from the whole file's";
}

TEST_F(Binding, ChangeTextsAndBootImage)
{
    TaskState& task = Task();
    task.changeSource = At(WSTR("images.wim"));
    task.changeIndex = 2;
    task.changeName = WSTR("Renamed & <moved>");
    task.changeDescription = WSTR("新的描述");
    task.changeFlags = WSTR("Professional");
    task.changeBoot = true;
    ASSERT_TRUE(OnWorker([&] { return RunChange(task); })) << Log();
    const std::string xml = ImageXml(task.changeSource, 2);
    EXPECT_NE(xml.find("<NAME>Renamed &amp; &lt;moved&gt;</NAME>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<DESCRIPTION>新的描述</DESCRIPTION>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<FLAGS>Professional</FLAGS>"), std::string::npos) << xml;
    EXPECT_EQ(Attributes(task.changeSource).BootIndex, 2u);
}

TEST_F(Binding, DeleteOneOfTwoImages)
{
    TaskState& task = Task();
    task.deleteSource = At(WSTR("images.wim"));
    task.deleteIndex = 1;
    task.deleteCheck = true;
    ASSERT_TRUE(OnWorker([&] { return RunDelete(task); })) << Log();
    EXPECT_EQ(Attributes(task.deleteSource).ImageCount, 1u);
    EXPECT_NE(ImageXml(task.deleteSource, 1).find("<NAME>Renamed &amp; &lt;moved&gt;</NAME>"),
              std::string::npos);
}

// The mounted-image list through the binding: WIM_MOUNT_LIST entries.
std::vector<WIM_MOUNT_LIST> MountedImages()
{
    DWORD size = 0;
    WIMGetMountedImages(nullptr, &size);
    std::vector<WIM_MOUNT_LIST> list(size / sizeof(WIM_MOUNT_LIST));
    if (!list.empty() && !WIMGetMountedImages(list.data(), &size))
        list.clear();
    return list;
}

TEST_F(Binding, MountReadOnlyAndUnmount)
{
    TaskState& task = Task();
    task.mountSource = At(WSTR("report.wim"));
    task.mountIndex = 1;
    task.mountPath = At(WSTR("mounted"));
    CreateDirectoryW(task.mountPath.c_str(), nullptr);
    ASSERT_TRUE(OnWorker([&] { return RunMount(task); })) << Log();
    EXPECT_EQ(ReadBytes(At(WSTR("mounted\\說明.txt"))), "中文內容");
    const std::vector<WIM_MOUNT_LIST> mounted = MountedImages();
    ASSERT_EQ(mounted.size(), 1u);
    EXPECT_EQ(Narrow(mounted[0].MountPath), Narrow(task.mountPath));
    EXPECT_EQ(Narrow(mounted[0].WimPath), Narrow(task.mountSource));
    EXPECT_EQ(mounted[0].ImageIndex, 1u);
    EXPECT_FALSE(mounted[0].MountedForRW);
    // Nothing can be written into a read-only mount.
    EXPECT_EQ(
        CreateFileW(At(WSTR("mounted\\new.txt")).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
        INVALID_HANDLE_VALUE);

    Fresh();
    task.mountPath = At(WSTR("mounted"));
    ASSERT_TRUE(OnWorker([&] { return RunUnmount(task); })) << Log();
    EXPECT_TRUE(MountedImages().empty());
    EXPECT_TRUE(Tree(At(WSTR("mounted"))).empty());
}

TEST_F(Binding, MountReadWriteAndCommit)
{
    TaskState& task = Task();
    task.mountSource = At(WSTR("exported.wim"));
    task.mountIndex = 1;
    task.mountPath = At(WSTR("writable"));
    task.mountReadWrite = true;
    CreateDirectoryW(task.mountPath.c_str(), nullptr);
    ASSERT_TRUE(OnWorker([&] { return RunMount(task); })) << Log();
    WriteBytes(At(WSTR("writable\\added.txt")), "written into the mount");

    Fresh();
    task.mountPath = At(WSTR("writable"));
    task.unmountCommit = true;
    ASSERT_TRUE(OnWorker([&] { return RunUnmount(task); })) << Log();
    EXPECT_TRUE(MountedImages().empty());

    Fresh();
    task.applySource = At(WSTR("exported.wim"));
    task.applyIndex = 1;
    task.applyDestination = At(WSTR("committed"));
    CreateDirectoryW(task.applyDestination.c_str(), nullptr);
    ASSERT_TRUE(OnWorker([&] { return RunApply(task); })) << Log();
    EXPECT_EQ(ReadBytes(At(WSTR("committed\\added.txt"))), "written into the mount");
}

TEST_F(Binding, AbortLeavesNothingBehind)
{
    TaskState& task = Task();
    task.captureSource = At(WSTR("source"));
    task.captureDestination = At(WSTR("aborted\\aborted.wim"));
    CreateDirectoryW(At(WSTR("aborted")).c_str(), nullptr);
    // The user pressed Abort: the capture's callback answers the library's
    // first question with abort.
    task.abortRequested = true;
    EXPECT_FALSE(OnWorker([&] { return RunCapture(task, false); }));
    EXPECT_EQ(workerError, static_cast<DWORD>(ERROR_REQUEST_ABORTED)) << Log();
    EXPECT_TRUE(Tree(At(WSTR("aborted"))).empty()) << Listing(Tree(At(WSTR("aborted"))));
}

TEST_F(Binding, EveryEntryPointAndMessageCrossed)
{
    EXPECT_TRUE(WIMUnregisterMessageCallback(nullptr, Listener));
    std::string uncalled;
    for (int entry = 0; entry < kEntryPointCount; ++entry) {
        if (calls[entry] == 0)
            uncalled += std::string(" ") + kEntryPointNames[entry];
    }
    EXPECT_EQ(uncalled, "") << "entry points no step called";

    std::lock_guard<std::mutex> guard(heard.lock);
    const struct {
        DWORD id;
        const char* name;
    } kMessages[] = {
        {WIM_MSG_PROGRESS, "progress"},  {WIM_MSG_PROCESS, "process"},         {WIM_MSG_SCANNING, "scanning"},
        {WIM_MSG_SETRANGE, "set-range"}, {WIM_MSG_COMPRESS, "compress"},       {WIM_MSG_ERROR, "error"},
        {WIM_MSG_SPLIT, "split"},        {WIM_MSG_QUERY_ABORT, "query-abort"},
    };
    std::string unheard;
    for (const auto& message : kMessages) {
        if (heard.messages.count(message.id) == 0)
            unheard += std::string(" ") + message.name;
    }
    EXPECT_EQ(unheard, "") << "messages no step received";
    // The operations ran on workers: the library called back on their threads.
    EXPECT_GT(heard.threads.size(), 1u);
    EXPECT_EQ(heard.threads.count(GetCurrentThreadId()), 0u);
}

// Without a usable wimgapi.dll every operation fails, and the log gives the
// system's reason.
void ExpectRefusedWith(DWORD reason)
{
    TaskState& task = Fresh();
    task.infoSource = WSTR("C:\\any.wim");
    WString report;
    EXPECT_FALSE(BuildInfoReportText(task, report));
    WCHAR text[kTextBufferSize];
    EXPECT_NE(Narrow(report).find("錯誤: " + Narrow(SystemErrorText(text, reason))), std::string::npos)
        << Narrow(report);
}

// Run alone, with Wine's own wimgapi.dll in place (WINEDLLOVERRIDES wimgapi=b).
TEST(Refused, WineStandIn)
{
    ExpectRefusedWith(ERROR_CALL_NOT_IMPLEMENTED);
}

// Run alone, with no wimgapi.dll (WINEDLLOVERRIDES wimgapi=).
TEST(Refused, NoLibrary)
{
    ExpectRefusedWith(ERROR_MOD_NOT_FOUND);
}

}  // namespace

int main(int argc, char** argv)
{
    g_instance = GetModuleHandleW(nullptr);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
