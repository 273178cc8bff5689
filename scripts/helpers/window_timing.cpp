// Times an operation run through the main window as a user runs it: from the
// click on the page's button until the progress window has logged its
// closing line. Verification is switched off, as the command-line peer does
// none. Prints milliseconds, one line per run.
//   corvane_window_timing capture SOURCE WIM   (a new LZX WIM)
//   corvane_window_timing apply WIM FOLDER     (image 1 into a new folder)
//   corvane_window_timing export WIM ESD       (image 1 into a new solid LZMS file)
// Paths are Unix paths. With CORVANE_TRACE set, what the progress window
// shows is printed to standard error once a second (elapsed seconds, bar
// position, percent label, time label), to see whether the bar and the
// remaining time stay honest through a long run.
#include "app/pages.h"
#include "base/resource.h"
#include "base/task_state.h"
#include "base/x_resources.h"
#include "tests/support/window_session.h"

#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

WString DosPathOf(const WCHAR* unixPath)
{
    WCHAR* dos = wine_get_dos_file_name(Utf8FromWide(unixPath).c_str());
    if (dos == nullptr)
        return WString();
    WString path = dos;
    HeapFree(GetProcessHeap(), 0, dos);
    return path;
}

// Clicks `button`, waits for the run to end, and closes the progress window.
// Returns the milliseconds from the click to the end, or a negative number.
double TimeRun(HWND button)
{
    TaskState& task = Task();
    const double start = MillisecondsNow();
    PostClick(button);
    if (!WaitFor([&] { return task.progressWindow != nullptr; }, 60000))
        return -1;
    HWND window = task.progressWindow;
    const bool trace = std::getenv("CORVANE_TRACE") != nullptr;
    double nextSample = start;
    // The closing line is logged before the worker clears busy.
    const bool ended = WaitFor(
        [&] {
            if (trace && MillisecondsNow() >= nextSample) {
                nextSample += 1000;
                WCHAR percent[64] = {};
                WCHAR times[256] = {};
                GetDlgItemTextW(window, IDC_PROGRESS_PERCENT, percent, 64);
                GetDlgItemTextW(window, IDC_PROGRESS_STATUS, times, 256);
                const LRESULT position = SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0);
                std::fprintf(stderr, "%6.1f s  bar %3d  %s  %s\n", (MillisecondsNow() - start) / 1000,
                             static_cast<int>(position), Utf8FromWide(percent).c_str(),
                             Utf8FromWide(times).c_str());
            }
            return !task.busy;
        },
        3600000);
    if (!ended)
        return -1;
    const double elapsed = MillisecondsNow() - start;
    PostClick(GetDlgItem(window, IDC_PROGRESS_BUTTON));
    WaitFor([&] { return task.progressWindow == nullptr; });
    return elapsed;
}

}  // namespace

extern "C" int wmain(int argc, WCHAR** argv)
{
    KeepXResourcesRead();  // as the program does at its start
    const std::string verb = argc > 1 ? Utf8FromWide(argv[1]) : "";
    // export-lzx: into a new LZX file, the source's data copied as it is.
    const bool exportLzx = verb == "export-lzx";
    if (argc != 4 || (verb != "capture" && verb != "apply" && verb != "export" && !exportLzx)) {
        std::fprintf(stderr,
                     "usage: corvane_window_timing capture SOURCE WIM | apply WIM FOLDER | export WIM ESD | "
                     "export-lzx WIM NEW\n");
        return 2;
    }
    g_instance = GetModuleHandleW(nullptr);
    const WString first = DosPathOf(argv[2]);
    const WString second = DosPathOf(argv[3]);
    MainWindowSession session;
    if (!session.started() || first.empty() || second.empty()) {
        std::fprintf(stderr, "corvane_window_timing: no main window or no DOS paths\n");
        return 1;
    }
    HWND button = nullptr;
    if (verb == "capture") {
        session.SelectTab(kPageCapture);
        SetWindowTextW(session.control(IDC_CAPTURE_SOURCE), first.c_str());
        SetWindowTextW(session.control(IDC_CAPTURE_DESTINATION), second.c_str());
        SendMessageW(session.control(IDC_CAPTURE_VERIFY), BM_SETCHECK, BST_UNCHECKED, 0);
        button = session.control(IDC_CAPTURE_NEW);
    } else if (verb == "export" || exportLzx) {
        session.SelectTab(kPageExport);
        SetWindowTextW(session.control(IDC_EXPORT_SOURCE), first.c_str());
        SetWindowTextW(session.control(IDC_EXPORT_DESTINATION), second.c_str());
        SetWindowTextW(session.control(IDC_EXPORT_INDEX_EDIT), WSTR("1"));
        SendMessageW(session.control(IDC_EXPORT_COMPRESSION), CB_SETCURSEL, exportLzx ? 2 : 3,
                     0);  // LZX, LZMS
        SendMessageW(session.control(IDC_EXPORT_CHECK), BM_SETCHECK, BST_UNCHECKED, 0);
        button = session.control(IDC_EXPORT_RUN);
    } else {
        session.SelectTab(kPageApply);
        SetWindowTextW(session.control(IDC_APPLY_SOURCE), first.c_str());
        SetWindowTextW(session.control(IDC_APPLY_DESTINATION), second.c_str());
        SendMessageW(session.control(IDC_APPLY_VERIFY), BM_SETCHECK, BST_UNCHECKED, 0);
        button = session.control(IDC_APPLY_RUN);
    }
    const double elapsed = TimeRun(button);
    const std::string log = Utf8FromWide(Task().logText);
    if (elapsed < 0 || log.find("錯誤") != std::string::npos || log.find("ERROR") != std::string::npos) {
        std::fprintf(stderr, "corvane_window_timing: the run failed or did not end\n%s", log.c_str());
        return 1;
    }
    std::printf("%.1f\n", elapsed);
    return 0;
}
