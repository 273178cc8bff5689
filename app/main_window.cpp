#include "app/main_window.h"

#include "app/descriptors.h"
#include "app/pages.h"
#include "base/language.h"
#include "base/log.h"
#include "base/resource.h"
#include "base/task_state.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Width and height in dialog units of a template in either layout
// (DIALOGEX templates start with version 1 and signature 0xFFFF).
SIZE TemplateSize(const DLGTEMPLATE* dialog)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(dialog);
    uint16_t version = 0;
    uint16_t signature = 0;
    std::memcpy(&version, bytes, 2);
    std::memcpy(&signature, bytes + 2, 2);
    size_t offset = (version == 1 && signature == 0xFFFF) ? 22 : 14;
    int16_t size[2] = {};
    std::memcpy(size, bytes + offset, sizeof size);
    return {size[0], size[1]};
}

void InitialiseMainWindow(HWND window)
{
    TaskState& task = Task();
    task.mainWindow = window;
    LONG baseUnits = GetDialogBaseUnits();
    int unitX = LOWORD(baseUnits);
    int unitY = HIWORD(baseUnits);

    HICON icon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_CORVANE));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

    auto* pages = static_cast<TabPageSet*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(TabPageSet)));
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pages));
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES |
                                                          ICC_UPDOWN_CLASS | ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    pages->tabControl = GetDlgItem(window, IDC_TABS);

    const std::span<const PageDescriptor> descriptors = PageDescriptors();
    const int pageCount = static_cast<int>(descriptors.size());
    WCHAR label[kTextBufferSize];
    for (int i = 0; i < pageCount; ++i) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT | TCIF_IMAGE;
        item.pszText = LoadTableString(descriptors[i].labelString, label);
        item.iImage = -1;
        SendMessageW(pages->tabControl, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    }

    // Every page is placed in one display area as large as the largest page.
    RECT pageRect = {0, 0, 0, 0};
    for (int i = 0; i < pageCount; ++i) {
        pages->templates[i] = LoadDialogTemplate(descriptors[i].templateId);
        if (pages->templates[i] != nullptr) {
            SIZE size = TemplateSize(pages->templates[i]);
            pageRect.right = std::max<LONG>(pageRect.right, size.cx);
            pageRect.bottom = std::max<LONG>(pageRect.bottom, size.cy);
        }
    }
    MapDialogRect(window, &pageRect);

    RECT tabRect = pageRect;
    SendMessageW(pages->tabControl, TCM_ADJUSTRECT, TRUE, reinterpret_cast<LPARAM>(&tabRect));
    OffsetRect(&tabRect, unitX / 4 - tabRect.left, unitY / 8 - tabRect.top);
    pages->displayRect = tabRect;
    SendMessageW(pages->tabControl, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&pages->displayRect));
    MoveWindow(pages->tabControl, tabRect.left, tabRect.top, tabRect.right - tabRect.left,
               tabRect.bottom - tabRect.top, FALSE);

    int width = tabRect.right + unitX / 4 + 2 * GetSystemMetrics(SM_CXDLGFRAME);
    int height = tabRect.bottom + 2 * (unitY / 8) + 2 * GetSystemMetrics(SM_CYDLGFRAME) +
                 GetSystemMetrics(SM_CYCAPTION);
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    SwitchPage(window);
}

// Tabs are drawn flat on the button face, selected or not.
void DrawTab(const DRAWITEMSTRUCT& draw)
{
    WCHAR text[200] = {};
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 199;
    SendMessageW(draw.hwndItem, TCM_GETITEMW, draw.itemID, reinterpret_cast<LPARAM>(&item));
    FillRect(draw.hDC, &draw.rcItem, GetSysColorBrush(COLOR_BTNFACE));
    int mode = SetBkMode(draw.hDC, TRANSPARENT);
    TextOutW(draw.hDC, draw.rcItem.left + 4, draw.rcItem.top + 2, text, lstrlenW(text));
    SetBkMode(draw.hDC, mode);
}

void CloseMainWindow(HWND window)
{
    auto* pages = reinterpret_cast<TabPageSet*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    if (pages != nullptr)
        HeapFree(GetProcessHeap(), 0, pages);
    EndDialog(window, 0);
}

INT_PTR CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitialiseMainWindow(window);
        return TRUE;
    case WM_MOUNTS_CHANGED:
        RefreshMountList();
        return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == IDC_TABS && header->code == static_cast<UINT>(TCN_SELCHANGE))
            SwitchPage(window);
        return FALSE;
    }
    case WM_DRAWITEM: {
        const auto* draw = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (wParam != IDC_TABS)
            return FALSE;
        DrawTab(*draw);
        SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            CloseMainWindow(window);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

void RunMainWindow()
{
    // The tab control class must exist before the dialog creates its control.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
    DialogBoxIndirectParamW(g_instance, LoadDialogTemplate(IDD_MAIN), nullptr, MainProc, 0);
}
