// The tab pages: which controls each page has, how they are copied to and
// from TaskState, and the page window itself.
#include "app/pages.h"

#include "app/descriptors.h"

#include "base/language.h"
#include "base/log.h"
#include "base/resource.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <span>

namespace {

const WCHAR* const kEditionFlags[] = {
    WSTR("Enterprise"),
    WSTR("Professional"),
    WSTR("Education"),
    WSTR("ServerDatacenter"),
    WSTR("ServerDatacenterCore"),
    WSTR("ServerEnterprise"),
    WSTR("ServerEnterpriseCore"),
    WSTR("ServerStandard"),
    WSTR("ServerStandardCore"),
    WSTR("Business"),
    WSTR("Core"),
    WSTR("Embedded"),
    WSTR("EnterpriseN"),
    WSTR("EducationN"),
    WSTR("HomeBasic"),
    WSTR("HomePremium"),
    WSTR("ProfessionalN"),
    WSTR("Starter"),
    WSTR("Ultimate"),
    WSTR(""),
};

// The control's whole text, at most 65,535 characters.
WString ControlText(HWND page, int control)
{
    HWND window = GetDlgItem(page, control);
    int length = std::min(GetWindowTextLengthW(window), 65535);
    WString text(static_cast<size_t>(length) + 1, WCHAR{});
    int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(copied, 0)));
    return text;
}

void FillCombo(HWND combo, ComboEntries entries)
{
    auto add = [combo](const WCHAR* text) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    };
    WCHAR text[kTextBufferSize];
    switch (entries) {
    case ComboEntries::Compression:
        for (UINT id :
             {IDS_COMPRESSION_NONE, IDS_COMPRESSION_XPRESS, IDS_COMPRESSION_LZX, IDS_COMPRESSION_LZMS})
            add(LoadTableString(id, text));
        break;
    case ComboEntries::SplitSize:
        for (UINT id : {IDS_SPLIT_SIZE_CD, IDS_SPLIT_SIZE_FAT32})
            add(LoadTableString(id, text));
        break;
    case ComboEntries::EditionFlags:
        for (const WCHAR* flag : kEditionFlags)
            add(flag);
        break;
    }
}

// Selects the first entry whose text equals `text` exactly, if any.
void SelectComboText(HWND combo, const WString& text)
{
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
        if (length != static_cast<LRESULT>(text.size()))
            continue;
        WString entry(static_cast<size_t>(length) + 1, WCHAR{});
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry.data()));
        entry.resize(static_cast<size_t>(length));
        if (entry == text) {
            SendMessageW(combo, CB_SETCURSEL, i, 0);
            return;
        }
    }
}

// Files dropped on the page or any of its controls reach the page. The
// windows build runs elevated: the file manager's drop messages must be let
// through the filter that keeps less trusted programs out.
void AcceptDroppedFiles(HWND page)
{
    DragAcceptFiles(page, TRUE);
    for (UINT message :
         {static_cast<UINT>(WM_DROPFILES), static_cast<UINT>(WM_COPYDATA), 0x0049u /* WM_COPYGLOBALDATA */})
        ChangeWindowMessageFilterEx(page, message, MSGFLT_ALLOW, nullptr);
}

INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (const PageDescriptor* descriptor = DescriptorOf(page);
        descriptor != nullptr && descriptor->messages != nullptr && message != WM_INITDIALOG &&
        descriptor->messages(page, message, wParam, lParam))
        return TRUE;
    if (message == WM_DROPFILES) {
        auto drop = reinterpret_cast<HDROP>(wParam);
        DropPaths(page, drop);
        DragFinish(drop);
        return TRUE;
    }
    switch (message) {
    case WM_INITDIALOG: {
        // The tab position, for DescriptorOf; kept plus one so that 0 means none.
        SetWindowLongPtrW(page, DWLP_USER, static_cast<LONG_PTR>(lParam) + 1);
        // Above the tab control, at the top left of its display area. The
        // focus stays where it was (on the tab the user chose).
        const auto* pages =
            reinterpret_cast<const TabPageSet*>(GetWindowLongPtrW(GetParent(page), GWLP_USERDATA));
        if (pages != nullptr)
            SetWindowPos(page, HWND_TOP, pages->displayRect.left, pages->displayRect.top, 0, 0,
                         SWP_NOSIZE | SWP_NOACTIVATE);
        AcceptDroppedFiles(page);
        if (HWND report = GetDlgItem(page, IDC_INFO_TEXT))
            SetReportTabStops(report);
        return FALSE;
    }
    case WM_COMMAND:
        PageCommand(page, LOWORD(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

const PageDescriptor* DescriptorOf(HWND page)
{
    if (page == nullptr)
        return nullptr;
    return PageAt(static_cast<int32_t>(GetWindowLongPtrW(page, DWLP_USER)) - 1);
}

void ReadPageInputs(TaskState& task)
{
    const PageDescriptor* bindings = PageAt(task.pageIndex);
    if (bindings == nullptr)
        return;
    HWND page = task.pageWindow;
    for (const TextBinding& text : bindings->texts)
        task.*text.field = ControlText(page, text.control);
    for (const ComboBinding& combo : bindings->combos)
        task.*combo.field = ControlText(page, combo.control);
    for (const IndexBinding& index : bindings->indexes) {
        // The position is in the low word; the high word is an error flag, set
        // when the edit holds no number in the range (empty, 0, text). The
        // position then is the last valid one, which is what is meant: the
        // flag must not become part of the index (65,536 and more).
        LRESULT position = SendDlgItemMessageW(page, index.upDown, UDM_GETPOS, 0, 0);
        task.*index.field = LOWORD(position);
    }
    for (const FlagBinding& flag : bindings->flags)
        task.*flag.field = IsDlgButtonChecked(page, flag.control) == BST_CHECKED;
}

void ShowPageInputs(TaskState& task)
{
    const PageDescriptor* bindings = PageAt(task.pageIndex);
    if (bindings == nullptr)
        return;
    HWND page = task.pageWindow;
    for (const TextBinding& text : bindings->texts)
        SetDlgItemTextW(page, text.control, (task.*text.field).c_str());
    for (const ComboBinding& binding : bindings->combos) {
        HWND combo = GetDlgItem(page, binding.control);
        FillCombo(combo, binding.entries);
        SelectComboText(combo, task.*binding.field);
    }
    for (const IndexBinding& index : bindings->indexes) {
        HWND edit = GetDlgItem(page, index.edit);
        HWND upDown = GetDlgItem(page, index.upDown);
        SendMessageW(edit, EM_SETLIMITTEXT, 1, 0);
        SendMessageW(upDown, UDM_SETBUDDY, reinterpret_cast<WPARAM>(edit), 0);
        SendMessageW(upDown, UDM_SETRANGE, 0, MAKELPARAM(99, 1));
        SendMessageW(upDown, UDM_SETPOS, 0, MAKELPARAM(LOWORD(task.*index.field), 0));
    }
    for (const FlagBinding& flag : bindings->flags) {
        if (task.*flag.field)
            CheckDlgButton(page, flag.control, BST_CHECKED);
    }
    if (bindings->shown != nullptr)
        bindings->shown(page);
}

void ShowExportIndexState(HWND page)
{
    const BOOL byIndex = IsDlgButtonChecked(page, IDC_EXPORT_ALL_IMAGES) != BST_CHECKED;
    for (int control : {IDC_EXPORT_INDEX_EDIT, IDC_EXPORT_INDEX, IDC_EXPORT_SELECT})
        EnableWindow(GetDlgItem(page, control), byIndex);
}

void SwitchPage(HWND mainWindow)
{
    TaskState& task = Task();
    auto* pages = reinterpret_cast<TabPageSet*>(GetWindowLongPtrW(mainWindow, GWLP_USERDATA));
    if (pages == nullptr)
        return;
    ReadPageInputs(task);
    int index = static_cast<int>(SendMessageW(pages->tabControl, TCM_GETCURSEL, 0, 0));
    if (pages->shownPage != nullptr) {
        DestroyWindow(pages->shownPage);
        pages->shownPage = nullptr;
    }
    HWND page = nullptr;
    if (PageAt(index) != nullptr && index < kMaxPages && pages->templates[index] != nullptr)
        page = CreateDialogIndirectParamW(g_instance, pages->templates[index], mainWindow, PageProc, index);
    if (page == nullptr) {
        task.pageWindow = nullptr;
        task.pageIndex = -1;
        return;
    }
    pages->shownPage = page;
    task.pageWindow = page;
    task.pageIndex = index;
    ShowPageInputs(task);
}
