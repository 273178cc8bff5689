#include "base/language.h"

#include "base/task_state.h"
#include "base/text.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<LANGID> currentLanguage{kLanguageChinese};

bool SameAsciiText(const WCHAR* a, const char* b)
{
    for (; *a != 0 && *b != 0; ++a, ++b) {
        WCHAR left = (*a >= 'A' && *a <= 'Z') ? static_cast<WCHAR>(*a - 'A' + 'a') : *a;
        char right = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (left != static_cast<WCHAR>(right))
            return false;
    }
    return *a == 0 && *b == 0;
}

const void* FindInLanguage(LPCWSTR type, UINT id, LANGID language, DWORD* size)
{
    HRSRC found = FindResourceExW(g_instance, type, MAKEINTRESOURCEW(id), language);
    if (found == nullptr)
        return nullptr;
    HGLOBAL loaded = LoadResource(g_instance, found);
    if (loaded == nullptr)
        return nullptr;
    if (size != nullptr)
        *size = SizeofResource(g_instance, found);
    return LockResource(loaded);
}

}  // namespace

LANGID ChooseLanguage(const WCHAR* override, LANGID userLanguage)
{
    if (override != nullptr) {
        if (SameAsciiText(override, "en"))
            return kLanguageEnglish;
        if (SameAsciiText(override, "zh-TW"))
            return kLanguageChinese;
    }
    return PRIMARYLANGID(userLanguage) == LANG_CHINESE ? kLanguageChinese : kLanguageEnglish;
}

void SelectLanguage()
{
    WCHAR override[16] = {};
    DWORD length = GetEnvironmentVariableW(WSTR("CORVANE_LANG"), override, 16);
    const WCHAR* given = (length > 0 && length < 16) ? override : nullptr;
    SetCurrentLanguage(ChooseLanguage(given, GetUserDefaultUILanguage()));
    ApplyLanguageToThread();
}

LANGID CurrentLanguage()
{
    return currentLanguage.load();
}

void SetCurrentLanguage(LANGID language)
{
    currentLanguage.store(language);
}

void ApplyLanguageToThread()
{
    LANGID language = CurrentLanguage();
    SetThreadUILanguage(language);
    // A double-NUL list of one language name.
    WCHAR names[LOCALE_NAME_MAX_LENGTH + 1] = {};
    if (LCIDToLocaleName(MAKELCID(language, SORT_DEFAULT), names, LOCALE_NAME_MAX_LENGTH, 0) > 0)
        SetThreadPreferredUILanguages(MUI_LANGUAGE_NAME, names, nullptr);
}

void SetReportTabStops(HWND edit)
{
    if (CurrentLanguage() == kLanguageChinese)
        return;
    UINT interval = 56;  // dialog units; the default is 32
    SendMessageW(edit, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&interval));
}

const void* LoadLanguageResource(LPCWSTR type, UINT id, DWORD* size)
{
    const void* data = FindInLanguage(type, id, CurrentLanguage(), size);
    if (data == nullptr && CurrentLanguage() != kLanguageChinese)
        data = FindInLanguage(type, id, kLanguageChinese, size);
    return data;
}

int LoadStringOfLanguage(UINT id, LANGID language, WCHAR* buffer, int size)
{
    if (size <= 0)
        return -1;
    buffer[0] = 0;
    // Strings are stored sixteen to a block, each as a length and its text.
    DWORD blockSize = 0;
    const auto* block = static_cast<const WCHAR*>(
        FindInLanguage(reinterpret_cast<LPCWSTR>(RT_STRING), id / 16 + 1, language, &blockSize));
    if (block == nullptr)
        return -1;
    const WCHAR* end = block + blockSize / sizeof(WCHAR);
    const WCHAR* entry = block;
    for (UINT i = 0; i < id % 16; ++i) {
        if (entry >= end)
            return -1;
        entry += 1 + *entry;
    }
    if (entry >= end || *entry == 0 || entry + 1 + *entry > end)
        return -1;
    int length = *entry;
    int copied = length < size - 1 ? length : size - 1;
    std::memcpy(buffer, entry + 1, static_cast<size_t>(copied) * sizeof(WCHAR));
    buffer[copied] = 0;
    return length;
}
