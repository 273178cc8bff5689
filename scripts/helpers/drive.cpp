// Drives a running Corvane main window from outside its process, for the
// screenshot script:
//   corvane_drive tab INDEX    select tab INDEX, as a click on it would
//   corvane_drive pick WIM     on the Apply page, enter WIM (a Unix path) and
//                              press Select, which opens the image picker
//   corvane_drive choose       press the open picker's Select button
//   corvane_drive delete WIM N on the Delete page, delete image N of WIM (a
//                              Unix path) and wait for the progress window
//   corvane_drive close        press the progress window's button
//   corvane_drive info WIM     on the Info page, enter WIM and read its report
//   corvane_drive capture DIR WIM NAME
//                              on the Capture page, capture DIR (a Unix path)
//                              into a new WIM named NAME and wait for the
//                              progress window
//   corvane_drive files WIM    on the Files page, enter WIM and press Open
// Exits 1 when the window it needs does not appear within 30 s.
#include "base/resource.h"
#include "base/text.h"
#include "base/x_resources.h"

#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

const WCHAR kMainCaption[] = WSTR("Corvane v2.2.0 (Built against Win10 1803 ADK) x64");
// Each caption in both interface languages.
const WCHAR* const kPickerCaption[] = {WSTR("選擇映像"), WSTR("Select image")};
const WCHAR* const kProgressCaption[] = {WSTR("映像操作執行中..."), WSTR("Image operation in progress...")};

HWND WaitForWindow(const WCHAR* const (&captions)[2])
{
    for (int tries = 0; tries < 300; ++tries) {
        for (const WCHAR* caption : captions) {
            HWND window = FindWindowW(nullptr, caption);
            if (window != nullptr && IsWindowVisible(window))
                return window;
        }
        Sleep(100);
    }
    return nullptr;
}

HWND WaitForWindow(const WCHAR* caption)
{
    const WCHAR* const captions[2] = {caption, caption};
    return WaitForWindow(captions);
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 10000, &result);
    return static_cast<LRESULT>(result);
}

// Setting the focus item of a tab control without buttons selects it and
// notifies the parent, as a click does.
bool SelectTab(HWND window, int index)
{
    HWND tabs = GetDlgItem(window, IDC_TABS);
    Send(tabs, TCM_SETCURFOCUS, index, 0);
    return Send(tabs, TCM_GETCURSEL, 0, 0) == index;
}

// The page dialog now shown: the main window's child that is not the tabs.
HWND ShownPage(HWND window)
{
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(child) != IDC_TABS)
            return child;
    }
    return nullptr;
}

// Puts the DOS path of a Unix path into an edit, as typing it would.
bool SetDosPath(HWND edit, const WCHAR* unixPath)
{
    WCHAR* dos = wine_get_dos_file_name(Utf8FromWide(unixPath).c_str());
    if (dos == nullptr)
        return false;
    Send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(dos));
    HeapFree(GetProcessHeap(), 0, dos);
    return true;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "corvane_drive: %s\n", what);
    return 1;
}

}  // namespace

extern "C" int wmain(int argc, WCHAR** argv)
{
    KeepXResourcesRead();  // as the program does at its start
    const WString command = argc > 1 ? argv[1] : WSTR("");
    HWND window = WaitForWindow(kMainCaption);
    if (window == nullptr)
        return Fail("no Corvane window");

    if (command == WSTR("tab") && argc == 3) {
        int index = 0;
        for (const WCHAR* digit = argv[2]; *digit >= WSTR('0') && *digit <= WSTR('9'); ++digit)
            index = index * 10 + (*digit - WSTR('0'));
        return SelectTab(window, index) ? 0 : Fail("tab not selected");
    }
    if (command == WSTR("pick") && argc == 3) {
        if (!SelectTab(window, 1))
            return Fail("Apply page not shown");
        HWND page = ShownPage(window);
        if (!SetDosPath(GetDlgItem(page, IDC_APPLY_SOURCE), argv[2]))
            return Fail("no DOS path for the WIM file");
        PostMessageW(GetDlgItem(page, IDC_APPLY_SELECT), BM_CLICK, 0, 0);
        return WaitForWindow(kPickerCaption) ? 0 : Fail("no picker");
    }
    if (command == WSTR("delete") && argc == 4) {
        if (!SelectTab(window, 7))
            return Fail("Delete page not shown");
        HWND page = ShownPage(window);
        if (!SetDosPath(GetDlgItem(page, IDC_DELETE_SOURCE), argv[2]))
            return Fail("no DOS path for the WIM file");
        Send(GetDlgItem(page, IDC_DELETE_INDEX), UDM_SETPOS32, 0, argv[3][0] - WSTR('0'));
        PostMessageW(GetDlgItem(page, IDC_DELETE_RUN), BM_CLICK, 0, 0);
        return WaitForWindow(kProgressCaption) ? 0 : Fail("no progress window");
    }
    if (command == WSTR("info") && argc == 3) {
        if (!SelectTab(window, 2))
            return Fail("Info page not shown");
        HWND page = ShownPage(window);
        if (!SetDosPath(GetDlgItem(page, IDC_INFO_SOURCE), argv[2]))
            return Fail("no DOS path for the WIM file");
        // The report is built before the click returns.
        Send(GetDlgItem(page, IDC_INFO_READ), BM_CLICK, 0, 0);
        return 0;
    }
    if (command == WSTR("files") && argc == 3) {
        if (!SelectTab(window, 8))
            return Fail("Files page not shown");
        HWND page = ShownPage(window);
        if (!SetDosPath(GetDlgItem(page, IDC_FILES_SOURCE), argv[2]))
            return Fail("no DOS path for the WIM file");
        // The root is read on a thread of its own; the script waits for it.
        Send(GetDlgItem(page, IDC_FILES_OPEN), BM_CLICK, 0, 0);
        return 0;
    }
    if (command == WSTR("capture") && argc == 5) {
        if (!SelectTab(window, 0))
            return Fail("Capture page not shown");
        HWND page = ShownPage(window);
        if (!SetDosPath(GetDlgItem(page, IDC_CAPTURE_SOURCE), argv[2]) ||
            !SetDosPath(GetDlgItem(page, IDC_CAPTURE_DESTINATION), argv[3]))
            return Fail("no DOS path for the folder or the WIM file");
        Send(GetDlgItem(page, IDC_CAPTURE_NAME), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
        PostMessageW(GetDlgItem(page, IDC_CAPTURE_NEW), BM_CLICK, 0, 0);
        return WaitForWindow(kProgressCaption) ? 0 : Fail("no progress window");
    }
    if (command == WSTR("close")) {
        HWND progress = WaitForWindow(kProgressCaption);
        if (progress == nullptr)
            return Fail("no progress window");
        PostMessageW(GetDlgItem(progress, IDC_PROGRESS_BUTTON), BM_CLICK, 0, 0);
        return 0;
    }
    if (command == WSTR("choose")) {
        HWND picker = WaitForWindow(kPickerCaption);
        if (picker == nullptr)
            return Fail("no picker");
        PostMessageW(GetDlgItem(picker, IDC_PICKER_SELECT), BM_CLICK, 0, 0);
        return 0;
    }
    std::fprintf(stderr,
                 "usage: corvane_drive tab INDEX | pick WIM | choose | delete WIM N | close | info WIM | "
                 "capture DIR WIM NAME | files WIM\n");
    return 2;
}
