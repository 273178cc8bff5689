// The tab pages: which controls each page has, how they are copied to and
// from TaskState, and the page window itself.
#include "app/pages.h"

#include "base/language.h"
#include "base/log.h"
#include "base/resource.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <span>

const PageDescription kPages[kPageCount] = {
    {218, IDD_PAGE_CAPTURE}, {219, IDD_PAGE_APPLY},  {220, IDD_PAGE_INFO},
    {144, IDD_PAGE_MOUNT},   {226, IDD_PAGE_EXPORT}, {245, IDD_PAGE_SPLIT},
    {221, IDD_PAGE_CHANGE},  {223, IDD_PAGE_DELETE}, {222, IDD_PAGE_ABOUT},
};

namespace {

// What a combo box offers.
enum class ComboEntries { Compression, SplitSize, EditionFlags };

struct TextBinding {
    int control;
    WString TaskState::*field;
};
struct ComboBinding {
    int control;
    WString TaskState::*field;
    ComboEntries entries;
};
struct IndexBinding {
    int edit;
    int upDown;
    int32_t TaskState::*field;
};
struct FlagBinding {
    int control;
    bool TaskState::*field;
};

struct PageBindings {
    std::span<const TextBinding> texts;
    std::span<const ComboBinding> combos;
    std::span<const IndexBinding> indexes;
    std::span<const FlagBinding> flags;
};

// Capture
const TextBinding kCaptureTexts[] = {
    {IDC_CAPTURE_SOURCE, &TaskState::captureSource},
    {IDC_CAPTURE_DESTINATION, &TaskState::captureDestination},
    {IDC_CAPTURE_NAME, &TaskState::captureName},
    {IDC_CAPTURE_DESCRIPTION, &TaskState::captureDescription},
    {IDC_CAPTURE_DISPLAYNAME, &TaskState::captureDisplayName},
    {IDC_CAPTURE_DISPLAYDESCRIPTION, &TaskState::captureDisplayDescription},
    {IDC_CAPTURE_CONFIG, &TaskState::captureConfigFile},
    {IDC_CAPTURE_TEMPDIR, &TaskState::captureTempDir},
};
const ComboBinding kCaptureCombos[] = {
    {IDC_CAPTURE_COMPRESSION, &TaskState::captureCompression, ComboEntries::Compression},
    {IDC_CAPTURE_FLAGS, &TaskState::captureFlags, ComboEntries::EditionFlags},
};
const FlagBinding kCaptureFlags[] = {
    {IDC_CAPTURE_BOOT, &TaskState::captureBoot},
    {IDC_CAPTURE_VERIFY, &TaskState::captureVerify},
    {IDC_CAPTURE_CHECK, &TaskState::captureCheck},
    {IDC_CAPTURE_NORPFIX, &TaskState::captureNoRpFix},
    {IDC_CAPTURE_SHOW_SETTINGS, &TaskState::captureShowSettings},
};

// Apply
const TextBinding kApplyTexts[] = {
    {IDC_APPLY_SOURCE, &TaskState::applySource},
    {IDC_APPLY_DESTINATION, &TaskState::applyDestination},
};
const IndexBinding kApplyIndexes[] = {{IDC_APPLY_INDEX_EDIT, IDC_APPLY_INDEX, &TaskState::applyIndex}};
const FlagBinding kApplyFlags[] = {
    {IDC_APPLY_VERIFY, &TaskState::applyVerify},
    {IDC_APPLY_CHECK, &TaskState::applyCheck},
};

// Info
const TextBinding kInfoTexts[] = {
    {IDC_INFO_SOURCE, &TaskState::infoSource},
    {IDC_INFO_TEXT, &TaskState::infoText},
};

// Mount
const TextBinding kMountTexts[] = {
    {IDC_MOUNT_PATH, &TaskState::mountPath},
    {IDC_MOUNT_SOURCE, &TaskState::mountSource},
};
const IndexBinding kMountIndexes[] = {{IDC_MOUNT_INDEX_EDIT, IDC_MOUNT_INDEX, &TaskState::mountIndex}};
const FlagBinding kMountFlags[] = {
    {IDC_MOUNT_READWRITE, &TaskState::mountReadWrite},
    {IDC_MOUNT_CHECK, &TaskState::mountCheck},
    {IDC_UNMOUNT_COMMIT, &TaskState::unmountCommit},
    {IDC_UNMOUNT_CHECK, &TaskState::unmountCheck},
};

// Export
const TextBinding kExportTexts[] = {
    {IDC_EXPORT_SOURCE, &TaskState::exportSource},
    {IDC_EXPORT_DESTINATION, &TaskState::exportDestination},
};
const ComboBinding kExportCombos[] = {
    {IDC_EXPORT_COMPRESSION, &TaskState::exportCompression, ComboEntries::Compression},
};
const IndexBinding kExportIndexes[] = {{IDC_EXPORT_INDEX_EDIT, IDC_EXPORT_INDEX, &TaskState::exportIndex}};
const FlagBinding kExportFlags[] = {{IDC_EXPORT_CHECK, &TaskState::exportCheck},
                                    {IDC_EXPORT_ALL_IMAGES, &TaskState::exportAllImages}};

// Split
const TextBinding kSplitTexts[] = {
    {IDC_SPLIT_SOURCE, &TaskState::splitSource},
    {IDC_SPLIT_DESTINATION, &TaskState::splitDestination},
};
const ComboBinding kSplitCombos[] = {{IDC_SPLIT_SIZE, &TaskState::splitSize, ComboEntries::SplitSize}};
const FlagBinding kSplitFlags[] = {{IDC_SPLIT_CHECK, &TaskState::splitCheck}};

// Change
const TextBinding kChangeTexts[] = {
    {IDC_CHANGE_SOURCE, &TaskState::changeSource},
    {IDC_CHANGE_NAME, &TaskState::changeName},
    {IDC_CHANGE_DESCRIPTION, &TaskState::changeDescription},
    {IDC_CHANGE_DISPLAYNAME, &TaskState::changeDisplayName},
    {IDC_CHANGE_DISPLAYDESCRIPTION, &TaskState::changeDisplayDescription},
};
const ComboBinding kChangeCombos[] = {
    {IDC_CHANGE_FLAGS, &TaskState::changeFlags, ComboEntries::EditionFlags}};
const IndexBinding kChangeIndexes[] = {{IDC_CHANGE_INDEX_EDIT, IDC_CHANGE_INDEX, &TaskState::changeIndex}};
const FlagBinding kChangeFlags[] = {
    {IDC_CHANGE_BOOT, &TaskState::changeBoot},
    {IDC_CHANGE_CHECK, &TaskState::changeCheck},
};

// Delete
const TextBinding kDeleteTexts[] = {{IDC_DELETE_SOURCE, &TaskState::deleteSource}};
const IndexBinding kDeleteIndexes[] = {{IDC_DELETE_INDEX_EDIT, IDC_DELETE_INDEX, &TaskState::deleteIndex}};
const FlagBinding kDeleteFlags[] = {{IDC_DELETE_CHECK, &TaskState::deleteCheck}};

// By page index; About has nothing to copy.
const PageBindings kBindings[kPageCount] = {
    {kCaptureTexts, kCaptureCombos, {}, kCaptureFlags},
    {kApplyTexts, {}, kApplyIndexes, kApplyFlags},
    {kInfoTexts, {}, {}, {}},
    {kMountTexts, {}, kMountIndexes, kMountFlags},
    {kExportTexts, kExportCombos, kExportIndexes, kExportFlags},
    {kSplitTexts, kSplitCombos, {}, kSplitFlags},
    {kChangeTexts, kChangeCombos, kChangeIndexes, kChangeFlags},
    {kDeleteTexts, {}, kDeleteIndexes, kDeleteFlags},
    {},
};

const PageBindings* BindingsOf(int32_t pageIndex)
{
    if (pageIndex < 0 || pageIndex >= kPageAbout)
        return nullptr;
    return &kBindings[pageIndex];
}

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

INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_DROPFILES) {
        auto drop = reinterpret_cast<HDROP>(wParam);
        DropPaths(page, drop);
        DragFinish(drop);
        return TRUE;
    }
    switch (message) {
    case WM_INITDIALOG: {
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

void ReadPageInputs(TaskState& task)
{
    const PageBindings* bindings = BindingsOf(task.pageIndex);
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
    const PageBindings* bindings = BindingsOf(task.pageIndex);
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
    if (task.pageIndex == kPageExport)
        ShowExportIndexState(page);
    if (task.pageIndex == kPageMount) {
        CreateMountListColumns(GetDlgItem(page, IDC_MOUNT_LIST));
        RefreshMountList();
    }
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
    if (index >= 0 && index < kPageCount && pages->templates[index] != nullptr)
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
