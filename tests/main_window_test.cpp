// The main window, its pages, the image picker and the mounted list, driven
// through window messages on the real dialogs.
#include "app/pages.h"
#include "base/log.h"
#include "base/resource.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"

#include <commctrl.h>

#include <atomic>
#include <vector>

namespace {

const char kProgressCaption[] = "映像操作執行中...";
const char kPickerCaption[] = "選擇映像";

std::string TableString(UINT id)
{
    WCHAR text[kTextBufferSize];
    return Utf8FromWide(LoadTableString(id, text));
}

bool Checked(HWND box)
{
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

LRESULT ComboCount(HWND combo)
{
    return SendMessageW(combo, CB_GETCOUNT, 0, 0);
}

std::string ComboEntry(HWND combo, int index)
{
    WCHAR text[kTextBufferSize] = {};
    SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
    return Utf8FromWide(text);
}

int SelectedRow(HWND list)
{
    return static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void SelectRow(HWND list, int row)
{
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
}

std::vector<std::string> Headers(HWND list)
{
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    std::vector<std::string> texts;
    int count = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        WCHAR text[kTextBufferSize] = {};
        HDITEMW item = {};
        item.mask = HDI_TEXT;
        item.pszText = text;
        item.cchTextMax = kTextBufferSize;
        SendMessageW(header, HDM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
        texts.push_back(Utf8FromWide(text));
    }
    return texts;
}

// Presses the arrow key in an up-down's buddy edit, `times` times.
void PressArrow(HWND edit, UINT key, int times)
{
    for (int i = 0; i < times; ++i) {
        SendMessageW(edit, WM_KEYDOWN, key, 1);
        SendMessageW(edit, WM_KEYUP, key, 0xC0000001);
    }
}

// Class names of a window's children, for pages that must hold no inputs.
BOOL CALLBACK CollectClass(HWND child, LPARAM parameter)
{
    WCHAR name[64] = {};
    GetClassNameW(child, name, 64);
    reinterpret_cast<std::vector<std::string>*>(parameter)->push_back(Utf8FromWide(name));
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter)
{
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(child);
    return TRUE;
}

// Waits for the progress window's operation to end, returns its log, closes it.
std::string FinishProgressWindow(const MainWindowSession& session)
{
    HWND progress = session.WaitForWindow(WideFromUtf8(kProgressCaption));
    EXPECT_NE(progress, nullptr) << "no progress window";
    if (progress == nullptr)
        return {};
    HWND button = GetDlgItem(progress, IDC_PROGRESS_BUTTON);
    EXPECT_TRUE(WaitFor(
        [&] { return IsWindowEnabled(button) && !Task().busy && Task().workerThread == nullptr; }, 60000))
        << "the operation did not end";
    std::string log = Text(GetDlgItem(progress, IDC_PROGRESS_LOG));
    PostClick(button);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(progress); })) << "the progress window stayed open";
    return log;
}

class MainWindowTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.started()) << "the main window did not appear"; }

    MainWindowSession session;
};

TEST_F(MainWindowTest, OpensWithTenLabelledTabsAndFitsThePagesInside)
{
    HWND tabs = session.tabs();
    const char* labels[] = {"製作", "還原", "訊息", "掛載", "拆分", "分割", "變更", "刪除", "檔案", "關於"};
    ASSERT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 10);
    for (int i = 0; i < 10; ++i) {
        WCHAR text[32] = {};
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = 32;
        SendMessageW(tabs, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
        EXPECT_EQ(Utf8FromWide(text), labels[i]) << "tab " << i;
    }
    EXPECT_EQ(Task().mainWindow, session.window());
    EXPECT_EQ(Task().pageIndex, kPageCapture);

    // Every page lies inside the tab control's display area, and the window
    // was sized so that the tab control is wholly inside its client area.
    RECT client = {};
    GetClientRect(session.window(), &client);
    RECT tabRect = {};
    GetWindowRect(tabs, &tabRect);
    MapWindowPoints(nullptr, session.window(), reinterpret_cast<POINT*>(&tabRect), 2);
    EXPECT_GE(tabRect.left, 0);
    EXPECT_GE(tabRect.top, 0);
    EXPECT_LE(tabRect.right, client.right);
    EXPECT_LE(tabRect.bottom, client.bottom);
    RECT display = tabRect;
    SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&display));
    for (int i = 0; i < kPageCount; ++i) {
        session.SelectTab(i);
        ASSERT_EQ(Task().pageIndex, i);
        RECT page = {};
        GetWindowRect(session.page(), &page);
        MapWindowPoints(nullptr, session.window(), reinterpret_cast<POINT*>(&page), 2);
        EXPECT_EQ(page.left, display.left) << "page " << i;
        EXPECT_EQ(page.top, display.top) << "page " << i;
        EXPECT_LE(page.right, display.right) << "page " << i;
        EXPECT_LE(page.bottom, display.bottom) << "page " << i;
        EXPECT_EQ(GetParent(session.page()), session.window());
    }
}

TEST_F(MainWindowTest, FreshWindowShowsEveryDefault)
{
    const std::string lzx = TableString(IDS_COMPRESSION_LZX);

    session.SelectTab(kPageCapture);
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_SOURCE)), "");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_DESTINATION)), "");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_NAME)), "MYWIM1");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_DESCRIPTION)), "Captured with Corvane");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_DISPLAYNAME)), "My WIM 1");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_DISPLAYDESCRIPTION)), "Captured with Corvane");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_CONFIG)), "");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_TEMPDIR)), "");
    HWND compression = session.control(IDC_CAPTURE_COMPRESSION);
    ASSERT_EQ(ComboCount(compression), 4);
    EXPECT_EQ(ComboEntry(compression, 0), TableString(IDS_COMPRESSION_NONE));
    EXPECT_EQ(ComboEntry(compression, 1), TableString(IDS_COMPRESSION_XPRESS));
    EXPECT_EQ(ComboEntry(compression, 3), "LZMS");
    EXPECT_EQ(Text(compression), lzx);
    HWND flags = session.control(IDC_CAPTURE_FLAGS);
    ASSERT_EQ(ComboCount(flags), 20);
    EXPECT_EQ(ComboEntry(flags, 0), "Enterprise");
    EXPECT_EQ(ComboEntry(flags, 18), "Ultimate");
    EXPECT_EQ(SendMessageW(flags, CB_GETCURSEL, 0, 0), 19) << "the empty entry is chosen";
    EXPECT_FALSE(Checked(session.control(IDC_CAPTURE_BOOT)));
    EXPECT_TRUE(Checked(session.control(IDC_CAPTURE_VERIFY)));
    EXPECT_FALSE(Checked(session.control(IDC_CAPTURE_CHECK)));
    EXPECT_FALSE(Checked(session.control(IDC_CAPTURE_NORPFIX)));
    EXPECT_FALSE(Checked(session.control(IDC_CAPTURE_SHOW_SETTINGS)));

    session.SelectTab(kPageApply);
    EXPECT_EQ(Text(session.control(IDC_APPLY_INDEX_EDIT)), "1");
    EXPECT_TRUE(Checked(session.control(IDC_APPLY_VERIFY)));
    EXPECT_FALSE(Checked(session.control(IDC_APPLY_CHECK)));

    session.SelectTab(kPageInfo);
    EXPECT_EQ(Text(session.control(IDC_INFO_SOURCE)), "");
    EXPECT_EQ(Text(session.control(IDC_INFO_TEXT)), "");

    session.SelectTab(kPageExport);
    EXPECT_EQ(Text(session.control(IDC_EXPORT_INDEX_EDIT)), "1");
    EXPECT_EQ(ComboCount(session.control(IDC_EXPORT_COMPRESSION)), 4);
    EXPECT_EQ(ComboEntry(session.control(IDC_EXPORT_COMPRESSION), 3), "LZMS");
    EXPECT_EQ(Text(session.control(IDC_EXPORT_COMPRESSION)), lzx);
    EXPECT_FALSE(Checked(session.control(IDC_EXPORT_CHECK)));
    EXPECT_FALSE(Checked(session.control(IDC_EXPORT_ALL_IMAGES)));
    EXPECT_EQ(Text(session.control(IDC_EXPORT_ALL_IMAGES)), "全部映像卷");
    EXPECT_TRUE(IsWindowEnabled(session.control(IDC_EXPORT_INDEX_EDIT)));

    session.SelectTab(kPageMount);
    EXPECT_EQ(Text(session.control(IDC_MOUNT_SOURCE)), "");
    EXPECT_EQ(Text(session.control(IDC_MOUNT_PATH)), "");
    EXPECT_EQ(Text(session.control(IDC_MOUNT_INDEX_EDIT)), "1");
    // Read-only mounts, and an unmount that discards changes, unless asked.
    EXPECT_FALSE(Checked(session.control(IDC_MOUNT_READWRITE)));
    EXPECT_FALSE(Checked(session.control(IDC_MOUNT_CHECK)));
    EXPECT_FALSE(Checked(session.control(IDC_UNMOUNT_COMMIT)));
    EXPECT_FALSE(Checked(session.control(IDC_UNMOUNT_CHECK)));

    session.SelectTab(kPageSplit);
    EXPECT_EQ(Text(session.control(IDC_SPLIT_SOURCE)), "");
    EXPECT_EQ(Text(session.control(IDC_SPLIT_DESTINATION)), "");
    HWND size = session.control(IDC_SPLIT_SIZE);
    ASSERT_EQ(ComboCount(size), 2);
    EXPECT_EQ(ComboEntry(size, 0), "CD (600 MB)");
    EXPECT_EQ(Text(size), "FAT32 (4GB)");
    EXPECT_FALSE(Checked(session.control(IDC_SPLIT_CHECK)));

    session.SelectTab(kPageChange);
    EXPECT_EQ(Text(session.control(IDC_CHANGE_SOURCE)), "");
    EXPECT_EQ(Text(session.control(IDC_CHANGE_INDEX_EDIT)), "1");
    for (int box :
         {IDC_CHANGE_NAME, IDC_CHANGE_DESCRIPTION, IDC_CHANGE_DISPLAYNAME, IDC_CHANGE_DISPLAYDESCRIPTION})
        EXPECT_EQ(Text(session.control(box)), "") << box;  // empty: nothing is changed
    EXPECT_EQ(ComboCount(session.control(IDC_CHANGE_FLAGS)), 20);
    EXPECT_EQ(SendMessageW(session.control(IDC_CHANGE_FLAGS), CB_GETCURSEL, 0, 0), 19);
    EXPECT_FALSE(Checked(session.control(IDC_CHANGE_BOOT)));
    EXPECT_FALSE(Checked(session.control(IDC_CHANGE_CHECK)));

    session.SelectTab(kPageDelete);
    EXPECT_EQ(Text(session.control(IDC_DELETE_INDEX_EDIT)), "1");
    EXPECT_FALSE(Checked(session.control(IDC_DELETE_CHECK)));
}

// LZMS, the fourth entry, is chosen in each compression combo and reaches
// the record; the Export page's "every image" box greys the index, its arrows
// and its picker, reaches the record, and survives a switch of tabs.
TEST_F(MainWindowTest, LzmsEntriesAndTheAllImagesBoxReachTheRecord)
{
    const struct {
        int page;
        int combo;
        WString TaskState::*field;
    } combos[] = {
        {kPageCapture, IDC_CAPTURE_COMPRESSION, &TaskState::captureCompression},
        {kPageExport, IDC_EXPORT_COMPRESSION, &TaskState::exportCompression},
    };
    for (const auto& c : combos) {
        session.SelectTab(c.page);
        HWND combo = session.control(c.combo);
        SendMessageW(combo, CB_SETCURSEL, 3, 0);
        session.SelectTab(kPageApply);
        EXPECT_EQ(Utf8FromWide(Task().*c.field), "LZMS") << c.combo;
        session.SelectTab(c.page);
        EXPECT_EQ(Text(session.control(c.combo)), "LZMS") << c.combo;
    }

    session.SelectTab(kPageExport);
    const int greyed[] = {IDC_EXPORT_INDEX_EDIT, IDC_EXPORT_INDEX, IDC_EXPORT_SELECT};
    for (bool on : {true, false, true}) {
        ASSERT_TRUE(Click(session.control(IDC_EXPORT_ALL_IMAGES)));
        for (int control : greyed)
            EXPECT_EQ(IsWindowEnabled(session.control(control)) != FALSE, !on) << control << " on=" << on;
        EXPECT_TRUE(IsWindowEnabled(session.control(IDC_EXPORT_CHECK)));
    }
    session.SelectTab(kPageApply);
    EXPECT_TRUE(Task().exportAllImages);
    EXPECT_FALSE(Task().exportCheck);
    session.SelectTab(kPageExport);
    EXPECT_TRUE(Checked(session.control(IDC_EXPORT_ALL_IMAGES)));
    for (int control : greyed)
        EXPECT_FALSE(IsWindowEnabled(session.control(control)))
            << "greyed again after the switch: " << control;
}

TEST_F(MainWindowTest, CaptureInputsSurviveSwitchingToApplyAndBack)
{
    session.SelectTab(kPageCapture);
    TypeText(session.control(IDC_CAPTURE_SOURCE), WSTR("D:\\source"));
    TypeOver(session.control(IDC_CAPTURE_NAME), WSTR("Build 7"));
    TypeOver(session.control(IDC_CAPTURE_TEMPDIR), WSTR("E:\\tmp"));
    SendMessageW(session.control(IDC_CAPTURE_COMPRESSION), CB_SETCURSEL, 1, 0);
    SendMessageW(session.control(IDC_CAPTURE_FLAGS), CB_SETCURSEL, 1, 0);
    ASSERT_TRUE(Click(session.control(IDC_CAPTURE_BOOT)));
    ASSERT_TRUE(Click(session.control(IDC_CAPTURE_VERIFY)));

    session.SelectTab(kPageApply);
    const TaskState& task = Task();
    EXPECT_EQ(Utf8FromWide(task.captureSource), "D:\\source");
    EXPECT_EQ(Utf8FromWide(task.captureName), "Build 7");
    EXPECT_EQ(Utf8FromWide(task.captureTempDir), "E:\\tmp");
    EXPECT_EQ(Utf8FromWide(task.captureDescription), "Captured with Corvane");
    EXPECT_EQ(Utf8FromWide(task.captureCompression), TableString(IDS_COMPRESSION_XPRESS));
    EXPECT_EQ(Utf8FromWide(task.captureFlags), "Professional");
    EXPECT_TRUE(task.captureBoot);
    EXPECT_FALSE(task.captureVerify);

    session.SelectTab(kPageCapture);
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_SOURCE)), "D:\\source");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_NAME)), "Build 7");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_TEMPDIR)), "E:\\tmp");
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_COMPRESSION)), TableString(IDS_COMPRESSION_XPRESS));
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_FLAGS)), "Professional");
    EXPECT_TRUE(Checked(session.control(IDC_CAPTURE_BOOT)));
    EXPECT_FALSE(Checked(session.control(IDC_CAPTURE_VERIFY)));
}

TEST_F(MainWindowTest, ChangePageBoxesEachFillTheirOwnField)
{
    session.SelectTab(kPageChange);
    TypeText(session.control(IDC_CHANGE_SOURCE), WSTR("C:\\w.wim"));
    TypeText(session.control(IDC_CHANGE_NAME), WSTR("name"));
    TypeText(session.control(IDC_CHANGE_DESCRIPTION), WSTR("description"));
    TypeText(session.control(IDC_CHANGE_DISPLAYNAME), WSTR("display name"));
    TypeText(session.control(IDC_CHANGE_DISPLAYDESCRIPTION), WSTR("display description"));
    SendMessageW(session.control(IDC_CHANGE_FLAGS), CB_SETCURSEL, 2, 0);
    ASSERT_TRUE(Click(session.control(IDC_CHANGE_CHECK)));
    session.SelectTab(kPageDelete);

    const TaskState& task = Task();
    EXPECT_EQ(Utf8FromWide(task.changeSource), "C:\\w.wim");
    EXPECT_EQ(Utf8FromWide(task.changeName), "name");
    EXPECT_EQ(Utf8FromWide(task.changeDescription), "description");
    EXPECT_EQ(Utf8FromWide(task.changeDisplayName), "display name");
    EXPECT_EQ(Utf8FromWide(task.changeDisplayDescription), "display description");
    EXPECT_EQ(Utf8FromWide(task.changeFlags), "Education");
    EXPECT_TRUE(task.changeCheck);
    EXPECT_FALSE(task.changeBoot);
}

TEST_F(MainWindowTest, UncheckingOneBoxStoresFalseForThatBoxOnly)
{
    session.SelectTab(kPageCapture);
    ASSERT_TRUE(Click(session.control(IDC_CAPTURE_BOOT)));
    ASSERT_TRUE(Click(session.control(IDC_CAPTURE_CHECK)));
    session.SelectTab(kPageApply);
    ASSERT_TRUE(Click(session.control(IDC_APPLY_CHECK)));
    session.SelectTab(kPageCapture);

    ASSERT_TRUE(Click(session.control(IDC_CAPTURE_VERIFY)));
    session.SelectTab(kPageMount);

    const TaskState& task = Task();
    EXPECT_FALSE(task.captureVerify);
    EXPECT_TRUE(task.captureBoot);
    EXPECT_TRUE(task.captureCheck);
    EXPECT_FALSE(task.captureNoRpFix);
    EXPECT_FALSE(task.captureShowSettings);
    EXPECT_TRUE(task.applyVerify);
    EXPECT_TRUE(task.applyCheck);

    session.SelectTab(kPageApply);
    ASSERT_TRUE(Click(session.control(IDC_APPLY_VERIFY)));
    session.SelectTab(kPageDelete);
    EXPECT_FALSE(task.applyVerify);
    EXPECT_TRUE(task.applyCheck);
    EXPECT_FALSE(task.captureVerify);
    EXPECT_TRUE(task.captureBoot);
}

TEST_F(MainWindowTest, AboutPageHoldsNoInputsAndStoresNothing)
{
    session.SelectTab(kPageAbout);
    std::vector<std::string> classes;
    EnumChildWindows(session.page(), CollectClass, reinterpret_cast<LPARAM>(&classes));
    EXPECT_FALSE(classes.empty());
    for (const std::string& name : classes)
        EXPECT_EQ(name, "Static");

    // Whatever the record holds when About is left must come back unchanged.
    Task().captureName = WSTR("set while About was shown");
    Task().deleteIndex = 42;
    Task().applyVerify = false;
    session.SelectTab(kPageCapture);
    EXPECT_EQ(Text(session.control(IDC_CAPTURE_NAME)), "set while About was shown");
    session.SelectTab(kPageDelete);
    EXPECT_EQ(Text(session.control(IDC_DELETE_INDEX_EDIT)), "42");
    session.SelectTab(kPageApply);
    EXPECT_FALSE(Checked(session.control(IDC_APPLY_VERIFY)));
}

TEST_F(MainWindowTest, IndexEditsTakeOneDigitAndArrowsRunFrom1To99)
{
    struct IndexPage {
        int page;
        int edit;
        int upDown;
        int32_t TaskState::*field;
    };
    const IndexPage pages[] = {
        {kPageApply, IDC_APPLY_INDEX_EDIT, IDC_APPLY_INDEX, &TaskState::applyIndex},
        {kPageMount, IDC_MOUNT_INDEX_EDIT, IDC_MOUNT_INDEX, &TaskState::mountIndex},
        {kPageExport, IDC_EXPORT_INDEX_EDIT, IDC_EXPORT_INDEX, &TaskState::exportIndex},
        {kPageChange, IDC_CHANGE_INDEX_EDIT, IDC_CHANGE_INDEX, &TaskState::changeIndex},
        {kPageDelete, IDC_DELETE_INDEX_EDIT, IDC_DELETE_INDEX, &TaskState::deleteIndex},
    };
    for (const IndexPage& index : pages) {
        SCOPED_TRACE(testing::Message() << "page " << index.page);
        session.SelectTab(index.page);
        HWND edit = session.control(index.edit);
        HWND upDown = session.control(index.upDown);
        EXPECT_EQ(reinterpret_cast<HWND>(SendMessageW(upDown, UDM_GETBUDDY, 0, 0)), edit);

        TypeOver(edit, WSTR("7"));
        TypeText(edit, WSTR("8"));
        EXPECT_EQ(Text(edit), "7");
        EXPECT_EQ(SendMessageW(upDown, UDM_GETPOS, 0, 0), 7);

        PressArrow(edit, VK_UP, 95);
        EXPECT_EQ(Text(edit), "99");
        session.SelectTab(kPageCapture);
        EXPECT_EQ(Task().*index.field, 99);
        session.SelectTab(index.page);
        edit = session.control(index.edit);
        EXPECT_EQ(Text(edit), "99");

        PressArrow(edit, VK_DOWN, 120);
        EXPECT_EQ(Text(edit), "1");

        // An edit without a number in the range reaches the operation as the
        // last valid position, never with the error flag in the number.
        PressArrow(edit, VK_UP, 6);
        for (const WCHAR* typed : {WSTR(""), WSTR("0"), WSTR("x")}) {
            TypeOver(edit, typed);
            session.SelectTab(kPageCapture);
            EXPECT_EQ(Task().*index.field, 7) << Narrow(typed);
            session.SelectTab(index.page);
            edit = session.control(index.edit);
        }
    }
}

// The mounted-image list, over a library whose mounted images a test sets.
std::vector<WIM_MOUNT_LIST> mountedImages;
bool mountedImagesFail = false;
std::atomic<int> mountedImagesCalls{0};

BOOL WINAPI ListMountedImages(WIM_MOUNT_LIST* list, PDWORD size)
{
    ++mountedImagesCalls;
    if (mountedImagesFail) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    DWORD bytes = static_cast<DWORD>(mountedImages.size() * sizeof(WIM_MOUNT_LIST));
    if (*size < bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(mountedImages.begin(), mountedImages.end(), list);
    *size = bytes;
    return TRUE;
}

WIM_MOUNT_LIST MountEntry(const WCHAR* wim, const WCHAR* mountPoint, DWORD index, BOOL readWrite)
{
    WIM_MOUNT_LIST entry = {};
    CopyToBuffer(entry.WimPath, MAX_PATH, wim);
    CopyToBuffer(entry.MountPath, MAX_PATH, mountPoint);
    entry.ImageIndex = index;
    entry.MountedForRW = readWrite;
    return entry;
}

class MountListWindowTest : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        mountedImages = {MountEntry(WSTR("Z:\\images\\a.wim"), WSTR("C:\\mnt\\one"), 2, TRUE),
                         MountEntry(WSTR("Z:\\images\\b.wim"), WSTR("C:\\mnt\\two"), 1, FALSE)};
        mountedImagesFail = false;
        library = Imaging();
        library.getMountedImages = ListMountedImages;
        previous = SetImagingLibrary(&library);
    }
    void TearDown() override { SetImagingLibrary(previous); }

    ScriptedImaging scripted;  // everything but the mounted list
    ImagingLibrary library{};
    const ImagingLibrary* previous = nullptr;
};

TEST_F(MountListWindowTest, ShowsMountedImagesAndRefreshes)
{
    session.SelectTab(kPageMount);
    HWND list = session.control(IDC_MOUNT_LIST);
    EXPECT_EQ(Headers(list), (std::vector<std::string>{TableString(234), TableString(235), TableString(236),
                                                       TableString(231)}));
    ASSERT_EQ(RowCount(list), 2);
    EXPECT_EQ(Cell(list, 0, 0), "R/W");
    EXPECT_EQ(Cell(list, 0, 1), "C:\\mnt\\one");
    EXPECT_EQ(Cell(list, 0, 2), "Z:\\images\\a.wim");
    EXPECT_EQ(Cell(list, 0, 3), "2");
    EXPECT_EQ(Cell(list, 1, 0), "R");
    EXPECT_EQ(Cell(list, 1, 1), "C:\\mnt\\two");
    EXPECT_EQ(Cell(list, 1, 3), "1");

    mountedImages.pop_back();
    ASSERT_TRUE(Click(session.control(IDC_MOUNT_REFRESH)));
    ASSERT_EQ(RowCount(list), 1);
    EXPECT_EQ(Cell(list, 0, 1), "C:\\mnt\\one");

    // A library that cannot list mounts leaves the list empty.
    mountedImagesFail = true;
    ASSERT_TRUE(Click(session.control(IDC_MOUNT_REFRESH)));
    EXPECT_EQ(RowCount(list), 0);
}

// Clicks a row's cell in the given column, as a user would.
void ClickCell(HWND list, int row, int column)
{
    RECT cell = {};
    cell.top = column;
    cell.left = LVIR_LABEL;
    SendMessageW(list, LVM_GETSUBITEMRECT, row, reinterpret_cast<LPARAM>(&cell));
    LPARAM point = MAKELPARAM((cell.left + cell.right) / 2, (cell.top + cell.bottom) / 2);
    SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, point);
    SendMessageW(list, WM_LBUTTONUP, 0, point);
}

TEST_F(MountListWindowTest, UnmountTakesTheSelectedRowsMountPoint)
{
    session.SelectTab(kPageMount);
    HWND list = session.control(IDC_MOUNT_LIST);
    TypeText(session.control(IDC_MOUNT_PATH), WSTR("C:\\typed"));

    // No row selected: nothing runs, the list is read again.
    int calls = mountedImagesCalls;
    ASSERT_TRUE(Click(session.control(IDC_UNMOUNT_RUN))) << "a window opened without a selected row";
    EXPECT_EQ(Utf8FromWide(Task().mountPath), "C:\\typed");
    EXPECT_EQ(mountedImagesCalls, calls + 1);

    // A click anywhere on a row selects it (the mount point is in column 1).
    const char* mountPoints[] = {"C:\\mnt\\one", "C:\\mnt\\two"};
    for (int row : {1, 0}) {
        SCOPED_TRACE(row);
        calls = mountedImagesCalls;
        ClickCell(list, row, 1);
        ASSERT_EQ(SelectedRow(list), row);
        PostClick(session.control(IDC_UNMOUNT_RUN));
        ASSERT_NE(session.WaitForWindow(WideFromUtf8(kProgressCaption)), nullptr);
        EXPECT_EQ(Utf8FromWide(Task().mountPath), mountPoints[row]);
        FinishProgressWindow(session);
        EXPECT_TRUE(WaitFor([&] { return RowCount(list) == 2 && mountedImagesCalls > calls; }));
    }
}

// The picker over scripted image XML.
class PickerWindowTest : public MainWindowTest {
protected:
    // Opens the picker from the Apply page with `index` in its index field.
    HWND OpenPicker(const WCHAR* wim, const WCHAR* index)
    {
        session.SelectTab(kPageApply);
        TypeOver(session.control(IDC_APPLY_SOURCE), wim);
        TypeOver(session.control(IDC_APPLY_INDEX_EDIT), index);
        PostClick(session.control(IDC_APPLY_SELECT));
        return session.WaitForWindow(WideFromUtf8(kPickerCaption));
    }

    // Presses Select and waits for the picker to close.
    void ChooseAndClose(HWND picker)
    {
        PostClick(GetDlgItem(picker, IDC_PICKER_SELECT));
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(picker); }));
    }

    // The XML error box appears instead of the picker; it is dismissed.
    void ExpectXmlErrorBox()
    {
        HWND box = session.WaitForWindow(WideFromUtf8(TableString(220)));
        ASSERT_NE(box, nullptr) << "no message box";
        std::vector<HWND> children;
        EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
        bool textShown = false;
        for (HWND child : children)
            textShown = textShown || Text(child) == TableString(238);
        EXPECT_TRUE(textShown);
        EXPECT_EQ(GetWindow(box, GW_OWNER), session.window());
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); }));
        EXPECT_EQ(session.WaitForWindow(WideFromUtf8(kPickerCaption), 300), nullptr);
    }

    ScriptedImaging scripted;
};

TEST_F(PickerWindowTest, ListsImagesPreselectsTheIndexAndReturnsTheChoice)
{
    scripted.info.ImageCount = 3;
    scripted.fileXml = WSTR("<WIM><TOTALBYTES>100</TOTALBYTES>"
                            "<IMAGE INDEX=\"1\"><NAME>Base</NAME><DESCRIPTION>First one</DESCRIPTION></IMAGE>"
                            "<IMAGE INDEX=\"2\"><NAME>Tools</NAME></IMAGE><ESD/>"
                            "<IMAGE INDEX=\"3\"><DESCRIPTION>Third one</DESCRIPTION></IMAGE></WIM>");
    HWND picker = OpenPicker(WSTR("C:\\images\\three.wim"), WSTR("2"));
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(GetWindow(picker, GW_OWNER), session.window());
    HWND list = GetDlgItem(picker, IDC_PICKER_LIST);
    EXPECT_EQ(Headers(list),
              (std::vector<std::string>{TableString(231), TableString(232), TableString(233)}));
    ASSERT_EQ(RowCount(list), 3);
    EXPECT_EQ(Cell(list, 0, 0), "1");
    EXPECT_EQ(Cell(list, 0, 1), "Base");
    EXPECT_EQ(Cell(list, 0, 2), "First one");
    EXPECT_EQ(Cell(list, 1, 0), "2");
    EXPECT_EQ(Cell(list, 1, 2), "N/A");
    EXPECT_EQ(Cell(list, 2, 0), "3");
    EXPECT_EQ(Cell(list, 2, 1), "N/A");
    EXPECT_EQ(SelectedRow(list), 1);

    // Escape does not close it (handled at once: ending would hide it);
    // Select does, with the chosen row.
    SendMessageW(picker, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(IsWindowVisible(picker));
    SelectRow(list, 2);
    ChooseAndClose(picker);
    EXPECT_EQ(Text(session.control(IDC_APPLY_INDEX_EDIT)), "3");
    EXPECT_EQ(Task().pickerIndex, 3);

    const std::string calls = scripted.CallText();
    EXPECT_NE(calls.find("WIMCreateFile(\"C:\\images\\three.wim\", 0x80000000, 3, 536870912, 0, null)"),
              std::string::npos)
        << calls;
    EXPECT_EQ(scripted.CallCount("WIMCloseHandle"), 1) << calls;
}

TEST_F(PickerWindowTest, ClosingWithoutASelectionKeepsTheIndex)
{
    scripted.info.ImageCount = 2;
    scripted.fileXml = WSTR("<WIM><IMAGE><NAME>a</NAME></IMAGE><IMAGE><NAME>b</NAME></IMAGE></WIM>");
    // Index 5 is outside the list: nothing is preselected.
    HWND picker = OpenPicker(WSTR("C:\\two.wim"), WSTR("5"));
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(SelectedRow(GetDlgItem(picker, IDC_PICKER_LIST)), -1);
    ChooseAndClose(picker);
    EXPECT_EQ(Text(session.control(IDC_APPLY_INDEX_EDIT)), "5");
}

TEST_F(PickerWindowTest, ShowsTextsAsTheUserTypedThem)
{
    scripted.info.ImageCount = 1;
    scripted.fileXml = WSTR("<WIM><IMAGE><NAME>A &amp; B &lt; C</NAME>"
                            "<DESCRIPTION>&quot;x&quot; &#x263A;</DESCRIPTION></IMAGE></WIM>");
    HWND picker = OpenPicker(WSTR("C:\\one.wim"), WSTR("1"));
    ASSERT_NE(picker, nullptr);
    HWND list = GetDlgItem(picker, IDC_PICKER_LIST);
    EXPECT_EQ(Cell(list, 0, 1), "A & B < C");
    EXPECT_EQ(Cell(list, 0, 2), "\"x\" \xE2\x98\xBA");
    ChooseAndClose(picker);
}

TEST_F(PickerWindowTest, FileWithoutHeaderOrXmlClosesThePickerAndTheFile)
{
    for (const char* call : {"WIMGetAttributes", "WIMGetImageInformation"}) {
        SCOPED_TRACE(call);
        ScriptedImaging failing;
        failing.info.ImageCount = 1;
        failing.fileXml = WSTR("<WIM><IMAGE><NAME>a</NAME></IMAGE></WIM>");
        failing.Fail(call, ERROR_INVALID_DATA);
        session.SelectTab(kPageApply);
        TypeOver(session.control(IDC_APPLY_INDEX_EDIT), WSTR("4"));
        ASSERT_TRUE(Click(session.control(IDC_APPLY_SELECT))) << "the picker stayed open";
        EXPECT_EQ(Text(session.control(IDC_APPLY_INDEX_EDIT)), "4");
        EXPECT_EQ(failing.CallCount("WIMCreateFile"), 1);
        EXPECT_EQ(failing.CallCount("WIMCloseHandle"), 1) << failing.CallText();
    }
}

TEST_F(PickerWindowTest, UnreadableXmlShowsTheErrorBoxAndKeepsTheIndex)
{
    struct Case {
        const char* what;
        DWORD imageCount;
        const WCHAR* xml;
    };
    const Case cases[] = {
        {"XML that does not parse", 1, WSTR("<WIM><IMAGE><NAME>a</NAME></WIM>")},
        {"fewer IMAGE elements than images", 3, WSTR("<WIM><IMAGE><NAME>a</NAME></IMAGE><X/></WIM>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        scripted.info.ImageCount = c.imageCount;
        scripted.fileXml = c.xml;
        session.SelectTab(kPageApply);
        TypeOver(session.control(IDC_APPLY_INDEX_EDIT), WSTR("2"));
        PostClick(session.control(IDC_APPLY_SELECT));
        ExpectXmlErrorBox();
        EXPECT_EQ(Text(session.control(IDC_APPLY_INDEX_EDIT)), "2");
    }
    EXPECT_EQ(scripted.CallCount("WIMCreateFile"), scripted.CallCount("WIMCloseHandle"));
}

// Real WIM files through the platform's imaging library.
class ImagingWindowTest : public MainWindowTest {
protected:
    void SetUp() override
    {
        if (PlatformImagingLibrary().createFile == nullptr)
            GTEST_SKIP() << "the platform imaging library does not open WIM files yet";
        MainWindowTest::SetUp();
    }
    ScratchFolder scratch;
};

TEST_F(ImagingWindowTest, PickerListsTheImagesOfAThreeImageWim)
{
    const std::string wim = scratch / "three.wim";
    MakeSampleWim(wim, 3);
    session.SelectTab(kPageApply);
    TypeText(session.control(IDC_APPLY_SOURCE), DosPath(wim));
    TypeOver(session.control(IDC_APPLY_INDEX_EDIT), WSTR("2"));
    PostClick(session.control(IDC_APPLY_SELECT));
    HWND picker = session.WaitForWindow(WideFromUtf8(kPickerCaption));
    ASSERT_NE(picker, nullptr);
    HWND list = GetDlgItem(picker, IDC_PICKER_LIST);
    ASSERT_EQ(RowCount(list), 3);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(Cell(list, row, 0), std::to_string(row + 1));
        EXPECT_EQ(Cell(list, row, 1), "Image " + std::to_string(row + 1));
        EXPECT_EQ(Cell(list, row, 2), "Description " + std::to_string(row + 1));
    }
    EXPECT_EQ(SelectedRow(list), 1);
    SelectRow(list, 0);
    PostClick(GetDlgItem(picker, IDC_PICKER_SELECT));
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(picker); }));
    EXPECT_EQ(Text(session.control(IDC_APPLY_INDEX_EDIT)), "1");
}

TEST_F(MainWindowTest, ReadButtonReportsOnTheFileTypedOnThePage)
{
    ScriptedImaging scripted;
    scripted.info.ImageCount = 1;
    scripted.imageXml[1] = WSTR("<IMAGE><NAME>Typed &amp; read</NAME></IMAGE>");
    scripted.fileXml = WSTR("<WIM/>");
    session.SelectTab(kPageInfo);
    TypeText(session.control(IDC_INFO_SOURCE), WSTR("C:\\typed.wim"));
    ASSERT_TRUE(Click(session.control(IDC_INFO_READ)));
    EXPECT_EQ(scripted.calls.front(), "WIMCreateFile(\"C:\\typed.wim\", 0x80000000, 3, 536870912, 0, ptr)");
    const std::string report = Text(session.control(IDC_INFO_TEXT));
    EXPECT_EQ(report.rfind("映像訊息: \r\n", 0), 0u) << report;
    EXPECT_NE(report.find("名稱:\t\tTyped & read\r\n"), std::string::npos) << report;

    // The report is kept with the page.
    session.SelectTab(kPageApply);
    session.SelectTab(kPageInfo);
    EXPECT_EQ(Text(session.control(IDC_INFO_TEXT)), report);
}

TEST_F(ImagingWindowTest, EmptyWimPathClosesThePickerAtOnce)
{
    session.SelectTab(kPageApply);
    TypeOver(session.control(IDC_APPLY_INDEX_EDIT), WSTR("6"));
    ASSERT_TRUE(Click(session.control(IDC_APPLY_SELECT))) << "the picker stayed open";
    EXPECT_EQ(Text(session.control(IDC_APPLY_INDEX_EDIT)), "6");
    EXPECT_EQ(session.WaitForWindow(WideFromUtf8(TableString(220)), 300), nullptr);
}

TEST_F(ImagingWindowTest, DeleteButtonDeletesAnImageThroughTheProgressWindow)
{
    const std::string wim = scratch / "delete.wim";
    MakeSampleWim(wim, 3, "--compress=none");
    session.SelectTab(kPageDelete);
    TypeText(session.control(IDC_DELETE_SOURCE), DosPath(wim));
    TypeOver(session.control(IDC_DELETE_INDEX_EDIT), WSTR("2"));
    PostClick(session.control(IDC_DELETE_RUN));
    const std::string log = FinishProgressWindow(session);
    std::string before;
    ASSERT_TRUE(SplitClosingLine(log, &before)) << log;
    EXPECT_EQ(before, "開啟映像檔中...\r\n正在從這映像檔中刪除 \"映像卷 2\"...\r\n\r\n");

    const std::string info = ShellOutput("wimlib-imagex info " + Quoted(wim));
    size_t count = info.find("Image Count:");
    ASSERT_NE(count, std::string::npos) << info;
    EXPECT_EQ(std::stoi(info.substr(count + 12)), 2) << info;
    EXPECT_NE(info.find("Image 1"), std::string::npos) << info;
    EXPECT_EQ(info.find("Image 2"), std::string::npos) << info;
    EXPECT_NE(info.find("Image 3"), std::string::npos) << info;
}

}  // namespace
