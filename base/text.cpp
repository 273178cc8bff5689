#include "base/text.h"

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

WString ShortenedInMiddle(WStringView text, size_t limit)
{
    if (text.size() <= limit)
        return WString(text);
    if (limit < 3)
        return WString(text.substr(0, limit));
    const size_t room = limit - 1;  // one for the ellipsis
    // The end from the last backslash on, when that leaves a start worth
    // reading; else an even share.
    size_t tail = room / 2;
    const size_t slash = text.find_last_of(WSTR('\\'));
    if (slash != WStringView::npos && text.size() - slash <= room - room / 4)
        tail = std::max(tail, text.size() - slash);
    // Neither side keeps half of a surrogate pair.
    size_t head = room - tail;
    if (head > 0 && IS_HIGH_SURROGATE(text[head - 1]))
        --head;
    size_t tailStart = text.size() - tail;
    if (IS_LOW_SURROGATE(text[tailStart]))
        ++tailStart;
    WString shortened(text.substr(0, head));
    shortened += WCHAR{0x2026};
    shortened += text.substr(tailStart);
    return shortened;
}

bool EqualsIgnoringCase(WStringView a, WStringView b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

WString WithoutTrailingBackslash(WStringView path)
{
    if (!path.empty() && path.back() == WSTR('\\'))
        path.remove_suffix(1);
    return WString(path);
}

bool ParseHexNumber(WStringView text, DWORD& value)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= 0x09 && text[i] <= 0x0D)))
        ++i;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        i += 2;
    uint64_t number = 0;
    size_t digits = 0;
    for (; i < text.size(); ++i, ++digits) {
        WCHAR c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        number = number * 16 + digit;
        if (number > 0xFFFFFFFFull)
            return false;
    }
    if (digits == 0)
        return false;
    value = static_cast<DWORD>(number);
    return true;
}
