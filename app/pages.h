// The tab pages of the main window, their commands, the image picker and the
// mounted-image list. Only the selected tab's page exists as a window; its
// contents live in TaskState while it does not.
#pragma once

#include <initializer_list>

#include "base/task_state.h"

constexpr int kPageCount = 9;

// Page indexes: the tab position, TaskState::pageIndex and the switch value
// of the copy routines.
enum PageIndex : int32_t {
    kPageCapture = 0,
    kPageApply = 1,
    kPageInfo = 2,
    kPageMount = 3,
    kPageExport = 4,
    kPageSplit = 5,
    kPageChange = 6,
    kPageDelete = 7,
    kPageAbout = 8,
};

struct PageDescription {
    UINT labelString;  // string-table entry of the tab label
    UINT templateId;   // dialog template of the page
};
extern const PageDescription kPages[kPageCount];

// One per main window, in its user data from initialisation to close.
struct TabPageSet {
    HWND tabControl;
    HWND shownPage;
    RECT displayRect;  // main-window client coordinates
    const DLGTEMPLATE* templates[kPageCount];
};

// Copies the shown page's controls into the record (nothing for -1 and About).
void ReadPageInputs(TaskState& task);
// Fills the shown page's controls from the record (nothing for -1 and About).
void ShowPageInputs(TaskState& task);
// Greys the Export page's index, its arrows and its picker while every
// image is chosen.
void ShowExportIndexState(HWND page);
// Replaces the shown page by the one of the selected tab.
void SwitchPage(HWND mainWindow);

// Handles a page button; `controlId` is the low word of the command.
void PageCommand(HWND page, UINT controlId);

// Fills a path field of `page` from files dropped on it: the path field under
// the drop point gets the first path; dropped elsewhere, a WIM file fills the
// page's WIM field. Returns whether a field was filled. Does not release
// `drop`.
bool DropPaths(HWND page, HDROP drop);

// The shell folder browser rooted at the computer's drives, owned by the main
// window. On a choice writes the folder's path into `path` (260 characters).
bool BrowseForFolder(const WCHAR* title, WCHAR* path);

// The image picker (template 139): lists the images of pickerWimPath and, on
// its Select button, stores the chosen 1-based index in pickerIndex.
INT_PTR RunImagePicker(HWND owner);

// Rebuilds list view 1066 of the Mount page from the library's mounted
// images. Safe from the worker thread: it only sends window messages.
void RefreshMountList();

// Report-view columns with these header strings, 70 pixels wide, with full-row
// selection.
void CreateListColumns(HWND list, std::initializer_list<UINT> headers);

// Sets the text of one cell of a list view row.
void SetListCell(HWND list, int row, int column, const WCHAR* text);

// Creates the mounted list's four columns (on each creation of the page).
void CreateMountListColumns(HWND list);

// LVSCW_AUTOSIZE_USEHEADER, widened when the header text would still not fit
// between the header's own margins.
void SizeColumnToHeader(HWND list, int column);
