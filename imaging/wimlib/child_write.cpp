// A wimlib write run in a forked child (see child_write.h).
//
// The child is a copy of a Wine process, so it keeps to wimlib and the C
// library: no Windows call, no callback of the program's, no Wine signal
// handler, and it ends with _exit so that no exit handler runs. Every path
// in its messages is sent as text, because its memory is its own.
#include "imaging/wimlib/child_write.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace layer {

namespace {

enum class ReportKind : int32_t { Progress, Done };

// One report through the pipe; a progress report is followed by the
// message's path, textLength bytes without a terminator.
struct Report {
    ReportKind kind = ReportKind::Progress;
    int32_t message = 0;
    int32_t code = 0;        // done: what the write returned
    int32_t savedErrno = 0;  // done: errno as the write left it
    uint32_t textLength = 0;
    union wimlib_progress_info info = {};
};

// Longer than any path the child can send; a larger length means the
// stream is broken.
constexpr uint32_t kLongestText = 1 << 20;

// The message's path, or null: the one pointer a forwarded message carries.
const char** PathIn(enum wimlib_progress_msg message, union wimlib_progress_info* info)
{
    switch (message) {
    case WIMLIB_PROGRESS_MSG_DONE_WITH_FILE:
        return &info->done_with_file.path_to_file;
    case WIMLIB_PROGRESS_MSG_CALC_INTEGRITY:
        return &info->integrity.filename;
    default:
        return nullptr;
    }
}

// The messages of a write, an apply or a check that the layer's progress
// functions use (the apply's and the check's only by their figures); the rest mean nothing to them.
bool Forwarded(enum wimlib_progress_msg message)
{
    switch (message) {
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS:
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_BEGIN:
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_END:
    case WIMLIB_PROGRESS_MSG_CALC_INTEGRITY:
    case WIMLIB_PROGRESS_MSG_DONE_WITH_FILE:
    case WIMLIB_PROGRESS_MSG_EXTRACT_FILE_STRUCTURE:
    case WIMLIB_PROGRESS_MSG_EXTRACT_STREAMS:
    case WIMLIB_PROGRESS_MSG_EXTRACT_METADATA:
    case WIMLIB_PROGRESS_MSG_EXTRACT_IMAGE_END:
    case WIMLIB_PROGRESS_MSG_VERIFY_STREAMS:
        return true;
    default:
        return false;
    }
}

bool SendAll(int descriptor, const void* data, size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = write(descriptor, bytes, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool ReceiveAll(int descriptor, void* data, size_t size)
{
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(descriptor, bytes, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// ---------------------------------------------------------------------------
// The child

// The child's ends: reports go out, the parent's go-ahead comes back.
struct ChildEnds {
    int out = -1;
    int in = -1;
};

// What the parent answers a report with once it has handed it on.
constexpr char kGoOn = 'g';

// A capture's write reports every file it is done with: waiting for the
// parent at each would cost two switches a file, and what those reports show
// (the file counter) may trail the write. The rest are waited for.
bool AwaitsGoAhead(int32_t message)
{
    return message != WIMLIB_PROGRESS_MSG_DONE_WITH_FILE;
}

// The child's progress function: each message the parent needs goes into
// the pipe, and the child waits until the parent has handed it on, so that
// the window never lags behind the write and an abort answered to a message
// stops the write there, as it would in one process.
enum wimlib_progress_status ForwardToParent(enum wimlib_progress_msg message,
                                            union wimlib_progress_info* info, void* context)
{
    if (!Forwarded(message))
        return WIMLIB_PROGRESS_STATUS_CONTINUE;
    const ChildEnds& ends = *static_cast<ChildEnds*>(context);
    Report report;
    report.message = message;
    if (info != nullptr)  // the metadata messages carry none
        report.info = *info;
    const char** path = info != nullptr ? PathIn(message, info) : nullptr;
    const char* text = path != nullptr && *path != nullptr ? *path : "";
    report.textLength = static_cast<uint32_t>(std::strlen(text));
    std::string bytes(reinterpret_cast<const char*>(&report), sizeof report);
    bytes.append(text, report.textLength);
    if (!SendAll(ends.out, bytes.data(), bytes.size()))
        return WIMLIB_PROGRESS_STATUS_ABORT;  // the parent is gone
    char answer = 0;
    if (AwaitsGoAhead(report.message) && (!ReceiveAll(ends.in, &answer, 1) || answer != kGoOn))
        return WIMLIB_PROGRESS_STATUS_ABORT;
    return WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// Wine's handlers expect a Wine thread behind every signal; in the child a
// fault must simply end it. What the parent ignores stays ignored.
void TakeDefaultSignals()
{
    for (int number = 1; number < NSIG; ++number) {
        struct sigaction current;
        if (sigaction(number, nullptr, &current) != 0)
            continue;
        const bool handled = (current.sa_flags & SA_SIGINFO) != 0 ||
                             (current.sa_handler != SIG_IGN && current.sa_handler != SIG_DFL);
        if (!handled)
            continue;
        struct sigaction plain = {};
        plain.sa_handler = SIG_DFL;
        sigaction(number, &plain, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void RunChild(WimFile& file, const std::function<int()>& write, ChildEnds ends, pid_t parent)
{
    TakeDefaultSignals();
    // A child whose parent died must not write on by itself.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
    wimlib_register_progress_function(file.wim, ForwardToParent, &ends);
    errno = 0;
    Report done;
    done.kind = ReportKind::Done;
    done.code = write();
    done.savedErrno = errno;
    _exit(SendAll(ends.out, &done, sizeof done) ? 0 : 1);
}

// ---------------------------------------------------------------------------
// The parent

struct Outcome {
    int code = WIMLIB_ERR_WRITE;  // a child that ends without its answer failed to write
    int savedErrno = 0;
    bool answered = false;  // the child's own answer, or the parent's abort
};

Outcome Aborted()
{
    return {WIMLIB_ERR_ABORTED_BY_PROGRESS, 0, true};
}

// Gives the child's message to the progress function registered on the
// file, with its path pointing at the parent's copy; false on an abort.
bool Hand(WimFile& file, const Report& report, const std::string& text)
{
    const auto message = static_cast<enum wimlib_progress_msg>(report.message);
    union wimlib_progress_info info = report.info;
    if (const char** path = PathIn(message, &info))
        *path = text.c_str();
    if (file.progressFunction == nullptr)
        return true;
    return file.progressFunction(message, &info, file.progressContext) != WIMLIB_PROGRESS_STATUS_ABORT;
}

// Between the child's messages the listeners are asked as wimlib would ask
// them; true when one of them answered abort.
bool AbortAsked(WimFile& file)
{
    if (!file.progress.aborted && Deliver(file.progress.wim, WIM_MSG_QUERY_ABORT, 0, 0))
        file.progress.aborted = true;
    return file.progress.aborted;
}

// Follows the child's reports until it answers, ends or is stopped.
Outcome FollowChild(WimFile& file, pid_t child, int in, int out)
{
    DWORD lastAsked = GetTickCount();
    for (;;) {
        struct pollfd watch = {in, POLLIN, 0};
        const int ready = poll(&watch, 1, kAbortQueryMilliseconds);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0) {
            Report report;
            std::string text;
            if (!ReceiveAll(in, &report, sizeof report) || report.textLength > kLongestText)
                break;
            text.resize(report.textLength);
            if (!ReceiveAll(in, text.data(), text.size()))
                break;
            if (report.kind == ReportKind::Done)
                return {report.code, report.savedErrno, true};
            if (!Hand(file, report, text)) {
                kill(child, SIGKILL);
                return Aborted();
            }
            // Wine ignores SIGPIPE: a child that has died makes this fail.
            if (AwaitsGoAhead(report.message) && !SendAll(out, &kGoOn, 1))
                break;
        }
        if (GetTickCount() - lastAsked >= kAbortQueryMilliseconds) {
            lastAsked = GetTickCount();
            if (AbortAsked(file)) {
                kill(child, SIGKILL);
                return Aborted();
            }
        }
    }
    kill(child, SIGKILL);
    return {};
}

int Reap(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Only LZMS, whose solid chunks take wimlib tens of seconds each, leaves it
// long between its questions; every other write, apply and check asks at
// least every 1/128 of the data or 5 MB. A fork costs the rest dearly: every page either
// side touches afterwards is faulted in again (about 0.4 s of a 300 MB export
// of 40,000 files, most of it in freeing the WIMStructs after the write).
bool LongBetweenQuestions(WimFile& file)
{
    // A new file's WIMStruct tells no compression until it is written.
    if (file.pending)
        return file.pendingCompression == WIM_COMPRESS_LZMS;
    struct wimlib_wim_info info = {};
    return wimlib_get_wim_info(file.wim, &info) != 0 || info.compression_type == WIMLIB_COMPRESSION_TYPE_LZMS;
}

struct HereRun {
    WimFile& file;
    DWORD lastAsked;
};

// The registered progress function, and between its messages the listeners
// asked for an abort as the parent asks them while a child writes.
enum wimlib_progress_status AskingToo(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                      void* context)
{
    auto& run = *static_cast<HereRun*>(context);
    if (run.file.progressFunction != nullptr &&
        run.file.progressFunction(message, info, run.file.progressContext) == WIMLIB_PROGRESS_STATUS_ABORT)
        return WIMLIB_PROGRESS_STATUS_ABORT;
    if (GetTickCount() - run.lastAsked >= kAbortQueryMilliseconds) {
        run.lastAsked = GetTickCount();
        if (AbortAsked(run.file))
            return WIMLIB_PROGRESS_STATUS_ABORT;
    }
    return WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// The call in this process, answering aborts as a child's would be.
int RunHere(WimFile& file, const std::function<int()>& write)
{
    HereRun run{file, GetTickCount()};
    wimlib_register_progress_function(file.wim, AskingToo, &run);
    errno = 0;
    const int code = write();
    const int savedErrno = errno;
    wimlib_register_progress_function(file.wim, file.progressFunction, file.progressContext);
    errno = savedErrno;
    return code;
}

void Unanswered(int) {}

}  // namespace

void (*ChildEndedUnanswered)(int status) = Unanswered;

int WriteInChild(WimFile& file, const std::function<int()>& write)
{
    if (!LongBetweenQuestions(file))
        return RunHere(file, write);
    int ends[2];
    int answers[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return RunHere(file, write);
    if (pipe2(answers, O_CLOEXEC) != 0) {
        close(ends[0]);
        close(ends[1]);
        return RunHere(file, write);
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        for (int end : {ends[0], ends[1], answers[0], answers[1]})
            close(end);
        return RunHere(file, write);
    }
    if (child == 0) {
        close(ends[0]);
        close(answers[1]);
        RunChild(file, write, ChildEnds{ends[1], answers[0]}, parent);
    }
    close(ends[1]);
    close(answers[0]);
    const Outcome outcome = FollowChild(file, child, ends[0], answers[1]);
    close(ends[0]);
    close(answers[1]);
    // The child has ended or been killed: nothing writes after this.
    const int status = Reap(child);
    if (!outcome.answered)
        ChildEndedUnanswered(status);
    errno = outcome.savedErrno;
    return outcome.code;
}

}  // namespace layer
