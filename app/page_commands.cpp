// What the page buttons do: fill a path from a file or folder dialog, pick an
// image, start an operation, or read information and the mounted list at once.
#include "app/pages.h"

#include "app/descriptors.h"
#include "base/log.h"
#include "base/resource.h"
#include "operations/operations.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

namespace {

void SetPathField(HWND page, const PageDescriptor& descriptor, int edit, const WCHAR* path)
{
    SetDlgItemTextW(page, edit, path);
    if (descriptor.staleOnNewPath != 0)
        SetDlgItemTextW(page, descriptor.staleOnNewPath, WSTR(""));  // it told of another file
    if (descriptor.inputChosen != nullptr)
        descriptor.inputChosen(page, edit);
}

bool IsWimPath(const WCHAR* path)
{
    const WCHAR* dot = nullptr;
    for (const WCHAR* c = path; *c != 0; ++c) {
        if (*c == WSTR('.'))
            dot = c;
    }
    if (dot == nullptr)
        return false;
    for (const WCHAR* extension : {WSTR(".wim"), WSTR(".swm"), WSTR(".esd")}) {
        if (lstrcmpiW(dot, extension) == 0)
            return true;
    }
    return false;
}

// The path field of `page` whose rectangle holds `point` (page client
// coordinates), or 0. Only the page's own path fields count: another page's
// field id may be a check box or a label here.
int PathFieldAt(HWND page, const PageDescriptor& descriptor, POINT point)
{
    for (const BrowseButton& browse : descriptor.browseButtons) {
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
    // The page's description / pattern pair, then every file for an open
    // dialog; double-NUL terminated.
    WString filter = browse.filterName;
    filter.push_back(0);
    filter += browse.filterPattern;
    filter.push_back(0);
    if (browse.kind == BrowseKind::OpenFile) {
        filter += WSTR("All Files (*.*)");
        filter.push_back(0);
        filter += WSTR("*.*");
        filter.push_back(0);
    }
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

void Browse(HWND page, const PageDescriptor& descriptor, const BrowseButton& browse)
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
    SetPathField(page, descriptor, browse.edit, path);
}

void SelectImage(HWND page, const PageDescriptor& descriptor, const SelectButton& select)
{
    TaskState& task = Task();
    WCHAR path[kTextBufferSize] = {};
    GetDlgItemTextW(page, select.wimEdit, path, kTextBufferSize);
    task.pickerWimPath = path;
    task.pickerIndex = static_cast<int32_t>(SendDlgItemMessageW(page, select.upDown, UDM_GETPOS, 0, 0));
    const INT_PTR chosen = RunImagePicker(task.mainWindow);
    SendDlgItemMessageW(page, select.upDown, UDM_SETPOS, 0, MAKELPARAM(LOWORD(task.pickerIndex), 0));
    if (chosen == 1 && descriptor.inputChosen != nullptr)
        descriptor.inputChosen(page, select.upDown);
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
    const PageDescriptor* descriptor = DescriptorOf(page);
    if (descriptor == nullptr)
        return false;
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 0)
        return false;
    WCHAR path[kTextBufferSize] = {};
    UINT length = DragQueryFileW(drop, 0, path, kTextBufferSize);
    if (length == 0 || length >= kTextBufferSize)
        return false;  // a path that does not fit is not shortened into another
    POINT point = {};
    DragQueryPoint(drop, &point);
    int field = PathFieldAt(page, *descriptor, point);
    if (field == 0 && IsWimPath(path))
        field = descriptor->wimField;
    if (field == 0)
        return false;
    SetPathField(page, *descriptor, field, path);
    return true;
}

bool TakeSelectedMount(HWND page)
{
    HWND list = GetDlgItem(page, IDC_MOUNT_LIST);
    int row = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (row < 0)
        return false;
    WCHAR mountPoint[kTextBufferSize] = {};
    LVITEMW item = {};
    item.iSubItem = 1;
    item.pszText = mountPoint;
    item.cchTextMax = kTextBufferSize;
    SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    Task().mountPath = mountPoint;
    return true;
}

void ReadInfoReport(HWND)
{
    TaskState& task = Task();
    ReadPageInputs(task);
    BuildInfoReport(task);
}

void RefreshMountPage(HWND)
{
    ReadPageInputs(Task());
    RefreshMountList();
}

void ShowMountList(HWND page)
{
    CreateMountListColumns(GetDlgItem(page, IDC_MOUNT_LIST));
    RefreshMountList();
}

void PageCommand(HWND page, UINT controlId)
{
    const PageDescriptor* descriptor = DescriptorOf(page);
    if (descriptor == nullptr)
        return;
    const int id = static_cast<int>(controlId);
    for (const BrowseButton& browse : descriptor->browseButtons) {
        if (browse.button == id) {
            Browse(page, *descriptor, browse);
            return;
        }
    }
    for (const SelectButton& select : descriptor->selectButtons) {
        if (select.button == id) {
            SelectImage(page, *descriptor, select);
            return;
        }
    }
    for (const PageAction& action : descriptor->actions) {
        if (action.button == id) {
            action.act(page);
            return;
        }
    }
    const OperationEntry* operation = FindOperation(controlId);
    if (operation == nullptr || operation->pageTemplate != descriptor->templateId)
        return;
    TaskState& task = Task();
    ReadPageInputs(task);
    if (operation->prepare == nullptr || operation->prepare(page))
        RunProgressWindow(task.mainWindow, operation);
    if (operation->reload != nullptr)
        operation->reload();
}
