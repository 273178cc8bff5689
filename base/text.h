// One string type and one literal macro for UTF-16 text in both builds.
// In the winelib build WCHAR is char16_t (built with -fno-short-wchar); in the
// mingw build it is the compiler's 2-byte wide type. Shared code never names
// either directly.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

using WString = std::basic_string<WCHAR>;
using WStringView = std::basic_string_view<WCHAR>;

#if defined(CORVANE_WINELIB)
#define WSTR_CAT(s) u##s
#else
#define WSTR_CAT(s) L##s
#endif
// WSTR("text") is a WCHAR literal in either build.
#define WSTR(s) WSTR_CAT(s)

// Fixed buffers for paths and formatted messages: 259 characters and a NUL.
constexpr int kTextBufferSize = 260;

// Conversions at the program's edges (wimlib, hivex, stdout, tests).
std::string Utf8FromWide(WStringView text);
WString WideFromUtf8(std::string_view text);

// Decimal text of a number, without the C library's wide functions.
WString DecimalText(long long value);

// Copies at most size - 1 characters and always terminates (size > 0).
void CopyToBuffer(WCHAR* buffer, size_t size, WStringView text);

// `text` cut to at most `limit` characters in its middle, with an ellipsis
// where it was cut: its start and its end (a path's file name, whole where
// it fits) stay readable. Unchanged when it fits.
WString ShortenedInMiddle(WStringView text, size_t limit);

// Equal apart from letter case, compared as the file system compares names
// (ordinal, upper-cased).
bool EqualsIgnoringCase(WStringView a, WStringView b);

// The path without one trailing backslash, if it has one.
WString WithoutTrailingBackslash(WStringView path);

// A number written in hexadecimal, read like "%x": blanks, an optional 0x,
// then digits up to the first other character. False without a digit or
// beyond 32 bits.
bool ParseHexNumber(WStringView text, DWORD& value);
