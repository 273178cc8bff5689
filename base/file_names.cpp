#include "base/file_names.h"

namespace {

bool IsBadCharacter(WCHAR c)
{
    if (c < 32)
        return true;
    for (WCHAR bad : WStringView(WSTR("<>:\"/\\|?*"))) {
        if (c == bad)
            return true;
    }
    return false;
}

WCHAR Upper(WCHAR c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}

bool IsDeviceStem(WStringView stem)
{
    WString upper;
    for (WCHAR c : stem)
        upper.push_back(Upper(c));
    while (!upper.empty() && upper.back() == ' ')
        upper.pop_back();
    for (const WCHAR* device :
         {WSTR("CON"), WSTR("PRN"), WSTR("AUX"), WSTR("NUL"), WSTR("CONIN$"), WSTR("CONOUT$")}) {
        if (upper == device)
            return true;
    }
    if (upper.size() == 4 && (upper.starts_with(WSTR("COM")) || upper.starts_with(WSTR("LPT"))))
        return upper[3] >= '1' && upper[3] <= '9';
    return false;
}

}  // namespace

NameFault WindowsNameFault(WStringView name)
{
    if (name.empty())
        return NameFault::Empty;
    if (name == WSTR(".") || name == WSTR(".."))
        return NameFault::DotName;
    for (WCHAR c : name) {
        if (IsBadCharacter(c))
            return NameFault::BadCharacter;
    }
    if (name.back() == '.' || name.back() == ' ')
        return NameFault::TrailingDotOrSpace;
    if (IsDeviceStem(name.substr(0, name.find('.'))))
        return NameFault::DeviceName;
    return NameFault::None;
}
