// Measures how long the main window takes to answer the user: a tab click
// until the new page is built, filled and painted, and a Select click until
// the image picker shows every image of a WIM file, and a Read click on the
// Info page until the report is shown. Prints milliseconds.
//   corvane_ui_latency WIM [ROUNDS [REPORT_WIM]]
// The WIMs are Unix paths; the script scripts/bench/ui-latency makes a
// 50-image one for the picker and a 300-image one for the report.
#include "app/pages.h"
#include "base/language.h"
#include "base/resource.h"
#include "base/text_box.h"
#include "base/x_resources.h"
#include "tests/support/window_session.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Paints every pending update of the window and its children before returning.
void PaintNow(HWND window)
{
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void Report(const char* what, std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    std::printf("%-34s n=%-3zu min %7.1f ms  median %7.1f ms  max %7.1f ms\n", what, times.size(),
                times.front(), times[times.size() / 2], times.back());
}

}  // namespace

extern "C" int wmain(int argc, WCHAR** argv)
{
    KeepXResourcesRead();  // as the program does at its start
    if (argc < 2) {
        std::fprintf(stderr, "usage: corvane_ui_latency WIM [ROUNDS]\n");
        return 2;
    }
    g_instance = GetModuleHandleW(nullptr);
    std::string unixPath = Utf8FromWide(argv[1]);
    WCHAR* dos = wine_get_dos_file_name(unixPath.c_str());
    if (dos == nullptr) {
        std::fprintf(stderr, "corvane_ui_latency: no DOS path for %s\n", unixPath.c_str());
        return 2;
    }
    WString wim = dos;
    HeapFree(GetProcessHeap(), 0, dos);
    int rounds = 5;
    if (argc > 2)
        rounds = std::max(1, static_cast<int>(std::stoul(Utf8FromWide(argv[2]))));
    WString reportWim = wim;
    if (argc > 3) {
        WCHAR* reportDos = wine_get_dos_file_name(Utf8FromWide(argv[3]).c_str());
        if (reportDos == nullptr) {
            std::fprintf(stderr, "corvane_ui_latency: no DOS path for the report WIM\n");
            return 2;
        }
        reportWim = reportDos;
        HeapFree(GetProcessHeap(), 0, reportDos);
    }

    MainWindowSession session;
    if (!session.started()) {
        std::fprintf(stderr, "corvane_ui_latency: the main window did not appear\n");
        return 1;
    }
    PaintNow(session.window());

    // Every tab in turn, from the one before it.
    std::vector<double> switches;
    std::vector<std::vector<double>> byPage(static_cast<size_t>(kPageCount));
    for (int round = 0; round < rounds; ++round) {
        for (int page = 1; page <= kPageCount; ++page) {
            int index = page % kPageCount;
            double start = MillisecondsNow();
            session.SelectTab(index);
            PaintNow(session.window());
            switches.push_back(MillisecondsNow() - start);
            byPage[index].push_back(switches.back());
        }
    }

    // The picker on the Apply page: from the click until all rows are shown.
    session.SelectTab(kPageApply);
    SetWindowTextW(session.control(IDC_APPLY_SOURCE), wim.c_str());
    const WString caption = WSTR("選擇映像");
    std::vector<double> pickers;
    int rows = 0;
    for (int round = 0; round < rounds; ++round) {
        double start = MillisecondsNow();
        PostClick(session.control(IDC_APPLY_SELECT));
        HWND picker = nullptr;
        while ((picker = FindThreadWindow(session.threadId(), caption)) == nullptr &&
               MillisecondsNow() - start < 30000)
            Sleep(0);
        if (picker == nullptr) {
            std::fprintf(stderr, "corvane_ui_latency: the picker did not open\n");
            return 1;
        }
        PaintNow(picker);
        pickers.push_back(MillisecondsNow() - start);
        rows = static_cast<int>(SendDlgItemMessageW(picker, IDC_PICKER_LIST, LVM_GETITEMCOUNT, 0, 0));
        PostClick(GetDlgItem(picker, IDC_PICKER_SELECT));
        WaitFor([&] { return !IsWindow(picker); });
    }

    // The Info page's report: the Read command runs on the window's thread,
    // so the sent click returns once the report is in its box.
    session.SelectTab(kPageInfo);
    SetWindowTextW(session.control(IDC_INFO_SOURCE), reportWim.c_str());
    std::vector<double> reports;
    size_t reportLength = 0;
    for (int round = 0; round < rounds; ++round) {
        SetWindowTextW(session.control(IDC_INFO_TEXT), WSTR(""));
        double start = MillisecondsNow();
        SendMessageW(session.control(IDC_INFO_READ), BM_CLICK, 0, 0);
        PaintNow(session.window());
        reports.push_back(MillisecondsNow() - start);
        reportLength = WindowText(session.control(IDC_INFO_TEXT)).size();
    }

    // The same text put into the box again: what showing it costs alone, as
    // the report does it and as a plain WM_SETTEXT to the visible box, in
    // turns so that both see the same load.
    const HWND box = session.control(IDC_INFO_TEXT);
    const WString reportText = WindowText(box);
    // The same text with a space for each tab: what the tabs alone cost.
    WString untabbed = reportText;
    std::replace(untabbed.begin(), untabbed.end(), WCHAR{'\t'}, WCHAR{' '});
    std::vector<double> boxSets, plainSets, untabbedSets;
    // One set of the emptied box, painted: its milliseconds go to `times`.
    const auto timeSet = [&](std::vector<double>& times, auto set, const WString& text) {
        SetWindowTextW(box, WSTR(""));
        PaintNow(session.window());
        const double start = MillisecondsNow();
        set(box, text.c_str());
        PaintNow(session.window());
        times.push_back(MillisecondsNow() - start);
    };
    const auto report = [](HWND edit, const WCHAR* text) { SetReportText(edit, text); };
    const auto plain = [](HWND edit, const WCHAR* text) { SetWindowTextW(edit, text); };
    for (int round = 0; round < rounds; ++round) {
        timeSet(boxSets, report, reportText);
        timeSet(plainSets, plain, reportText);
        timeSet(untabbedSets, report, untabbed);
    }

    Report("tab switch (click to painted page)", switches);
    for (int page = 0; page < kPageCount; ++page) {
        char label[64];
        WCHAR tab[64] = {};
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = tab;
        item.cchTextMax = 64;
        SendMessageW(session.tabs(), TCM_GETITEMW, page, reinterpret_cast<LPARAM>(&item));
        std::snprintf(label, sizeof label, "  to %s", Utf8FromWide(tab).c_str());
        Report(label, byPage[page]);
    }
    char label[64];
    std::snprintf(label, sizeof label, "picker open (%d images)", rows);
    Report(label, pickers);
    std::snprintf(label, sizeof label, "info report (%zu characters)", reportLength);
    Report(label, reports);
    Report("  of which the box takes the text", boxSets);
    Report("  the box, the text set plainly", plainSets);
    Report("  the box, tabs made spaces", untabbedSets);
    return 0;
}
