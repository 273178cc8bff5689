#include "base/text_box.h"

#include "base/text.h"

#include <array>
#include <iterator>

namespace {

// What a box's two scroll bars look like: where each is, its arrows, its
// thumb and the state of each part. Equal looks draw the same pixels.
using BarLook = std::array<SCROLLBARINFO, 2>;

BarLook TakeBarLook(HWND edit)
{
    BarLook look = {};
    const LONG bars[] = {OBJID_VSCROLL, OBJID_HSCROLL};
    for (size_t bar = 0; bar < look.size(); ++bar) {
        look[bar].cbSize = sizeof look[bar];
        if (!GetScrollBarInfo(edit, bars[bar], &look[bar]))
            look[bar] = {};
    }
    return look;
}

bool SameLook(const BarLook& before, const BarLook& after)
{
    for (size_t bar = 0; bar < before.size(); ++bar) {
        const SCROLLBARINFO &a = before[bar], &b = after[bar];
        if (!EqualRect(&a.rcScrollBar, &b.rcScrollBar) || a.dxyLineButton != b.dxyLineButton ||
            a.xyThumbTop != b.xyThumbTop || a.xyThumbBottom != b.xyThumbBottom ||
            a.rgstate[0] != b.rgstate[0])
            return false;
        // Whether a part is visible follows from the places compared above;
        // the library reports it differently for bars that draw alike.
        for (size_t part = 1; part < std::size(a.rgstate); ++part) {
            if ((a.rgstate[part] & ~STATE_SYSTEM_INVISIBLE) != (b.rgstate[part] & ~STATE_SYSTEM_INVISIBLE))
                return false;
        }
    }
    return true;
}

// A hidden box scrolls no pixels, so the library leaves its caret where it
// was: put it where the shown box would have moved it, with the text.
void PlaceCaretWithText(HWND edit)
{
    if (GetFocus() != edit)
        return;
    DWORD end = 0;
    SendMessageW(edit, EM_GETSEL, 0, reinterpret_cast<LPARAM>(&end));
    const LRESULT place = SendMessageW(edit, EM_POSFROMCHAR, end, 0);
    SetCaretPos(static_cast<short>(LOWORD(place)), static_cast<short>(HIWORD(place)));
}

// Hidden while the text changes, so that it draws nothing on the way; the
// hiding and showing redraw nothing either, leaving the focus where it was.
template <typename Change>
void ChangeBoxText(HWND edit, bool showEnd, const Change& change)
{
    const bool shown = IsWindowVisible(edit) != FALSE;
    // A box not painted yet since it was shown (its window just opened) loses
    // that pending paint, frame included, when it is hidden.
    const bool unpainted = shown && GetUpdateRect(edit, nullptr, FALSE) != FALSE;
    const BarLook before = TakeBarLook(edit);
    const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW;
    if (shown)
        SetWindowPos(edit, nullptr, 0, 0, 0, 0, keep | SWP_HIDEWINDOW);
    change();
    if (showEnd)
        SendMessageW(edit, WM_VSCROLL, SB_BOTTOM, 0);
    if (!shown)
        return;
    if (showEnd)
        PlaceCaretWithText(edit);
    SetWindowPos(edit, nullptr, 0, 0, 0, 0, keep | SWP_SHOWWINDOW);
    const UINT frame = !unpainted && SameLook(before, TakeBarLook(edit)) ? 0 : RDW_FRAME;
    RedrawWindow(edit, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | frame);
}

// How much of `text` the box already holds: the length of its own text when
// `text` begins with it, else 0.
size_t HeldBeginning(HWND edit, const WCHAR* text)
{
    const int length = GetWindowTextLengthW(edit);
    if (length <= 0)
        return 0;
    WString held(static_cast<size_t>(length), 0);
    held.resize(static_cast<size_t>(GetWindowTextW(edit, held.data(), length + 1)));
    return WStringView(text).starts_with(held) ? held.size() : 0;
}

// Adds `more` at the end of the box's text, where the library lays out only
// the new lines; the user's selection stays.
void AppendBoxText(HWND edit, size_t held, const WCHAR* more)
{
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);  // a log is as long as it grows
    SendMessageW(edit, EM_SETSEL, held, held);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(more));
    SendMessageW(edit, EM_SETSEL, start, end);
}

}  // namespace

void SetReportText(HWND edit, const WCHAR* text)
{
    ChangeBoxText(edit, false, [&] { SetWindowTextW(edit, text); });
}

void SetLogText(HWND edit, const WCHAR* text)
{
    // A growing log takes only its new lines: set whole, each change would
    // lay out every line again (about 0.3 s for 3,000 lines under Wine).
    const size_t held = HeldBeginning(edit, text);
    ChangeBoxText(edit, true, [&] {
        if (held == 0)
            SetWindowTextW(edit, text);
        else if (text[held] != 0)
            AppendBoxText(edit, held, text + held);
    });
}
