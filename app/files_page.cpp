// The Files page: an image's folders in a tree, the selected folder's
// entries in a virtual list, and the choice of what Extract takes.
//
// Reading happens on imaging threads. A choice of source and image is a
// session: one open image whose metadata the library reads once; each folder
// read of it is a thread that leaves its result in a mailbox and tells the
// page. A new choice starts a new session; results of an older one are
// dropped when they come, so the window never waits for them.
#include "app/descriptors.h"
#include "app/pages.h"

#include "base/log.h"
#include "base/resource.h"
#include "imaging/imaging_thread.h"
#include "operations/image_source.h"

#include <commctrl.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace {

// Posted to the page when a folder read has left its result.
constexpr UINT WM_FILES_READ = WM_APP + 30;

struct Session {
    WString source;
    int32_t index = 0;
    uint64_t choice = 0;
    std::mutex lock;  // one read at a time on the handles
    bool tried = false;
    SourceStep step = SourceStep::Ready;
    WString failure;
    SourceImage image;
};

struct FolderRead {
    uint64_t choice = 0;
    WString folder;
    bool read = false;
    WString failure;
    std::vector<ImageEntry> entries;
};

struct Browser {
    std::shared_ptr<Session> session;  // the UI thread's; reads hold their own references
    uint64_t choice = 0;
    HWND page = nullptr;  // the page being shown, once its controls are filled
    // View state of the shown page.
    std::vector<WString> folders;  // tree items' lParam: index here
    std::map<WString, HTREEITEM> nodes;
    std::map<WString, bool> filled;  // folders whose children are in the tree
    WString listFolder;
    std::vector<ImageEntry> listEntries;
    int sortColumn = 0;
    bool descending = false;
};

// Never destroyed: an open image in it would be closed after the library's
// own statics are gone.
Browser& View()
{
    static Browser& browser = *new Browser;
    return browser;
}

// Results waiting for the page, written by the reading threads.
std::mutex g_mailLock;
std::vector<std::unique_ptr<FolderRead>> g_mail;
HWND g_mailPage = nullptr;  // under g_mailLock: where the notice goes

void Post(std::unique_ptr<FolderRead> result)
{
    std::lock_guard<std::mutex> hold(g_mailLock);
    g_mail.push_back(std::move(result));
    if (g_mailPage != nullptr)
        PostMessageW(g_mailPage, WM_FILES_READ, 0, 0);
}

void ReadFolder(const std::shared_ptr<Session>& session, const WString& folder)
{
    auto result = std::make_unique<FolderRead>();
    result->choice = session->choice;
    result->folder = folder;
    std::lock_guard<std::mutex> hold(session->lock);
    if (!session->tried) {
        session->tried = true;
        session->step = OpenSourceImage(session->source.c_str(), static_cast<DWORD>(session->index), false,
                                        session->image);
        if (session->step != SourceStep::Ready)
            session->failure =
                SourceFailureText(session->step, session->image, session->index, GetLastError());
    }
    if (session->step != SourceStep::Ready) {
        result->failure = session->failure;
    } else if (ListImageFolder(session->image.image.get(), folder, result->entries)) {
        result->read = true;
    } else {
        WCHAR reason[kTextBufferSize];
        WCHAR line[kTextBufferSize];
        SystemErrorText(reason, GetLastError());
        result->failure = LoadMessage(line, IDS_FILES_READ_FAILED, folder.c_str(), reason);
    }
    Post(std::move(result));
}

void RequestFolder(const WString& folder)
{
    std::shared_ptr<Session> session = View().session;
    if (session == nullptr)
        return;
    HANDLE thread = StartImagingThread([session, folder] { ReadFolder(session, folder); });
    if (thread != nullptr)
        CloseHandle(thread);
}

// ---------------------------------------------------------------------------
// The view

HWND Tree(HWND page)
{
    return GetDlgItem(page, IDC_FILES_TREE);
}
HWND List(HWND page)
{
    return GetDlgItem(page, IDC_FILES_LIST);
}

void ClearView(HWND page)
{
    Browser& view = View();
    view.folders.clear();
    view.nodes.clear();
    view.filled.clear();
    view.listFolder.clear();
    view.listEntries.clear();
    if (page == nullptr)
        return;
    SendMessageW(Tree(page), TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    SendMessageW(List(page), LVM_SETITEMCOUNT, 0, 0);
}

HTREEITEM AddNode(HWND page, HTREEITEM parent, const WString& text, const WString& folder, bool folderNode)
{
    Browser& view = View();
    TVINSERTSTRUCTW insert = {};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_CHILDREN;
    insert.item.pszText = const_cast<WCHAR*>(text.c_str());
    insert.item.cChildren = folderNode ? 1 : 0;
    insert.item.lParam = folderNode ? static_cast<LPARAM>(view.folders.size()) : -1;
    auto item = reinterpret_cast<HTREEITEM>(
        SendMessageW(Tree(page), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    if (folderNode && item != nullptr) {
        view.folders.push_back(folder);
        view.nodes[folder] = item;
    }
    return item;
}

const WString* FolderOfNode(HWND page, HTREEITEM item)
{
    TVITEMW data = {};
    data.mask = TVIF_PARAM;
    data.hItem = item;
    if (item == nullptr || !SendMessageW(Tree(page), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data)))
        return nullptr;
    const auto& folders = View().folders;
    if (data.lParam < 0 || static_cast<size_t>(data.lParam) >= folders.size())
        return nullptr;
    return &folders[static_cast<size_t>(data.lParam)];
}

bool ByName(const ImageEntry& a, const ImageEntry& b)
{
    return lstrcmpiW(a.name.c_str(), b.name.c_str()) < 0;
}

void SortEntries(std::vector<ImageEntry>& entries, int column, bool descending)
{
    auto key = [column](const ImageEntry& a, const ImageEntry& b) -> int {
        switch (column) {
        case 1:
            return a.size != b.size ? (a.size < b.size ? -1 : 1) : 0;
        case 2:
            return static_cast<int>(CompareFileTime(&a.lastWrite, &b.lastWrite));
        case 3:
            return a.attributes != b.attributes ? (a.attributes < b.attributes ? -1 : 1) : 0;
        default:
            return lstrcmpiW(a.name.c_str(), b.name.c_str());
        }
    };
    std::stable_sort(entries.begin(), entries.end(), [&](const ImageEntry& a, const ImageEntry& b) {
        if (a.IsFolder() != b.IsFolder())
            return a.IsFolder();
        const int order = key(a, b);
        if (order != 0)
            return descending ? order > 0 : order < 0;
        return ByName(a, b);
    });
}

void ShowList(HWND page, std::vector<ImageEntry> entries)
{
    Browser& view = View();
    SortEntries(entries, view.sortColumn, view.descending);
    view.listEntries = std::move(entries);
    SendMessageW(List(page), LVM_SETITEMCOUNT, static_cast<WPARAM>(view.listEntries.size()), 0);
    InvalidateRect(List(page), nullptr, TRUE);
}

// The subfolders of a read folder become its node's children, once.
void FillNode(HWND page, const FolderRead& read)
{
    Browser& view = View();
    if (view.filled[read.folder])
        return;
    HTREEITEM node = nullptr;
    if (read.folder == WSTR("\\")) {
        if (!view.nodes.count(read.folder))
            AddNode(page, TVI_ROOT, read.folder, read.folder, true);
    }
    auto found = view.nodes.find(read.folder);
    if (found == view.nodes.end())
        return;
    node = found->second;
    view.filled[read.folder] = true;
    if (!read.read) {
        AddNode(page, node, read.failure, read.folder, false);
        return;
    }
    std::vector<ImageEntry> folders;
    for (const ImageEntry& entry : read.entries) {
        if (entry.IsFolder())
            folders.push_back(entry);
    }
    std::sort(folders.begin(), folders.end(), ByName);
    for (const ImageEntry& entry : folders)
        AddNode(page, node, entry.name, ImageChildPath(read.folder, entry.name), true);
    if (folders.empty()) {
        TVITEMW item = {};
        item.mask = TVIF_CHILDREN;
        item.hItem = node;
        item.cChildren = 0;
        SendMessageW(Tree(page), TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    if (read.folder == WSTR("\\")) {
        SendMessageW(Tree(page), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(node));
        SendMessageW(Tree(page), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(node));
    }
}

void TakeMail(HWND page)
{
    std::vector<std::unique_ptr<FolderRead>> mail;
    {
        std::lock_guard<std::mutex> hold(g_mailLock);
        mail.swap(g_mail);
    }
    Browser& view = View();
    for (const auto& read : mail) {
        if (read->choice != view.choice || page == nullptr)
            continue;  // of an earlier choice
        // The list first: selecting the root node below then finds it shown.
        if (read->folder == view.listFolder)
            ShowList(page, read->read ? read->entries : std::vector<ImageEntry>());
        FillNode(page, *read);
    }
}

void SelectFolder(HWND page, const WString& folder)
{
    Browser& view = View();
    view.listFolder = folder;
    view.listEntries.clear();
    SendMessageW(List(page), LVM_SETITEMCOUNT, 0, 0);
    RequestFolder(folder);
}

// The source and index the page's controls hold now.
bool ChoiceDiffers(HWND page)
{
    const Browser& view = View();
    if (view.session == nullptr)
        return true;
    WCHAR source[kTextBufferSize] = {};
    GetDlgItemTextW(page, IDC_FILES_SOURCE, source, kTextBufferSize);
    const LRESULT position = SendDlgItemMessageW(page, IDC_FILES_INDEX, UDM_GETPOS, 0, 0);
    return view.session->source != source || view.session->index != LOWORD(position);
}

void StartSession(HWND page)
{
    TaskState& task = Task();
    ReadPageInputs(task);
    Browser& view = View();
    ClearView(page);
    view.session = nullptr;
    ++view.choice;
    if (task.filesSource.empty())
        return;
    auto session = std::make_shared<Session>();
    session->source = task.filesSource;
    session->index = task.filesIndex;
    session->choice = view.choice;
    view.session = session;
    view.listFolder = WSTR("\\");
    RequestFolder(WSTR("\\"));
}

void Forget(HWND page)
{
    Browser& view = View();
    ClearView(page);
    view.session = nullptr;
    ++view.choice;
}

// ---------------------------------------------------------------------------
// The list's cells

void FormatTime(const FILETIME& time, WCHAR* text, int size)
{
    FILETIME local;
    SYSTEMTIME parts;
    if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &parts)) {
        text[0] = 0;
        return;
    }
    wsprintfW(text, WSTR("%04u-%02u-%02u %02u:%02u"), parts.wYear, parts.wMonth, parts.wDay, parts.wHour,
              parts.wMinute);
    (void)size;
}

// Letters in the order the command-line attribute tool shows them.
void FormatAttributes(DWORD attributes, WCHAR* text)
{
    struct Letter {
        DWORD flag;
        WCHAR letter;
    };
    const Letter letters[] = {
        {FILE_ATTRIBUTE_DIRECTORY, 'D'}, {FILE_ATTRIBUTE_READONLY, 'R'},
        {FILE_ATTRIBUTE_HIDDEN, 'H'},    {FILE_ATTRIBUTE_SYSTEM, 'S'},
        {FILE_ATTRIBUTE_ARCHIVE, 'A'},   {FILE_ATTRIBUTE_COMPRESSED, 'C'},
        {FILE_ATTRIBUTE_ENCRYPTED, 'E'}, {FILE_ATTRIBUTE_REPARSE_POINT, 'L'},
    };
    int at = 0;
    for (const Letter& letter : letters) {
        if (attributes & letter.flag)
            text[at++] = letter.letter;
    }
    text[at] = 0;
}

void FillCell(NMLVDISPINFOW& info)
{
    const auto& entries = View().listEntries;
    LVITEMW& item = info.item;
    if (!(item.mask & LVIF_TEXT) || item.iItem < 0 || static_cast<size_t>(item.iItem) >= entries.size() ||
        item.pszText == nullptr || item.cchTextMax <= 0)
        return;
    const ImageEntry& entry = entries[static_cast<size_t>(item.iItem)];
    WCHAR text[64] = {};
    switch (item.iSubItem) {
    case 0:
        CopyToBuffer(item.pszText, static_cast<size_t>(item.cchTextMax), entry.name);
        return;
    case 1:
        if (!entry.IsFolder())
            CopyToBuffer(text, 64, DecimalText(static_cast<long long>(entry.size)));
        break;
    case 2:
        FormatTime(entry.lastWrite, text, 64);
        break;
    case 3:
        FormatAttributes(entry.attributes, text);
        break;
    default:
        break;
    }
    CopyToBuffer(item.pszText, static_cast<size_t>(item.cchTextMax), text);
}

void SortBy(HWND page, int column)
{
    Browser& view = View();
    view.descending = view.sortColumn == column ? !view.descending : false;
    view.sortColumn = column;
    SortEntries(view.listEntries, view.sortColumn, view.descending);
    // The rows now show other entries: what was selected is no longer meant.
    LVITEMW none = {};
    none.stateMask = LVIS_SELECTED;
    SendMessageW(List(page), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    InvalidateRect(List(page), nullptr, TRUE);
}

// A folder double-clicked in the list opens in the tree.
void OpenListFolder(HWND page, int row)
{
    Browser& view = View();
    if (row < 0 || static_cast<size_t>(row) >= view.listEntries.size())
        return;
    const ImageEntry& entry = view.listEntries[static_cast<size_t>(row)];
    if (!entry.IsFolder())
        return;
    const WString folder = ImageChildPath(view.listFolder, entry.name);
    auto parent = view.nodes.find(view.listFolder);
    auto node = view.nodes.find(folder);
    if (parent == view.nodes.end() || node == view.nodes.end())
        return;
    SendMessageW(Tree(page), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(parent->second));
    SendMessageW(Tree(page), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(node->second));
}

bool Notify(HWND page, const NMHDR& header)
{
    Browser& view = View();
    if (header.idFrom == IDC_FILES_TREE) {
        const auto& tree = reinterpret_cast<const NMTREEVIEWW&>(header);
        if (header.code == TVN_ITEMEXPANDINGW && tree.action == TVE_EXPAND) {
            const WString* folder = FolderOfNode(page, tree.itemNew.hItem);
            if (folder != nullptr && !view.filled[*folder])
                RequestFolder(*folder);
            return false;
        }
        if (header.code == TVN_SELCHANGEDW) {
            const WString* folder = FolderOfNode(page, tree.itemNew.hItem);
            if (folder != nullptr && *folder != view.listFolder)
                SelectFolder(page, *folder);
            else if (folder != nullptr && view.listEntries.empty())
                RequestFolder(*folder);
            return true;
        }
        return false;
    }
    if (header.idFrom == IDC_FILES_LIST) {
        if (header.code == LVN_GETDISPINFOW) {
            FillCell(*reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(&header)));
            return true;
        }
        if (header.code == LVN_COLUMNCLICK) {
            SortBy(page, reinterpret_cast<const NMLISTVIEW&>(header).iSubItem);
            return true;
        }
        if (header.code == static_cast<UINT>(NM_DBLCLK)) {
            OpenListFolder(page, reinterpret_cast<const NMITEMACTIVATE&>(header).iItem);
            return true;
        }
    }
    return false;
}

}  // namespace

void OpenFilesImage(HWND page)
{
    StartSession(page);
}

void ShowFilesPage(HWND page)
{
    HWND list = List(page);
    CreateListColumns(
        list, {IDS_COLUMN_ENTRY_NAME, IDS_COLUMN_SIZE, IDS_COLUMN_LAST_WRITTEN, IDS_COLUMN_ATTRIBUTES});
    // In dialog units, so the columns fill the list in either language's font.
    RECT widths = {62, 30, 78, 25};
    MapDialogRect(page, &widths);
    const LONG columns[] = {widths.left, widths.top, widths.right, widths.bottom};
    for (int i = 0; i < 4; ++i)
        SendMessageW(list, LVM_SETCOLUMNWIDTH, i, columns[i]);
    {
        std::lock_guard<std::mutex> hold(g_mailLock);
        g_mailPage = page;
    }
    Browser& view = View();
    view.page = page;
    // The same choice as when the page was last shown: its root again, which
    // the open image answers at once.
    ClearView(page);
    if (view.session != nullptr && !ChoiceDiffers(page)) {
        ++view.choice;
        view.session->choice = view.choice;
        view.listFolder = WSTR("\\");
        RequestFolder(WSTR("\\"));
    } else {
        view.session = nullptr;
    }
}

void FilesInputChosen(HWND page, int control)
{
    if (control == IDC_FILES_SOURCE || control == IDC_FILES_INDEX)
        StartSession(page);
}

bool FilesPageMessage(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    Browser& view = View();
    switch (message) {
    case WM_FILES_READ:
        TakeMail(view.page == page ? page : nullptr);
        return true;
    case WM_NOTIFY:
        if (view.page != page)
            return false;
        if (Notify(page, *reinterpret_cast<const NMHDR*>(lParam))) {
            SetWindowLongPtrW(page, DWLP_MSGRESULT, 0);
            return true;
        }
        return false;
    case WM_COMMAND: {
        const int control = LOWORD(wParam);
        if (HIWORD(wParam) == EN_CHANGE && view.page == page &&
            (control == IDC_FILES_SOURCE || control == IDC_FILES_INDEX_EDIT) && ChoiceDiffers(page))
            Forget(page);
        return false;
    }
    case WM_DESTROY: {
        std::lock_guard<std::mutex> hold(g_mailLock);
        if (g_mailPage == page)
            g_mailPage = nullptr;
        if (view.page == page)
            view.page = nullptr;
        return false;
    }
    default:
        return false;
    }
}

bool TakeFilesSelection(HWND page)
{
    Browser& view = View();
    TaskState& task = Task();
    task.filesItems.clear();
    if (view.session == nullptr || view.listFolder.empty())
        return false;
    // The source the tree shows, whatever the edit holds by now.
    task.filesSource = view.session->source;
    task.filesIndex = view.session->index;
    HWND list = List(page);
    for (int row = -1;;) {
        row = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(row), LVNI_SELECTED));
        if (row < 0 || static_cast<size_t>(row) >= view.listEntries.size())
            break;
        task.filesItems.push_back(
            ImageChildPath(view.listFolder, view.listEntries[static_cast<size_t>(row)].name));
    }
    if (task.filesItems.empty())
        task.filesItems.push_back(view.listFolder);
    return true;
}

WString FilesListFolder()
{
    return View().listFolder;
}
