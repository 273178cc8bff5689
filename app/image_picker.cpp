// The image picker: one row per image of a WIM file, read from the file's
// XML information. Runs on the user-interface thread, without a callback.
#include "app/pages.h"

#include "base/language.h"
#include "base/log.h"
#include "base/resource.h"
#include "base/user_path.h"
#include "imaging/wimgapi.h"
#include "metadata/image_info.h"
#include "metadata/xml.h"
#include "operations/imaging_handles.h"
#include "operations/split_set.h"

#include <commctrl.h>

namespace {

// Column text from a child element's text as the user typed it, or "N/A"
// when there is none; copied through a 260-character buffer.
void SetChildCell(HWND list, int row, int column, const XmlElement* image, const WCHAR* childName)
{
    WCHAR text[kTextBufferSize];
    const XmlElement* child = FindChild(image, childName);
    if (child != nullptr)
        CopyToBuffer(text, kTextBufferSize, XmlTextValue(child->text));
    else
        LoadTableString(IDS_NOT_AVAILABLE, text);
    SetListCell(list, row, column, text);
}

// Rows for the first `count` IMAGE children of the root; false when the
// document holds fewer.
bool FillRows(HWND list, const XmlDocument* document, DWORD count)
{
    DWORD rows = 0;
    for (const XmlElement* element = document->root->firstChild; element != nullptr && rows < count;
         element = element->nextSibling) {
        if (element->name != WSTR("IMAGE"))
            continue;
        WString number = DecimalText(rows + 1);
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(rows);
        item.pszText = number.data();
        int row = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        SetChildCell(list, row, 1, element, WSTR("NAME"));
        SetChildCell(list, row, 2, element, WSTR("DESCRIPTION"));
        ++rows;
    }
    return rows == count;
}

// Fills the list; false when the dialog has to end at once.
bool InitialisePicker(HWND dialog)
{
    TaskState& task = Task();
    HWND list = GetDlgItem(dialog, IDC_PICKER_LIST);

    UserPath path;
    if (!TakeUserPath(path, task.pickerWimPath, PathForm::Full))
        return false;
    SplitSet set;
    if (!FindSplitSet(path.text, set))
        return false;
    const WimHandle wim(WIMCreateFile(set.firstPart.c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING,
                                      WIM_FLAG_SOLID, 0, nullptr));
    size_t failedPart = 0;
    if (!wim || !ReferenceFurtherParts(wim.get(), set, 0, failedPart))
        return false;

    WIM_INFO info = {};
    PVOID xml = nullptr;
    DWORD xmlBytes = 0;
    if (!WIMGetAttributes(wim.get(), &info, sizeof info) ||
        !WIMGetImageInformation(wim.get(), &xml, &xmlBytes))
        return false;
    WString text(static_cast<const WCHAR*>(xml), xmlBytes / sizeof(WCHAR));
    LocalFree(xml);

    XmlDocument* document = CreateDocument();
    if (!ParseXml(document, text.c_str())) {
        ShowXmlParseFailure(task);
        DestroyDocument(document);
        return false;
    }

    CreateListColumns(list, {IDS_COLUMN_IMAGE, IDS_COLUMN_NAME, IDS_COLUMN_DESCRIPTION});
    if (info.ImageCount != 0 && !FillRows(list, document, info.ImageCount)) {
        ShowXmlParseFailure(task);
        DestroyDocument(document);
        return false;
    }
    DestroyDocument(document);

    SizeColumnToHeader(list, 0);
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 1, LVSCW_AUTOSIZE);
    SizeColumnToHeader(list, 2);

    int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    int preselected = task.pickerIndex - 1;
    if (preselected >= 0 && preselected < rows) {
        SendMessageW(list, LVM_ENSUREVISIBLE, preselected, FALSE);
        LVITEMW state = {};
        state.stateMask = LVIS_SELECTED;
        state.state = LVIS_SELECTED;
        SendMessageW(list, LVM_SETITEMSTATE, preselected, reinterpret_cast<LPARAM>(&state));
    }
    return true;
}

INT_PTR CALLBACK PickerProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        if (!InitialisePicker(dialog))
            EndDialog(dialog, 0);
        return TRUE;
    case WM_COMMAND:
        // Only Select closes: no close box, and Escape is ignored.
        if (LOWORD(wParam) == IDC_PICKER_SELECT) {
            int row = static_cast<int>(SendDlgItemMessageW(dialog, IDC_PICKER_LIST, LVM_GETNEXTITEM,
                                                           static_cast<WPARAM>(-1), LVNI_SELECTED));
            if (row >= 0)
                Task().pickerIndex = row + 1;
            EndDialog(dialog, 1);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

INT_PTR RunImagePicker(HWND owner)
{
    return DialogBoxIndirectParamW(g_instance, LoadDialogTemplate(IDD_PICKER), owner, PickerProc, 0);
}
