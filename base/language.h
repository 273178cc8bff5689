// The interface language: Traditional Chinese or English, chosen once at
// start from the user's interface language, or from CORVANE_LANG. Every
// string and dialog template is loaded in this language explicitly, so the
// choice holds on any thread and does not depend on how the system ranks
// resource languages.
#pragma once

#include <windows.h>

constexpr LANGID kLanguageChinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);
constexpr LANGID kLanguageEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// Chinese for any Chinese interface language, English for any other. An
// override of "en" or "zh-TW" (any letter case) wins; any other override is
// ignored. `override` may be null.
LANGID ChooseLanguage(const WCHAR* override, LANGID userLanguage);

// Chooses from CORVANE_LANG and the user's interface language, makes it the
// process's language and the calling thread's.
void SelectLanguage();

// The process's language (Chinese until chosen) and setting it, for tests.
LANGID CurrentLanguage();
void SetCurrentLanguage(LANGID language);

// Makes the calling thread's interface language the process's (for what the
// system itself loads on that thread, such as the common dialogs).
void ApplyLanguageToThread();

// English labels are wider than the Chinese ones the tab stops of the log
// and report were made for: in English, `edit` gets wider tab stops so that
// the values after one or two tabs still line up. Nothing in Chinese.
void SetReportTabStops(HWND edit);

// Resource `id` of `type` in the process's language, else in Chinese.
const void* LoadLanguageResource(LPCWSTR type, UINT id, DWORD* size = nullptr);

// Dialog template `id` in the process's language; null if there is none.
inline const DLGTEMPLATE* LoadDialogTemplate(UINT id)
{
    return static_cast<const DLGTEMPLATE*>(LoadLanguageResource(reinterpret_cast<LPCWSTR>(RT_DIALOG), id));
}

// String-table entry `id` of language `language` exactly, copied into `buffer`
// of `size` characters (cut to fit). Returns its length, or -1 if the entry
// is missing or empty.
int LoadStringOfLanguage(UINT id, LANGID language, WCHAR* buffer, int size);
