// Capturing a folder into a new image. wimlib scans the tree, asking path by
// path whether to leave it out; the new image's data is written when the
// WIM handle closes, with the image's texts and boot mark, in one write (its
// messages, the abort queries among them, come then). A failure or an abort
// leaves the file as it was (a file being created does not appear at all).
// A path that cannot be captured (unreadable, gone, a name that is no UTF-8)
// fails the capture once the scan has named every such path, unless the
// caller answers WIM_MSG_SKIP_ERROR: an image never silently lacks what the
// caller did not leave out.
#include "imaging/wimlib/layer.h"
#include "imaging/wimlib/wimlib_texts.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <unistd.h>
#include <unordered_set>

namespace layer {

namespace {

using ScanInfo = decltype(wimlib_progress_info::scan);
using WriteInfo = decltype(wimlib_progress_info::write_streams);
using ExclusionTest = decltype(wimlib_progress_info::test_file_exclusion);

// One capture, as wimlib's progress function sees it.
struct CaptureRun {
    uintptr_t wim = 0;
    std::string unixSource;  // what wimlib was given; its paths start with it
    std::string ownFile;     // the WIM being written, never captured into itself
    WString dosSource;       // the caller's source made full, without a trailing backslash
    WString dosPath;         // one message's path; reused, so a path costs no allocation
    bool aborted = false;
    DWORD failure = ERROR_SUCCESS;  // the first path that could not be captured, unskipped

    uint64_t folders = 0;
    uint64_t files = 0;

    // wimlib tells when it is done with a file's data; files without data
    // of their own (empty files, links, devices, the names of a file with
    // several links) are captured with the metadata and told then.
    std::vector<std::string> quietItems;
    std::unordered_set<std::string> linkedNames;

    DWORD writeStart = 0;
    DWORD lastProgressTick = 0;
    WPARAM lastPercent = ~WPARAM{0};
    bool integrityTold = false;

    // The folder of the paths being tested, open while wimlib scans its
    // entries, so that each test walks one name rather than the whole path.
    std::string folderPath;
    int folder = -1;
    uid_t effectiveUser = geteuid();

    CaptureRun() = default;
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;
    ~CaptureRun()
    {
        if (folder >= 0)
            close(folder);
    }
};

// The caller's view of a path wimlib reports: the source as the caller gave
// it, then the relative path with backslashes.
const WCHAR* DosPathOf(CaptureRun& run, const char* unixPath)
{
    const size_t length = std::strlen(unixPath);
    size_t skip = std::min(run.unixSource.size(), length);
    while (skip < length && unixPath[skip] == '/')
        ++skip;
    const bool needsSeparator = skip < length && !run.dosSource.empty() && run.dosSource.back() != '\\';
    const size_t prefix = run.dosSource.size() + (needsSeparator ? 1 : 0);
    run.dosPath.assign(run.dosSource);
    if (needsSeparator)
        run.dosPath.push_back('\\');
    if (skip < length) {
        const int bytes = static_cast<int>(length - skip);
        run.dosPath.resize(prefix + static_cast<size_t>(bytes));
        const int units =
            MultiByteToWideChar(CP_UTF8, 0, unixPath + skip, bytes, run.dosPath.data() + prefix, bytes);
        run.dosPath.resize(prefix + static_cast<size_t>(units > 0 ? units : 0));
        for (size_t i = prefix; i < run.dosPath.size(); ++i) {
            if (run.dosPath[i] == '/')
                run.dosPath[i] = '\\';
        }
    }
    return run.dosPath.c_str();
}

bool Tell(CaptureRun& run, DWORD message, WPARAM wParam, LPARAM lParam)
{
    if (Deliver(run.wim, message, wParam, lParam))
        run.aborted = true;
    return !run.aborted;
}

// A path wimlib could not or may not capture: an error message naming it.
// The path stays out of the scan either way; unless the answer is skip, the
// capture fails once the scan is over.
void TellUnreadable(CaptureRun& run, const char* unixPath, DWORD code)
{
    const WCHAR* path = DosPathOf(run, unixPath != nullptr ? unixPath : run.unixSource.c_str());
    switch (DeliverError(run.wim, path, code)) {
    case ErrorAnswer::Abort:
        run.aborted = true;
        break;
    case ErrorAnswer::Fail:
        if (run.failure == ERROR_SUCCESS)
            run.failure = code;
        break;
    case ErrorAnswer::Skip:
        break;
    }
}

// The files wimlib failed on while writing (one gone since the scan, say),
// named from what it printed.
void TellWriteFailures(CaptureRun& run, WimlibTexts& texts, DWORD code)
{
    for (const WimlibTexts::Text& text : texts.Read()) {
        const std::string unixPath = QuotedPathIn(text.text);
        if (text.warning || unixPath.rfind(run.unixSource, 0) != 0)
            continue;
        const WCHAR* path = DosPathOf(run, unixPath.c_str());
        Tell(run, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(path), static_cast<LPARAM>(code));
    }
}

bool IsOwnFile(const CaptureRun& run, const char* unixPath)
{
    const size_t length = run.ownFile.size();
    return std::strncmp(unixPath, run.ownFile.c_str(), length) == 0 &&
           (unixPath[length] == 0 || unixPath[length] == '.');
}

// The folder holding `unixPath` as a descriptor, and the entry's name in it;
// the whole path from the current folder when the folder cannot be opened.
int FolderHolding(CaptureRun& run, const char* unixPath, const char*& name)
{
    const char* slash = std::strrchr(unixPath, '/');
    name = unixPath;
    if (slash == nullptr || slash == unixPath)
        return AT_FDCWD;
    const size_t length = static_cast<size_t>(slash - unixPath);
    if (run.folder < 0 || run.folderPath.size() != length ||
        run.folderPath.compare(0, length, unixPath, length) != 0) {
        if (run.folder >= 0)
            close(run.folder);
        run.folderPath.assign(unixPath, length);
        run.folder = open(run.folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (run.folder < 0)
        return AT_FDCWD;
    name = slash + 1;
    return run.folder;
}

// Before wimlib looks at a path: the caller's include answer, then whether a
// file's data can be read at all (wimlib reads it only while writing, where
// one unreadable file would fail the whole capture).
void TestPath(CaptureRun& run, ExclusionTest& test)
{
    const char* unixPath = test.path;
    if (run.unixSource == unixPath)
        return;
    if (IsOwnFile(run, unixPath)) {
        test.will_exclude = true;
        return;
    }
    BOOL include = TRUE;
    const WCHAR* path = DosPathOf(run, unixPath);
    if (!Tell(run, WIM_MSG_PROCESS, reinterpret_cast<WPARAM>(path), reinterpret_cast<LPARAM>(&include)))
        return;
    if (!include) {
        test.will_exclude = true;
        return;
    }

    const char* name = nullptr;
    const int folder = FolderHolding(run, unixPath, name);
    struct stat status;
    if (fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        TellUnreadable(run, unixPath, Win32FromErrno(errno, ERROR_FILE_NOT_FOUND));
        test.will_exclude = true;
        return;
    }
    if (S_ISDIR(status.st_mode))
        return;  // wimlib opens folders itself and reports what fails
    if (!S_ISREG(status.st_mode)) {
        run.quietItems.emplace_back(unixPath);
        return;
    }
    // A permission test rather than an open: the same answer for a regular
    // file at a third of the cost; what still fails later is named then.
    // The owner's read bit is the owner's whole answer (an access list's
    // owner entry is those bits), which spares most files the second call.
    const bool ownerMayRead = status.st_uid == run.effectiveUser && (status.st_mode & S_IRUSR) != 0;
    if (!ownerMayRead && faccessat(folder, name, R_OK, AT_EACCESS) != 0) {
        TellUnreadable(run, unixPath, Win32FromErrno(errno, ERROR_ACCESS_DENIED));
        test.will_exclude = true;
        return;
    }
    if (status.st_size == 0) {
        run.quietItems.emplace_back(unixPath);
        return;
    }
    if (status.st_nlink > 1) {
        run.linkedNames.emplace(unixPath);
        run.quietItems.emplace_back(unixPath);
    }
    // wimlib 1.13 chooses compression for the whole write, not per file: the
    // answer is asked as the library asks it, and a file whose data does not
    // shrink is stored uncompressed by wimlib itself.
    BOOL compress = TRUE;
    Tell(run, WIM_MSG_COMPRESS, reinterpret_cast<WPARAM>(path), reinterpret_cast<LPARAM>(&compress));
}

// Counts what was scanned and kept; links are reported twice (fixed or not,
// then kept), and excluded paths were never counted.
void CountScanned(CaptureRun& run, const ScanInfo& scan)
{
    if (scan.status != 0)  // WIMLIB_SCAN_DENTRY_OK
        return;
    const WPARAM newFolders = static_cast<WPARAM>(scan.num_dirs_scanned - run.folders);
    run.folders = scan.num_dirs_scanned;
    run.files = scan.num_nondirs_scanned;
    Tell(run, WIM_MSG_SCANNING, newFolders, static_cast<LPARAM>(run.files));
}

void TellWriteProgress(CaptureRun& run, const WriteInfo& write)
{
    const DWORD now = GetTickCount();
    if (run.writeStart == 0)
        run.writeStart = now - 1;
    const ProgressFigures figures =
        EstimateProgress(write.completed_bytes, write.total_bytes, run.writeStart);
    // Every chunk brings a message; the window needs one when the figure moves.
    if (figures.percent != run.lastPercent || now - run.lastProgressTick >= 250) {
        run.lastPercent = figures.percent;
        run.lastProgressTick = now;
        if (!Tell(run, WIM_MSG_PROGRESS, figures.percent, figures.remaining))
            return;
    }
    Tell(run, WIM_MSG_QUERY_ABORT, 0, 0);
}

void TellProcessed(CaptureRun& run, const char* unixPath)
{
    BOOL include = TRUE;
    const WCHAR* path = DosPathOf(run, unixPath);
    Tell(run, WIM_MSG_PROCESS, reinterpret_cast<WPARAM>(path), reinterpret_cast<LPARAM>(&include));
}

enum wimlib_progress_status CaptureProgress(enum wimlib_progress_msg message,
                                            union wimlib_progress_info* info, void* context)
{
    auto& run = *static_cast<CaptureRun*>(context);
    switch (message) {
    case WIMLIB_PROGRESS_MSG_TEST_FILE_EXCLUSION:
        TestPath(run, info->test_file_exclusion);
        break;
    case WIMLIB_PROGRESS_MSG_SCAN_DENTRY:
        CountScanned(run, info->scan);
        break;
    case WIMLIB_PROGRESS_MSG_HANDLE_ERROR:
        TellUnreadable(run, info->handle_error.path, Win32FromWimlib(info->handle_error.error_code, errno));
        info->handle_error.will_ignore = !run.aborted;
        break;
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS:
        TellWriteProgress(run, info->write_streams);
        break;
    case WIMLIB_PROGRESS_MSG_DONE_WITH_FILE:
        if (run.linkedNames.empty() || run.linkedNames.count(info->done_with_file.path_to_file) == 0)
            TellProcessed(run, info->done_with_file.path_to_file);
        break;
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_BEGIN:
        for (const std::string& item : run.quietItems) {
            if (run.aborted)
                break;
            TellProcessed(run, item.c_str());
        }
        run.quietItems.clear();
        Tell(run, WIM_MSG_QUERY_ABORT, 0, 0);
        break;
    case WIMLIB_PROGRESS_MSG_CALC_INTEGRITY:
        if (!run.integrityTold) {
            run.integrityTold = true;
            Tell(run, WIM_MSG_ADDING_INTEGRITY, 0, 0);
        }
        Tell(run, WIM_MSG_QUERY_ABORT, 0, 0);
        break;
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_END:
        Tell(run, WIM_MSG_QUERY_ABORT, 0, 0);
        break;
    default:
        // RENAME and what follows come once the new file is in place: an
        // abort there would report a change that happened anyway.
        return WIMLIB_PROGRESS_STATUS_CONTINUE;
    }
    return run.aborted ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// WIM_FLAG_VERIFY: files that the image stores once (their data hashed
// alike) are compared byte by byte with the first of them, so two different
// files never share one copy.
struct SingleInstanceCheck {
    CaptureRun* run;
    std::map<std::string, std::string> firstOf;  // hash bytes -> image path
    bool differs = false;
};

bool SameBytes(const std::string& a, const std::string& b)
{
    std::FILE* first = std::fopen(a.c_str(), "rb");
    std::FILE* second = std::fopen(b.c_str(), "rb");
    bool same = first != nullptr && second != nullptr;
    char left[65536];
    char right[sizeof left];
    while (same) {
        const size_t got = std::fread(left, 1, sizeof left, first);
        same = std::fread(right, 1, sizeof right, second) == got && std::memcmp(left, right, got) == 0;
        if (got < sizeof left)
            break;
    }
    if (first != nullptr)
        std::fclose(first);
    if (second != nullptr)
        std::fclose(second);
    return same;
}

int CheckSingleInstance(const struct wimlib_dir_entry* entry, void* context)
{
    auto& check = *static_cast<SingleInstanceCheck*>(context);
    if ((entry->attributes & WIMLIB_FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        entry->streams[0].resource.uncompressed_size == 0)
        return 0;
    const std::string hash(reinterpret_cast<const char*>(entry->streams[0].resource.sha1_hash), 20);
    auto [first, added] = check.firstOf.emplace(hash, entry->full_path);
    if (!added &&
        !SameBytes(check.run->unixSource + first->second, check.run->unixSource + entry->full_path)) {
        check.differs = true;
        return 1;
    }
    return Tell(*check.run, WIM_MSG_QUERY_ABORT, 0, 0) ? 0 : 1;
}

// Runs as the commit's check on the written file, so a file that fails it
// (or an abort) leaves the WIM as it was.
bool VerifySingleInstances(CaptureRun& run, WIMStruct* written, int index)
{
    SingleInstanceCheck check{&run, {}, false};
    if (!Tell(run, WIM_MSG_VERIFYING_INTEGRITY, 0, 0))
        return Fail(ERROR_REQUEST_ABORTED);
    const int result = wimlib_iterate_dir_tree(written, index, "", WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE,
                                               CheckSingleInstance, &check);
    if (check.differs)
        return Fail(ERROR_FILE_CORRUPT);
    if (run.aborted)
        return Fail(ERROR_REQUEST_ABORTED);
    if (result != 0)
        return Fail(Win32FromWimlib(result, errno));
    return true;
}

}  // namespace

HANDLE WINAPI LayerCaptureImage(HANDLE wim, PCWSTR path, DWORD flags)
{
    std::shared_ptr<HandleEntry> entry = Lookup(wim, HandleKind::Wim);
    if (entry == nullptr)
        return nullptr;
    WimFile& file = *entry->file;
    if (!file.Writable()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // The run outlives this call: the write at the close still reports through it.
    auto kept = std::make_shared<CaptureRun>();
    CaptureRun& run = *kept;
    run.wim = reinterpret_cast<uintptr_t>(wim);
    if (!FullDosPath(path, run.dosSource) || !UnixPathFromDos(path, run.unixSource))
        return nullptr;
    // No trailing backslash unless it is a drive's root.
    while (run.dosSource.size() > 3 && run.dosSource.back() == '\\')
        run.dosSource.pop_back();
    while (run.unixSource.size() > 1 && run.unixSource.back() == '/')
        run.unixSource.pop_back();
    struct stat status;
    if (stat(run.unixSource.c_str(), &status) != 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno, ERROR_PATH_NOT_FOUND));
        return nullptr;
    }
    if (!S_ISDIR(status.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return nullptr;
    }

    std::lock_guard<std::recursive_mutex> guard(file.lock);
    // What the handles changed before goes into the file first, so that a
    // capture that fails takes nothing else with it.
    if (!Current(file) || !WriteKeptChanges(file))
        return nullptr;
    run.ownFile = file.unixPath;

    int addFlags = WIMLIB_ADD_FLAG_UNIX_DATA | WIMLIB_ADD_FLAG_TEST_FILE_EXCLUSION | WIMLIB_ADD_FLAG_VERBOSE;
    addFlags |= (flags & WIM_FLAG_NO_RP_FIX) ? WIMLIB_ADD_FLAG_NORPFIX : WIMLIB_ADD_FLAG_RPFIX;
    RegisterProgress(file, CaptureProgress, &run);
    if (!WimlibSucceeds(
            [&] { return wimlib_add_image(file.wim, run.unixSource.c_str(), nullptr, nullptr, addFlags); })) {
        Reload(file);
        return nullptr;
    }
    if (run.folder >= 0)
        close(run.folder);
    run.folder = -1;
    if (run.failure != ERROR_SUCCESS) {
        Reload(file);
        SetLastError(run.failure);
        return nullptr;
    }
    // wimlib records what it finds of a Windows installation in the tree
    // (WINDOWS, and FLAGS and display texts from it); the Windows library
    // records none of it. The program's own probe adds its element after the
    // capture, so both builds give the image the same XML.
    const int added = static_cast<int>(ImageCountOf(file));
    if (added == 0) {
        Reload(file);
        return nullptr;
    }
    for (const char* derived : {"WINDOWS", "FLAGS", "DISPLAYNAME", "DISPLAYDESCRIPTION"}) {
        if (!WimlibSucceeds([&] { return wimlib_set_image_property(file.wim, added, derived, nullptr); })) {
            Reload(file);
            return nullptr;
        }
    }
    const LPARAM fileCount = static_cast<LPARAM>(run.files);
    if (!Tell(run, WIM_MSG_SETRANGE, 0, fileCount)) {
        SetLastError(ERROR_REQUEST_ABORTED);
        Reload(file);
        return nullptr;
    }
    ShowAddedImageXml(file);
    KeepChange(file);
    file.kept.extraWriteFlags |= WIMLIB_WRITE_FLAG_SEND_DONE_WITH_FILE_MESSAGES;
    file.kept.progressOwner = kept;
    file.kept.tellWriteFailure = [kept](WimlibTexts& texts, DWORD failure) {
        TellWriteFailures(*kept, texts, failure);
    };
    if ((flags & WIM_FLAG_VERIFY) != 0)
        file.kept.checks.push_back(
            [kept, added](WIMStruct* written) { return VerifySingleInstances(*kept, written, added); });

    auto image = std::make_shared<HandleEntry>();
    image->kind = HandleKind::Image;
    image->file = entry->file;
    image->index = static_cast<DWORD>(added);
    HANDLE handle = AddHandle(image);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

}  // namespace layer
