// The descriptor tables. A new operation adds its row to kOperations and, on a
// new page, the page's bindings and row to kPages (docs/adding-an-operation.md).
#include "app/descriptors.h"

#include "app/pages.h"
#include "base/resource.h"
#include "operations/operations.h"

namespace {

const WCHAR kWimName[] = WSTR("WIM Files (*.wim)");
const WCHAR kWimPattern[] = WSTR("*.wim");
const WCHAR kWimSwmName[] = WSTR("WIM Files (*.wim; *.swm)");
const WCHAR kWimSwmPattern[] = WSTR("*.wim;*.swm");
const WCHAR kWim[] = WSTR("wim");

// ---------------------------------------------------------------------------
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
const BrowseButton kCaptureBrowse[] = {
    {IDC_CAPTURE_BROWSE_SOURCE, IDC_CAPTURE_SOURCE, BrowseKind::Folder, IDS_CHOOSE_FOLDER, nullptr, nullptr,
     nullptr},
    {IDC_CAPTURE_BROWSE_DESTINATION, IDC_CAPTURE_DESTINATION, BrowseKind::SaveFile, IDS_SAVE_AS, kWimName,
     kWimPattern, kWim},
    {IDC_CAPTURE_BROWSE_TEMPDIR, IDC_CAPTURE_TEMPDIR, BrowseKind::Folder, IDS_CHOOSE_FOLDER, nullptr, nullptr,
     nullptr},
    {IDC_CAPTURE_BROWSE_CONFIG, IDC_CAPTURE_CONFIG, BrowseKind::OpenFile, IDS_OPEN, WSTR("INI Files (*.ini)"),
     WSTR("*.ini"), WSTR("ini")},
};

// ---------------------------------------------------------------------------
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
const BrowseButton kApplyBrowse[] = {
    {IDC_APPLY_BROWSE_SOURCE, IDC_APPLY_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimSwmName, kWimSwmPattern,
     kWim},
    {IDC_APPLY_BROWSE_DESTINATION, IDC_APPLY_DESTINATION, BrowseKind::Folder, IDS_CHOOSE_FOLDER, nullptr,
     nullptr, nullptr},
};
const SelectButton kApplySelect[] = {{IDC_APPLY_SELECT, IDC_APPLY_SOURCE, IDC_APPLY_INDEX}};

// ---------------------------------------------------------------------------
// Info

const TextBinding kInfoTexts[] = {
    {IDC_INFO_SOURCE, &TaskState::infoSource},
    {IDC_INFO_TEXT, &TaskState::infoText},
};
const BrowseButton kInfoBrowse[] = {
    {IDC_INFO_BROWSE_SOURCE, IDC_INFO_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimSwmName, kWimSwmPattern,
     kWim},
};
const PageAction kInfoActions[] = {{IDC_INFO_READ, ReadInfoReport}};

// ---------------------------------------------------------------------------
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
const BrowseButton kMountBrowse[] = {
    {IDC_MOUNT_BROWSE_SOURCE, IDC_MOUNT_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimName, kWimPattern, kWim},
    {IDC_MOUNT_BROWSE_PATH, IDC_MOUNT_PATH, BrowseKind::Folder, IDS_CHOOSE_FOLDER, nullptr, nullptr, nullptr},
};
const SelectButton kMountSelect[] = {{IDC_MOUNT_SELECT, IDC_MOUNT_SOURCE, IDC_MOUNT_INDEX}};
const PageAction kMountActions[] = {{IDC_MOUNT_REFRESH, RefreshMountPage}};

// ---------------------------------------------------------------------------
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
const BrowseButton kExportBrowse[] = {
    {IDC_EXPORT_BROWSE_SOURCE, IDC_EXPORT_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimSwmName, kWimSwmPattern,
     kWim},
    {IDC_EXPORT_BROWSE_DESTINATION, IDC_EXPORT_DESTINATION, BrowseKind::SaveFile, IDS_SAVE_AS, kWimName,
     kWimPattern, kWim},
};
const SelectButton kExportSelect[] = {{IDC_EXPORT_SELECT, IDC_EXPORT_SOURCE, IDC_EXPORT_INDEX}};
const PageAction kExportActions[] = {{IDC_EXPORT_ALL_IMAGES, ShowExportIndexState}};

// ---------------------------------------------------------------------------
// Split

const TextBinding kSplitTexts[] = {
    {IDC_SPLIT_SOURCE, &TaskState::splitSource},
    {IDC_SPLIT_DESTINATION, &TaskState::splitDestination},
};
const ComboBinding kSplitCombos[] = {{IDC_SPLIT_SIZE, &TaskState::splitSize, ComboEntries::SplitSize}};
const FlagBinding kSplitFlags[] = {{IDC_SPLIT_CHECK, &TaskState::splitCheck}};
const BrowseButton kSplitBrowse[] = {
    {IDC_SPLIT_BROWSE_SOURCE, IDC_SPLIT_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimName, kWimPattern, kWim},
    {IDC_SPLIT_BROWSE_DESTINATION, IDC_SPLIT_DESTINATION, BrowseKind::SaveFile, IDS_SAVE_AS,
     WSTR("SWM Files (*.swm)"), WSTR("*.swm"), WSTR("swm")},
};

// ---------------------------------------------------------------------------
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
const BrowseButton kChangeBrowse[] = {
    {IDC_CHANGE_BROWSE_SOURCE, IDC_CHANGE_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimName, kWimPattern,
     kWim},
};
const SelectButton kChangeSelect[] = {{IDC_CHANGE_SELECT, IDC_CHANGE_SOURCE, IDC_CHANGE_INDEX}};

// ---------------------------------------------------------------------------
// Delete

const TextBinding kDeleteTexts[] = {{IDC_DELETE_SOURCE, &TaskState::deleteSource}};
const IndexBinding kDeleteIndexes[] = {{IDC_DELETE_INDEX_EDIT, IDC_DELETE_INDEX, &TaskState::deleteIndex}};
const FlagBinding kDeleteFlags[] = {{IDC_DELETE_CHECK, &TaskState::deleteCheck}};
const BrowseButton kDeleteBrowse[] = {
    {IDC_DELETE_BROWSE_SOURCE, IDC_DELETE_SOURCE, BrowseKind::OpenFile, IDS_OPEN, kWimName, kWimPattern,
     kWim},
};
const SelectButton kDeleteSelect[] = {{IDC_DELETE_SELECT, IDC_DELETE_SOURCE, IDC_DELETE_INDEX}};

// ---------------------------------------------------------------------------
// The pages in tab order. About holds nothing to copy or act on.

const PageDescriptor kPages[] = {
    {.templateId = IDD_PAGE_CAPTURE,
     .labelString = IDS_TAB_CAPTURE,
     .texts = kCaptureTexts,
     .combos = kCaptureCombos,
     .flags = kCaptureFlags,
     .browseButtons = kCaptureBrowse,
     .wimField = IDC_CAPTURE_DESTINATION},
    {.templateId = IDD_PAGE_APPLY,
     .labelString = IDS_TAB_APPLY,
     .texts = kApplyTexts,
     .indexes = kApplyIndexes,
     .flags = kApplyFlags,
     .browseButtons = kApplyBrowse,
     .selectButtons = kApplySelect,
     .wimField = IDC_APPLY_SOURCE},
    {.templateId = IDD_PAGE_INFO,
     .labelString = IDS_TAB_INFO,
     .texts = kInfoTexts,
     .browseButtons = kInfoBrowse,
     .actions = kInfoActions,
     .wimField = IDC_INFO_SOURCE,
     .staleOnNewPath = IDC_INFO_TEXT},
    {.templateId = IDD_PAGE_MOUNT,
     .labelString = IDS_TAB_MOUNT,
     .texts = kMountTexts,
     .indexes = kMountIndexes,
     .flags = kMountFlags,
     .browseButtons = kMountBrowse,
     .selectButtons = kMountSelect,
     .actions = kMountActions,
     .wimField = IDC_MOUNT_SOURCE,
     .shown = ShowMountList},
    {.templateId = IDD_PAGE_EXPORT,
     .labelString = IDS_TAB_EXPORT,
     .texts = kExportTexts,
     .combos = kExportCombos,
     .indexes = kExportIndexes,
     .flags = kExportFlags,
     .browseButtons = kExportBrowse,
     .selectButtons = kExportSelect,
     .actions = kExportActions,
     .wimField = IDC_EXPORT_SOURCE,
     .shown = ShowExportIndexState},
    {.templateId = IDD_PAGE_SPLIT,
     .labelString = IDS_TAB_SPLIT,
     .texts = kSplitTexts,
     .combos = kSplitCombos,
     .flags = kSplitFlags,
     .browseButtons = kSplitBrowse,
     .wimField = IDC_SPLIT_SOURCE},
    {.templateId = IDD_PAGE_CHANGE,
     .labelString = IDS_TAB_CHANGE,
     .texts = kChangeTexts,
     .combos = kChangeCombos,
     .indexes = kChangeIndexes,
     .flags = kChangeFlags,
     .browseButtons = kChangeBrowse,
     .selectButtons = kChangeSelect,
     .wimField = IDC_CHANGE_SOURCE},
    {.templateId = IDD_PAGE_DELETE,
     .labelString = IDS_TAB_DELETE,
     .texts = kDeleteTexts,
     .indexes = kDeleteIndexes,
     .flags = kDeleteFlags,
     .browseButtons = kDeleteBrowse,
     .selectButtons = kDeleteSelect,
     .wimField = IDC_DELETE_SOURCE},
    {.templateId = IDD_PAGE_ABOUT, .labelString = IDS_TAB_ABOUT},
};

// ---------------------------------------------------------------------------
// Operations: one row per page button that runs in the progress window.

bool RunCaptureNew(TaskState& task)
{
    return RunCapture(task, false);
}
bool RunCaptureAppend(TaskState& task)
{
    return RunCapture(task, true);
}

const OperationEntry kOperations[] = {
    {.commandId = IDC_CAPTURE_NEW,
     .run = RunCaptureNew,
     .englishButtonTexts = false,
     .abortable = true,
     .clearsCounter = false,
     .pageTemplate = IDD_PAGE_CAPTURE},
    {.commandId = IDC_CAPTURE_APPEND,
     .run = RunCaptureAppend,
     .englishButtonTexts = false,
     .abortable = true,
     .clearsCounter = false,
     .pageTemplate = IDD_PAGE_CAPTURE},
    {.commandId = IDC_APPLY_RUN,
     .run = RunApply,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_APPLY},
    {.commandId = IDC_CHANGE_RUN,
     .run = RunChange,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_CHANGE},
    {.commandId = IDC_MOUNT_RUN,
     .run = RunMount,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_MOUNT,
     .reload = RefreshMountList},
    {.commandId = IDC_UNMOUNT_RUN,
     .run = RunUnmount,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_MOUNT,
     .prepare = TakeSelectedMount,
     .reload = RefreshMountList},
    {.commandId = IDC_DELETE_RUN,
     .run = RunDelete,
     .englishButtonTexts = false,
     .abortable = false,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_DELETE},
    {.commandId = IDC_EXPORT_RUN,
     .run = RunExport,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_EXPORT},
    {.commandId = IDC_SPLIT_RUN,
     .run = RunSplit,
     .englishButtonTexts = true,
     .abortable = true,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_SPLIT},
    {.commandId = IDC_INFO_VERIFY,
     .run = RunVerify,
     .englishButtonTexts = false,
     .abortable = true,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_INFO},
    {.commandId = IDC_INFO_OPTIMIZE,
     .run = RunOptimize,
     .englishButtonTexts = false,
     .abortable = true,
     .clearsCounter = true,
     .pageTemplate = IDD_PAGE_INFO},
};

static_assert(std::size(kPages) <= kMaxPages, "the tab control holds kMaxPages pages");

}  // namespace

std::span<const PageDescriptor> PageDescriptors()
{
    return kPages;
}

int PageIndexOf(UINT templateId)
{
    for (size_t i = 0; i < std::size(kPages); ++i) {
        if (kPages[i].templateId == templateId)
            return static_cast<int>(i);
    }
    return -1;
}

const PageDescriptor* PageAt(int32_t index)
{
    if (index < 0 || static_cast<size_t>(index) >= std::size(kPages))
        return nullptr;
    return &kPages[index];
}

std::span<const OperationEntry> OperationDescriptors()
{
    return kOperations;
}

const OperationEntry* FindOperation(UINT commandId)
{
    for (const OperationEntry& entry : kOperations) {
        if (entry.commandId == commandId)
            return entry.run != nullptr ? &entry : nullptr;
    }
    return nullptr;
}

INT_PTR RunProgressWindow(HWND owner, UINT commandId)
{
    return RunProgressWindow(owner, FindOperation(commandId));
}
