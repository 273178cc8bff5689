// The Mount page's list of mounted images, shown anew after a mount or an
// unmount and when an operation finds it out of date.
#include "app/pages.h"

#include "base/log.h"
#include "base/resource.h"
#include "operations/mounted_images.h"

#include <commctrl.h>

#include <vector>

void SetListCell(HWND list, int row, int column, const WCHAR* text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<WCHAR*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

void SizeColumnToHeader(HWND list, int column)
{
    SendMessageW(list, LVM_SETCOLUMNWIDTH, column, LVSCW_AUTOSIZE_USEHEADER);
    // Wine's list view measures the header text one pixel short of the
    // margins its header draws with, so the header shows an ellipsis.
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    WCHAR text[kTextBufferSize] = {};
    HDITEMW item = {};
    item.mask = HDI_TEXT;
    item.pszText = text;
    item.cchTextMax = kTextBufferSize;
    if (header == nullptr || !SendMessageW(header, HDM_GETITEMW, column, reinterpret_cast<LPARAM>(&item)))
        return;
    HDC dc = GetDC(header);
    HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(header, WM_GETFONT, 0, 0)));
    SIZE size = {};
    GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
    SelectObject(dc, previous);
    ReleaseDC(header, dc);
    int needed = size.cx + 6 * GetSystemMetrics(SM_CXEDGE) + 2;
    if (SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0) < needed)
        SendMessageW(list, LVM_SETCOLUMNWIDTH, column, needed);
}

void CreateListColumns(HWND list, std::initializer_list<UINT> headers)
{
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_REGIONAL);
    WCHAR header[kTextBufferSize];
    int index = 0;
    for (UINT headerId : headers) {
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = 70;
        column.pszText = LoadTableString(headerId, header);
        column.iSubItem = index;
        SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
        ++index;
    }
}

void CreateMountListColumns(HWND list)
{
    CreateListColumns(list,
                      {IDS_COLUMN_READ_WRITE, IDS_COLUMN_MOUNT_POINT, IDS_COLUMN_WIM_FILE, IDS_COLUMN_IMAGE});
    for (int i = 0; i < 4; ++i)
        SizeColumnToHeader(list, i);
}

void RefreshMountList()
{
    HWND list = GetDlgItem(Task().pageWindow, IDC_MOUNT_LIST);
    if (list == nullptr)
        return;
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);

    std::vector<MountedImage> mounted;
    if (!ReadMountedImages(mounted))
        return;
    for (size_t i = 0; i < mounted.size(); ++i) {
        const MountedImage& entry = mounted[i];
        WCHAR mode[4];
        CopyToBuffer(mode, 4, entry.readWrite ? WSTR("R/W") : WSTR("R"));
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = mode;
        int row = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        SetListCell(list, row, 1, entry.mountPath.c_str());
        SetListCell(list, row, 2, entry.wimPath.c_str());
        SetListCell(list, row, 3, DecimalText(entry.imageIndex).c_str());
    }
    if (!mounted.empty()) {
        SizeColumnToHeader(list, 0);
        SendMessageW(list, LVM_SETCOLUMNWIDTH, 1, LVSCW_AUTOSIZE);
        SendMessageW(list, LVM_SETCOLUMNWIDTH, 2, LVSCW_AUTOSIZE);
        SizeColumnToHeader(list, 3);
    }
}
