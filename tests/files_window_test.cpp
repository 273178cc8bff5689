// The Files page in the real window: Open fills the tree and the list, a
// header click sorts, a double-clicked folder opens in the tree, a new
// source clears what was shown, and Extract runs under the progress window.
#include "app/pages.h"
#include "base/log.h"
#include "base/resource.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/scripted_imaging.h"
#include "tests/support/window_session.h"

#include <commctrl.h>

namespace {

std::vector<std::string> Names(HWND list)
{
    std::vector<std::string> names;
    for (int row = 0; row < RowCount(list); ++row)
        names.push_back(Cell(list, row, 0));
    return names;
}

void ClickAt(HWND window, UINT down, UINT up, POINT point, bool twice = false)
{
    const LPARAM where = MAKELPARAM(point.x, point.y);
    SendMessageW(window, down, MK_LBUTTON, where);
    SendMessageW(window, up, 0, where);
    if (twice) {
        SendMessageW(window, WM_LBUTTONDBLCLK, MK_LBUTTON, where);
        SendMessageW(window, up, 0, where);
    }
}

void ClickHeader(HWND list, int column)
{
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    RECT area = {};
    SendMessageW(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(&area));
    ClickAt(header, WM_LBUTTONDOWN, WM_LBUTTONUP,
            {(area.left + area.right) / 2, (area.top + area.bottom) / 2});
}

void DoubleClickRow(HWND list, int row)
{
    RECT area = {};
    area.left = LVIR_LABEL;
    SendMessageW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&area));
    ClickAt(list, WM_LBUTTONDOWN, WM_LBUTTONUP, {area.left + 4, (area.top + area.bottom) / 2}, true);
}

int TreeCount(HWND tree)
{
    return static_cast<int>(SendMessageW(tree, TVM_GETCOUNT, 0, 0));
}

TEST(FilesWindowTest, OpenFillsTheTreeAFolderOpensAndExtractRuns)
{
    ScratchFolder folder;
    const std::string tree = folder / "tree";
    ShellOutput("set -e; mkdir -p " + Quoted(tree) + "/sub/nested " + Quoted(tree) + "/empty " +
                Quoted(folder / "out") + "; cd " + Quoted(tree) +
                "; printf hello > a.txt; printf c > c.txt; head -c 70000 /dev/urandom > big.bin"
                "; printf inside > sub/inner.txt");
    const std::string wim = folder / "files.wim";
    ShellOutput("wimlib-imagex capture " + Quoted(tree) + " " + Quoted(wim) + " Files --compress=none");

    MainWindowSession session;
    ASSERT_TRUE(session.started());
    session.SelectTab(kPageFiles);
    HWND list = session.control(IDC_FILES_LIST);
    HWND folders = session.control(IDC_FILES_TREE);
    TypeOver(session.control(IDC_FILES_SOURCE), DosPath(wim));
    ASSERT_TRUE(Click(session.control(IDC_FILES_OPEN)));
    ASSERT_TRUE(WaitFor([&] { return RowCount(list) == 5; })) << RowCount(list);
    // The root and its two folders; folders first, then by name.
    EXPECT_EQ(TreeCount(folders), 3);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"empty", "sub", "a.txt", "big.bin", "c.txt"}));
    EXPECT_EQ(Cell(list, 3, 1), "70000");
    EXPECT_EQ(Cell(list, 0, 1), "");

    // Size sorts small to large, then, clicked again, large to small;
    // folders stay first.
    ClickHeader(list, 1);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"empty", "sub", "c.txt", "a.txt", "big.bin"}));
    ClickHeader(list, 1);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"empty", "sub", "big.bin", "a.txt", "c.txt"}));

    DoubleClickRow(list, 1);
    ASSERT_TRUE(WaitFor([&] { return FilesListFolder() == WSTR("\\sub") && RowCount(list) == 2; }))
        << Narrow(FilesListFolder());
    EXPECT_EQ(Names(list), (std::vector<std::string>{"nested", "inner.txt"}));
    EXPECT_EQ(TreeCount(folders), 4);

    // Extract with one entry selected: it runs under the progress window.
    TypeOver(session.control(IDC_FILES_TARGET), DosPath(folder / "out"));
    LVITEMW select = {};
    select.stateMask = select.state = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&select));
    PostClick(session.control(IDC_FILES_EXTRACT));
    HWND progress = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (progress = Task().progressWindow) != nullptr; }));
    WCHAR close[kTextBufferSize];
    LoadTableString(IDS_CLOSE, close);
    // Ended: the run has written its log and the button reads Close again.
    ASSERT_TRUE(WaitFor(
        [&] {
            return !Task().busy && !WindowText(GetDlgItem(progress, IDC_PROGRESS_LOG)).empty() &&
                   WindowText(GetDlgItem(progress, IDC_PROGRESS_BUTTON)) == close;
        },
        60000));
    const std::string log = Narrow(WindowText(GetDlgItem(progress, IDC_PROGRESS_LOG)));
    ClickProgressButton(progress);
    ASSERT_TRUE(WaitFor([] { return Task().progressWindow == nullptr; }));
    EXPECT_EQ(ShellOutput("cat " + Quoted(folder / "out/inner.txt")), "inside") << log;
    WCHAR line[kTextBufferSize];
    EXPECT_NE(log.find(Narrow(LoadMessage(line, IDS_EXTRACT_ITEM_LINE, WSTR("\\sub\\inner.txt")))),
              std::string::npos)
        << log;

    // Another source typed in: what was shown goes.
    TypeOver(session.control(IDC_FILES_SOURCE), DosPath(folder / "other.wim"));
    EXPECT_EQ(RowCount(list), 0);
    EXPECT_EQ(TreeCount(folders), 0);
}

}  // namespace
