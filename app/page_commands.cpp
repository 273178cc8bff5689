// What the page buttons do: fill a path from a file or folder dialog, pick an
// image, start an operation, or read information and the mounted list at once.
#include "app/pages.h"

#include "app/operation_table.h"
#include "base/log.h"
#include "base/resource.h"
#include "operations/operations.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

namespace {

enum class BrowseKind { Folder, OpenFile, SaveFile };

struct BrowseButton {
    int button;
    int edit;
    BrowseKind kind;
    UINT title;
    const WCHAR* filterName;
    const WCHAR* filterPattern;
    const WCHAR* defaultExtension;
};

const WCHAR kWimName[] = WSTR("WIM Files (*.wim)");
const WCHAR kWimPattern[] = WSTR("*.wim");
const WCHAR kWimSwmName[] = WSTR("WIM Files (*.wim; *.swm)");
const WCHAR kWimSwmPattern[] = WSTR("*.wim;*.swm");
const WCHAR kWim[] = WSTR("wim");

const BrowseButton kBrowseButtons[] = {
    {IDC_CAPTURE_BROWSE_SOURCE, IDC_CAPTURE_SOURCE, BrowseKind::Folder, IDS_CHOOSE_FOLDER, nullptr, nullptr,
     nullptr},
    {IDC_CAPTURE_BROWSE_DESTINATION, IDC_CAPTURE_DESTINATION, BrowseKind::SaveFile, IDS_SAVE_AS, kWimName,
     kWimPattern, kWim},
    {IDC_CAPTURE_BROWSE_TEMPDIR, IDC_CAPTURE_TEMPDIR, BrowseKind::Folder, IDS_CHOOSE_FOLDER, nullptr, nullptr,
     nullptr},
    {IDC_CAPTURE_BROWSE_CONFIG, IDC_CAPTURE_CONFIG, BrowseKind::OpenFile, IDS_OPEN, WSTR("INI Files (*.ini)"),
     WSTR("*.ini"), WSTR("ini")},
    {IDC_APPLY_BROWSE_SOURCE, IDC_APPLY_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimSwmName, kWimSwmPattern,
     kWim},
    {IDC_APPLY_BROWSE_DESTINATION, IDC_APPLY_DESTINATION, BrowseKind::Folder, IDS_CHOOSE_FOLDER, nullptr,
     nullptr, nullptr},
    {IDC_INFO_BROWSE_SOURCE, IDC_INFO_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimSwmName, kWimSwmPattern,
     kWim},
    {IDC_CHANGE_BROWSE_SOURCE, IDC_CHANGE_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimName, kWimPattern,
     kWim},
    {IDC_MOUNT_BROWSE_SOURCE, IDC_MOUNT_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimName, kWimPattern, kWim},
    {IDC_MOUNT_BROWSE_PATH, IDC_MOUNT_PATH, BrowseKind::Folder, IDS_CHOOSE_FOLDER, nullptr, nullptr, nullptr},
    {IDC_DELETE_BROWSE_SOURCE, IDC_DELETE_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimName, kWimPattern,
     kWim},
    {IDC_EXPORT_BROWSE_SOURCE, IDC_EXPORT_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimSwmName, kWimSwmPattern,
     kWim},
    {IDC_EXPORT_BROWSE_DESTINATION, IDC_EXPORT_DESTINATION, BrowseKind::SaveFile, IDS_SAVE_AS, kWimName,
     kWimPattern, kWim},
    {IDC_SPLIT_BROWSE_SOURCE, IDC_SPLIT_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimName, kWimPattern, kWim},
    {IDC_SPLIT_BROWSE_DESTINATION, IDC_SPLIT_DESTINATION, BrowseKind::SaveFile, IDS_SAVE_AS,
     WSTR("SWM Files (*.swm)"), WSTR("*.swm"), WSTR("swm")},
};

struct SelectButton {
    int button;
    int wimEdit;
    int upDown;
};

const SelectButton kSelectButtons[] = {
    {IDC_APPLY_SELECT, IDC_APPLY_SOURCE, IDC_APPLY_INDEX},
    {IDC_CHANGE_SELECT, IDC_CHANGE_SOURCE, IDC_CHANGE_INDEX},
    {IDC_MOUNT_SELECT, IDC_MOUNT_SOURCE, IDC_MOUNT_INDEX},
    {IDC_DELETE_SELECT, IDC_DELETE_SOURCE, IDC_DELETE_INDEX},
    {IDC_EXPORT_SELECT, IDC_EXPORT_SOURCE, IDC_EXPORT_INDEX},
};

// Buttons that copy the page and start their operation in the progress window.
const int kOperationButtons[] = {
    IDC_CAPTURE_NEW, IDC_CAPTURE_APPEND, IDC_APPLY_RUN,  IDC_CHANGE_RUN,
    IDC_MOUNT_RUN,   IDC_DELETE_RUN,     IDC_EXPORT_RUN, IDC_SPLIT_RUN,
};

// Each page's WIM field: the file a WIM dropped anywhere on the page is for.
const int kWimFields[] = {
    IDC_CAPTURE_DESTINATION, IDC_APPLY_SOURCE, IDC_INFO_SOURCE,   IDC_MOUNT_SOURCE,
    IDC_EXPORT_SOURCE,       IDC_SPLIT_SOURCE, IDC_CHANGE_SOURCE, IDC_DELETE_SOURCE,
};

void SetPathField(HWND page, int edit, const WCHAR* path)
{
    SetDlgItemTextW(page, edit, path);
    if (edit == IDC_INFO_SOURCE)
        SetDlgItemTextW(page, IDC_INFO_TEXT, WSTR(""));  // the old report is of another file
}

bool IsWimPath(const WCHAR* path)
{
    const WCHAR* dot = nullptr;
    for (const WCHAR* c = path; *c != 0; ++c) {
        if (*c == WSTR('.'))
            dot = c;
    }
    return dot != nullptr && (lstrcmpiW(dot, WSTR(".wim")) == 0 || lstrcmpiW(dot, WSTR(".swm")) == 0);
}

// The path field of `page` whose rectangle holds `point` (page client
// coordinates), or 0.
int PathFieldAt(HWND page, POINT point)
{
    for (const BrowseButton& browse : kBrowseButtons) {
        HWND field = GetDlgItem(page, browse.edit);
        if (field == nullptr || !IsWindowVisible(field))
            continue;
        RECT area;
        GetWindowRect(field, &area);
        MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&area), 2);
        if (PtInRect(&area, point))
            return browse.edit;
    }
    return 0;
}

// The open or save dialog; `path` (260 characters) holds the starting name
// and receives the chosen one.
bool BrowseForFile(const BrowseButton& browse, WCHAR* path)
{
    // One description / pattern pair, double-NUL terminated.
    WString filter = browse.filterName;
    filter.push_back(0);
    filter += browse.filterPattern;
    filter.push_back(0);
    filter.push_back(0);

    WCHAR title[kTextBufferSize];
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = Task().mainWindow;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path;
    dialog.nMaxFile = kTextBufferSize;
    dialog.lpstrTitle = LoadTableString(browse.title, title);
    dialog.lpstrDefExt = browse.defaultExtension;
    if (browse.kind == BrowseKind::SaveFile) {
        dialog.Flags = OFN_HIDEREADONLY;
        return GetSaveFileNameW(&dialog) != FALSE;
    }
    dialog.Flags = OFN_FILEMUSTEXIST;
    return GetOpenFileNameW(&dialog) != FALSE;
}

void Browse(HWND page, const BrowseButton& browse)
{
    WCHAR path[kTextBufferSize] = {};
    GetDlgItemTextW(page, browse.edit, path, kTextBufferSize);
    bool chosen = false;
    if (browse.kind == BrowseKind::Folder) {
        WCHAR title[kTextBufferSize];
        chosen = BrowseForFolder(LoadTableString(browse.title, title), path);
    } else {
        chosen = BrowseForFile(browse, path);
    }
    if (!chosen)
        return;
    SetPathField(page, browse.edit, path);
}

void SelectImage(HWND page, const SelectButton& select)
{
    TaskState& task = Task();
    WCHAR path[kTextBufferSize] = {};
    GetDlgItemTextW(page, select.wimEdit, path, kTextBufferSize);
    task.pickerWimPath = path;
    task.pickerIndex = static_cast<int32_t>(SendDlgItemMessageW(page, select.upDown, UDM_GETPOS, 0, 0));
    RunImagePicker(task.mainWindow);
    SendDlgItemMessageW(page, select.upDown, UDM_SETPOS, 0, MAKELPARAM(LOWORD(task.pickerIndex), 0));
}

// Unmounts the image of the selected list row, then shows the list again.
void Unmount(HWND page)
{
    TaskState& task = Task();
    ReadPageInputs(task);
    HWND list = GetDlgItem(page, IDC_MOUNT_LIST);
    int row = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (row >= 0) {
        WCHAR mountPoint[kTextBufferSize] = {};
        LVITEMW item = {};
        item.iSubItem = 1;
        item.pszText = mountPoint;
        item.cchTextMax = kTextBufferSize;
        SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
        task.mountPath = mountPoint;
        RunProgressWindow(task.mainWindow, IDC_UNMOUNT_RUN);
    }
    RefreshMountList();
}

}  // namespace

bool BrowseForFolder(const WCHAR* title, WCHAR* path)
{
    HRESULT com = CoInitialize(nullptr);
    bool chosen = false;
    LPITEMIDLIST root = nullptr;
    if (SUCCEEDED(SHGetSpecialFolderLocation(Task().mainWindow, CSIDL_DRIVES, &root))) {
        WCHAR displayName[MAX_PATH] = {};
        BROWSEINFOW browse = {};
        browse.hwndOwner = Task().mainWindow;
        browse.pidlRoot = root;
        browse.pszDisplayName = displayName;
        browse.lpszTitle = title;
        browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX;
        LPITEMIDLIST folder = SHBrowseForFolderW(&browse);
        if (folder != nullptr) {
            WCHAR chosenPath[MAX_PATH] = {};
            if (SHGetPathFromIDListW(folder, chosenPath)) {
                CopyToBuffer(path, kTextBufferSize, chosenPath);
                chosen = true;
            }
            CoTaskMemFree(folder);
        }
        CoTaskMemFree(root);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return chosen;
}

bool DropPaths(HWND page, HDROP drop)
{
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 0)
        return false;
    WCHAR path[kTextBufferSize] = {};
    UINT length = DragQueryFileW(drop, 0, path, kTextBufferSize);
    if (length == 0 || length >= kTextBufferSize)
        return false;  // a path that does not fit is not shortened into another
    POINT point = {};
    DragQueryPoint(drop, &point);
    int field = PathFieldAt(page, point);
    if (field == 0 && IsWimPath(path)) {
        for (int wimField : kWimFields) {
            if (GetDlgItem(page, wimField) != nullptr) {
                field = wimField;
                break;
            }
        }
    }
    if (field == 0)
        return false;
    SetPathField(page, field, path);
    return true;
}

void PageCommand(HWND page, UINT controlId)
{
    TaskState& task = Task();
    const int id = static_cast<int>(controlId);
    for (const BrowseButton& browse : kBrowseButtons) {
        if (browse.button == id) {
            Browse(page, browse);
            return;
        }
    }
    for (const SelectButton& select : kSelectButtons) {
        if (select.button == id) {
            SelectImage(page, select);
            return;
        }
    }
    for (int operation : kOperationButtons) {
        if (operation == id) {
            ReadPageInputs(task);
            RunProgressWindow(task.mainWindow, controlId);
            if (id == IDC_MOUNT_RUN)
                RefreshMountList();
            return;
        }
    }
    switch (id) {
    case IDC_UNMOUNT_RUN:
        Unmount(page);
        break;
    case IDC_INFO_READ:
        ReadPageInputs(task);
        BuildInfoReport(task);
        break;
    case IDC_MOUNT_REFRESH:
        ReadPageInputs(task);
        RefreshMountList();
        break;
    case IDC_EXPORT_ALL_IMAGES:
        ShowExportIndexState(page);
        break;
    default:
        break;
    }
}
