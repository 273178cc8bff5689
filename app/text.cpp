#include "app/text.h"

#include <algorithm>

std::string Utf8FromWide(WStringView text)
{
    if (text.empty())
        return {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr,
                        nullptr);
    return out;
}

WString WideFromUtf8(std::string_view text)
{
    if (text.empty())
        return {};
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    WString out(static_cast<size_t>(units), WCHAR{});
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
    return out;
}

WString DecimalText(long long value)
{
    WCHAR digits[24];
    int length = 0;
    unsigned long long magnitude =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    do {
        digits[length++] = static_cast<WCHAR>(WSTR('0') + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        digits[length++] = WSTR('-');
    std::reverse(digits, digits + length);
    return WString(digits, static_cast<size_t>(length));
}

void CopyToBuffer(WCHAR* buffer, size_t size, WStringView text)
{
    size_t count = std::min(text.size(), size - 1);
    std::copy_n(text.data(), count, buffer);
    buffer[count] = 0;
}
