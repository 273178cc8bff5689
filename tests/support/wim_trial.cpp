#include "tests/support/wim_trial.h"

#include "base/log.h"
#include "base/resource.h"
#include "base/task_state.h"
#include "imaging/imaging_thread.h"
#include "operations/image_source.h"
#include "operations/operations.h"

#include <deque>
#include <dirent.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string lastLog;

WString Dos(const std::string& unixPath)
{
    WCHAR* dos = wine_get_dos_file_name(unixPath.c_str());
    if (dos == nullptr)
        return {};
    WString path = dos;
    HeapFree(GetProcessHeap(), 0, dos);
    return path;
}

std::set<std::string> Entries(const std::string& folder)
{
    std::set<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        closedir(dir);
    }
    return names;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// A failed operation's log must say why: a failure line ("錯誤: ...") that
// is not the last line, or one that carries the system's text itself.
bool SaysWhy(const std::string& log)
{
    const std::vector<std::string> lines = Lines(log);
    const std::string failure = "錯誤: ";
    // "The WIM file has no image N" is its own reason: the file holds fewer.
    const std::string noSuchImage = "\" 沒有任何映像卷.";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(failure, 0) == 0 && lines[i].ends_with(noSuchImage))
            return true;
        if (lines[i].rfind(failure, 0) != 0 && lines[i].rfind("ERROR: ", 0) != 0)
            continue;
        for (size_t j = i + 1; j < lines.size(); ++j) {
            if (!lines[j].empty())
                return true;
        }
    }
    return false;
}

struct Operation {
    const char* name;
    bool (*run)(TaskState& task);
};

bool Info(TaskState& task)
{
    WString report;
    const bool done = BuildInfoReportText(task, report);
    task.logText = report;
    return done;
}

// Reads every folder of the Files page's image as the page reads them, and
// keeps the first file found for ExtractOneFile. A folder that cannot be
// read ends it with the failure line and the reason.
bool ListFolders(TaskState& task)
{
    task.filesItems.clear();
    SourceImage source;
    const SourceStep step = OpenSourceImage(task.filesSource.c_str(), 1, false, source);
    if (step != SourceStep::Ready) {
        LogSourceFailure(task, step, source, 1);
        return false;
    }
    std::deque<WString> folders = {WSTR("\\")};
    for (int read = 0; !folders.empty() && read < 10000; ++read) {
        std::vector<ImageEntry> entries;
        if (!ListImageFolder(source.image.get(), folders.front(), entries)) {
            LogFailure(task, IDS_READ_WIM_FAILED);
            return false;
        }
        for (const ImageEntry& entry : entries) {
            const WString path = ImageChildPath(folders.front(), entry.name);
            if (entry.IsFolder())
                folders.push_back(path);
            else if (task.filesItems.empty())
                task.filesItems.push_back(path);
        }
        folders.pop_front();
    }
    return true;
}

// Extracts the file ListFolders kept, if any.
bool ExtractOneFile(TaskState& task)
{
    return task.filesItems.empty() || RunExtract(task);
}

// Runs one operation on an imaging thread; false when it did not end in time.
bool RunInTime(const Operation& operation, TaskState& task, DWORD timeoutMs, bool& succeeded)
{
    // Shared with the thread: a stuck thread keeps its copy.
    auto result = std::make_shared<bool>(false);
    HANDLE thread = StartImagingThread([result, run = operation.run, &task] { *result = run(task); });
    if (thread == nullptr) {
        succeeded = false;
        return true;
    }
    const bool ended = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    succeeded = *result;
    return ended;
}

}  // namespace

std::vector<std::string> TryWim(const std::string& wim, const std::string& workFolder,
                                const TrialOptions& options)
{
    std::vector<std::string> problems;
    const std::string copy = workFolder + "/case.wim";
    const std::string target = workFolder + "/target";
    const std::string mountDir = workFolder + "/mnt";
    mkdir(target.c_str(), 0755);
    mkdir(mountDir.c_str(), 0755);
    mkdir((workFolder + "/files").c_str(), 0755);
    if (system(("cp '" + wim + "' '" + copy + "'").c_str()) != 0)
        return {"setup: cannot copy " + wim};
    const std::string parent = workFolder.substr(0, workFolder.rfind('/'));
    const std::set<std::string> parentBefore = Entries(parent);

    TaskState& task = Task();
    task.infoSource = Dos(copy);
    task.applySource = Dos(copy);
    task.applyDestination = Dos(target);
    task.applyIndex = 1;
    task.exportSource = Dos(copy);
    task.exportDestination = Dos(workFolder + "/export.wim");
    task.exportIndex = 1;
    task.mountSource = Dos(copy);
    task.mountPath = Dos(mountDir);
    task.mountIndex = 1;
    task.mountReadWrite = false;
    task.mountCheck = false;
    task.unmountCommit = false;
    task.deleteSource = Dos(copy);
    task.deleteIndex = 1;
    task.deleteCheck = false;
    task.filesSource = Dos(copy);
    task.filesIndex = 1;
    task.filesTarget = Dos(workFolder + "/files");

    std::vector<Operation> operations = {{"List", ListFolders}, {"Extract", ExtractOneFile}};
    if (!options.filesOnly) {
        operations.insert(operations.begin(), {{"Info", Info}, {"Apply", RunApply}, {"Export", RunExport}});
        if (options.mount)
            operations.push_back({"Mount", RunMount});
        operations.push_back({"Delete", RunDelete});
    }
    for (const Operation& operation : operations) {
        ResetRunState(task);
        bool succeeded = false;
        if (!RunInTime(operation, task, options.timeoutMs, succeeded)) {
            lastLog = std::string(operation.name) + ": " + Utf8FromWide(task.logText);
            problems.push_back(std::string("hang ") + operation.name);
            return problems;
        }
        const std::string log = Utf8FromWide(task.logText);
        if (!succeeded && !SaysWhy(log)) {
            lastLog = std::string(operation.name) + ": " + log;
            problems.push_back(std::string("no reason ") + operation.name);
        }
        if (operation.run == RunMount && succeeded) {
            task.logText.clear();
            const Operation unmount{"Unmount", RunUnmount};
            bool unmounted = false;
            if (!RunInTime(unmount, task, options.timeoutMs, unmounted) || !unmounted) {
                lastLog = "Unmount: " + Utf8FromWide(task.logText);
                problems.push_back("unmount failed");
                return problems;
            }
        }
    }

    // Only what the operations were pointed at may be there.
    const std::set<std::string> allowed = {"case.wim", "target", "mnt", "export.wim", "files"};
    for (const std::string& name : Entries(workFolder)) {
        if (allowed.count(name) == 0)
            problems.push_back("outside " + name);
    }
    for (const std::string& name : Entries(parent)) {
        if (parentBefore.count(name) == 0)
            problems.push_back("outside ../" + name);
    }
    return problems;
}

std::string LastTrialLog()
{
    return lastLog;
}
