// The tab pages of the main window, their commands, the image picker and the
// mounted-image list. Only the selected tab's page exists as a window; its
// contents live in TaskState while it does not.
#pragma once

#include <initializer_list>

#include "base/task_state.h"

// The most pages the tab control holds (the descriptor table has no more).
constexpr int kMaxPages = 16;

// One per main window, in its user data from initialisation to close.
struct TabPageSet {
    HWND tabControl;
    HWND shownPage;
    RECT displayRect;                         // main-window client coordinates
    const DLGTEMPLATE* templates[kMaxPages];  // by tab position
};

// Copies the shown page's controls into the record (nothing for -1).
void ReadPageInputs(TaskState& task);
// Fills the shown page's controls from the record (nothing for -1).
void ShowPageInputs(TaskState& task);
// Greys the Export page's index, its arrows and its picker while every
// image is chosen.
void ShowExportIndexState(HWND page);
// The descriptor of a page window made by SwitchPage, or null.
const struct PageDescriptor* DescriptorOf(HWND page);
// Replaces the shown page by the one of the selected tab.
void SwitchPage(HWND mainWindow);

// Handles a button of the shown page; `controlId` is the low word of the
// command.
void PageCommand(HWND page, UINT controlId);

// Page actions and hooks named in the page descriptors.
// Info's Read: the report on the typed file, into the page's report box.
void ReadInfoReport(HWND page);
// Mount's Refresh: reads the page, then shows the mounted list again.
void RefreshMountPage(HWND page);
// Mount's list columns and contents, each time the page is shown.
void ShowMountList(HWND page);
// Before an unmount: the selected row's mount point into the record; false
// when no row is selected.
bool TakeSelectedMount(HWND page);

// Fills a path field of `page` from files dropped on it: the page's path field under the drop point gets
// the first path; dropped anywhere else on the page, a WIM or ESD file fills
// the page's WIM field. No other control takes it. Returns whether a field was
// filled. Does not release `drop`.
bool DropPaths(HWND page, HDROP drop);

// The shell folder browser rooted at the computer's drives, owned by the main
// window. On a choice writes the folder's path into `path` (260 characters).
bool BrowseForFolder(const WCHAR* title, WCHAR* path);

// The image picker (IDD_PICKER): lists the images of pickerWimPath and, on
// its Select button, stores the chosen 1-based index in pickerIndex.
INT_PTR RunImagePicker(HWND owner);

// Rebuilds the Mount page's list view from the library's mounted
// images. Safe from the worker thread: it only sends window messages.
void RefreshMountList();

// Report-view columns with these header strings, 70 pixels wide, with full-row
// selection.
void CreateListColumns(HWND list, std::initializer_list<UINT> headers);

// Sets the text of one cell of a list view row.
void SetListCell(HWND list, int row, int column, const WCHAR* text);

// Creates the mounted list's four columns (on each creation of the page).
void CreateMountListColumns(HWND list);

// The Files page (files_page.cpp): its Open, its hooks, and before an
// extract the image paths it takes into the record (false when nothing is
// open to take from).
void OpenFilesImage(HWND page);
void ShowFilesPage(HWND page);
void FilesInputChosen(HWND page, int control);
bool FilesPageMessage(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
bool TakeFilesSelection(HWND page);
// The image folder shown in the Files page's list, for tests; empty when none.
WString FilesListFolder();

// LVSCW_AUTOSIZE_USEHEADER, widened when the header text would still not fit
// between the header's own margins.
void SizeColumnToHeader(HWND list, int column);
