// The descriptor tables: one row per page and one per operation. The tab
// control, the page copy routines, the page commands and the progress window
// read them; nothing else lists pages or operations (docs/adding-an-operation.md).
#pragma once

#include "base/task_state.h"
#include "progress/progress_window.h"

#include <span>

// What a combo box offers.
enum class ComboEntries { Compression, SplitSize, EditionFlags };

// Bindings between a page's controls and the record.
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

enum class BrowseKind { Folder, OpenFile, SaveFile };

// A Browse button and the path edit it fills; the edit is also where a path
// dropped over it lands.
struct BrowseButton {
    int button;
    int edit;
    BrowseKind kind;
    UINT title;
    const WCHAR* filterName;
    const WCHAR* filterPattern;
    const WCHAR* defaultExtension;
};

// A Select button: the picker lists the images of `wimEdit` and sets `upDown`.
struct SelectButton {
    int button;
    int wimEdit;
    int upDown;
};

// A page button that acts at once on the page's own thread.
struct PageAction {
    int button;
    void (*act)(HWND page);
};

struct PageDescriptor {
    UINT templateId = 0;
    UINT labelString = 0;  // the tab's label
    std::span<const TextBinding> texts = {};
    std::span<const ComboBinding> combos = {};
    std::span<const IndexBinding> indexes = {};
    std::span<const FlagBinding> flags = {};
    std::span<const BrowseButton> browseButtons = {};
    std::span<const SelectButton> selectButtons = {};
    std::span<const PageAction> actions = {};
    int wimField = 0;                    // where a WIM file dropped elsewhere on the page goes; 0: nowhere
    int staleOnNewPath = 0;              // emptied when a path field gets a new path; 0: none
    void (*shown)(HWND page) = nullptr;  // after the page's controls are filled
    // After Browse, a drop or Select set the path edit or up-down `control`.
    void (*inputChosen)(HWND page, int control) = nullptr;
    // Sees the page's messages before the common handling; true when it has
    // handled one (WM_INITDIALOG never comes here).
    bool (*messages)(HWND page, UINT message, WPARAM wParam, LPARAM lParam) = nullptr;
};

// The pages in tab order.
std::span<const PageDescriptor> PageDescriptors();
// The tab position of the page made from `templateId`, or -1.
int PageIndexOf(UINT templateId);
// The descriptor at tab position `index`, or null.
const PageDescriptor* PageAt(int32_t index);

// The operations, each started by its page button.
std::span<const OperationEntry> OperationDescriptors();
// The entry for `commandId`, or null when no operation belongs to it.
const OperationEntry* FindOperation(UINT commandId);

// Opens the progress window over `owner` for the operation of page button
// `commandId` (an idle window when there is none); returns when the user
// closes the window.
INT_PTR RunProgressWindow(HWND owner, UINT commandId);
