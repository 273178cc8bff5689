// The two interface languages: the compiled resources hold every string and
// dialog in both with the same ids and inserts, the language is chosen as
// the user expects, the English window shows no Chinese, and files dropped
// on a page fill the right field.
#include "app/descriptors.h"
#include "app/pages.h"
#include "base/language.h"
#include "base/log.h"
#include "base/resource.h"
#include "tests/gtest_support.h"
#include "tests/support/window_session.h"

#include <commctrl.h>
#include <shlobj.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

bool HasHan(const WString& text)
{
    for (WCHAR c : text) {
        if ((c >= 0x3000 && c <= 0x9FFF) || (c >= 0xFF00 && c <= 0xFFEF))
            return true;
    }
    return false;
}

// What must match between the languages: each insert (%1, %2!d!, ...),
// each run of tabs and each line end, in order; other text is free. How many
// tabs a run holds follows the width of the label before it.
std::string Skeleton(const WString& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        WCHAR c = text[i];
        if (c == '\t') {
            if (i == 0 || text[i - 1] != '\t')
                out += "<tab>";
        } else if (c == '\r' || c == '\n') {
            out += c == '\r' ? "<cr>" : "<lf>";
        } else if (c == '%' && i + 1 < text.size()) {
            WCHAR next = text[++i];
            out += '%';
            out += static_cast<char>(next);
            if (next >= '1' && next <= '9' && i + 1 < text.size() && text[i + 1] == '!') {
                size_t end = text.find(WCHAR('!'), i + 2);
                if (end != WString::npos) {
                    for (size_t j = i + 1; j <= end; ++j)
                        out += static_cast<char>(text[j]);
                    i = end;
                }
            }
        }
    }
    return out;
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR parameter)
{
    if (IS_INTRESOURCE(name))
        reinterpret_cast<std::vector<UINT>*>(parameter)->push_back(
            static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name)));
    return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR parameter)
{
    reinterpret_cast<std::set<LANGID>*>(parameter)->insert(language);
    return TRUE;
}

std::vector<UINT> ResourceIds(LPCWSTR type)
{
    std::vector<UINT> ids;
    EnumResourceNamesW(g_instance, type, CollectName, reinterpret_cast<LONG_PTR>(&ids));
    return ids;
}

std::set<LANGID> LanguagesOf(LPCWSTR type, UINT id)
{
    std::set<LANGID> languages;
    EnumResourceLanguagesW(g_instance, type, MAKEINTRESOURCEW(id), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

// Every entry of every compiled string block, in both languages.
TEST(LanguageResourceTest, EveryStringExistsInBothLanguagesWithTheSameInserts)
{
    const auto stringType = reinterpret_cast<LPCWSTR>(RT_STRING);
    std::vector<UINT> blocks = ResourceIds(stringType);
    ASSERT_GE(blocks.size(), 8u) << "the string table was not found";
    int compared = 0;
    for (UINT block : blocks) {
        EXPECT_EQ(LanguagesOf(stringType, block), (std::set<LANGID>{kLanguageChinese, kLanguageEnglish}))
            << "string block " << block;
        for (UINT id = (block - 1) * 16; id < block * 16; ++id) {
            WCHAR chinese[kTextBufferSize];
            WCHAR english[kTextBufferSize];
            bool inChinese = LoadStringOfLanguage(id, kLanguageChinese, chinese, kTextBufferSize) > 0;
            bool inEnglish = LoadStringOfLanguage(id, kLanguageEnglish, english, kTextBufferSize) > 0;
            EXPECT_EQ(inChinese, inEnglish) << "string " << id << " exists in one language only";
            if (!inChinese || !inEnglish)
                continue;
            ++compared;
            EXPECT_EQ(Skeleton(english), Skeleton(chinese))
                << "string " << id << ": " << Utf8FromWide(english);
            EXPECT_FALSE(HasHan(english)) << "string " << id << ": " << Utf8FromWide(english);
        }
    }
    EXPECT_GE(compared, 100);
}

// A dialog's controls as "id class" in creation order.
std::vector<std::string> Controls(HWND dialog, std::vector<WString>* texts = nullptr)
{
    std::vector<std::string> controls;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        WCHAR name[64] = {};
        GetClassNameW(child, name, 64);
        controls.push_back(std::to_string(GetDlgCtrlID(child)) + " " + Utf8FromWide(name));
        if (texts != nullptr)
            texts->push_back(WindowText(child));
    }
    return controls;
}

INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG;
}

// Pages are child dialogs: they get a hidden parent.
HWND CreateInLanguage(UINT id, LANGID language, HWND parent)
{
    SetCurrentLanguage(language);
    const DLGTEMPLATE* dialog = LoadDialogTemplate(id);
    SetCurrentLanguage(kLanguageChinese);
    if (dialog == nullptr)
        return nullptr;
    // A DIALOGEX template has its style after the help id and extended style.
    bool extended = reinterpret_cast<const WORD*>(dialog)[1] == 0xFFFF;
    DWORD style = extended ? reinterpret_cast<const DWORD*>(dialog)[3] : dialog->style;
    return CreateDialogIndirectParamW(g_instance, dialog, (style & WS_CHILD) ? parent : nullptr, PlainDialog,
                                      0);
}

// Every compiled dialog, created in each language.
TEST(LanguageResourceTest, EveryDialogHasTheSameControlsInBothLanguages)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    const auto dialogType = reinterpret_cast<LPCWSTR>(RT_DIALOG);
    std::vector<UINT> dialogs = ResourceIds(dialogType);
    ASSERT_EQ(dialogs.size(), 13u);
    HWND parent = CreateWindowExW(0, WSTR("STATIC"), WSTR(""), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  g_instance, nullptr);
    for (UINT id : dialogs) {
        EXPECT_EQ(LanguagesOf(dialogType, id), (std::set<LANGID>{kLanguageChinese, kLanguageEnglish}))
            << "dialog " << id;
        HWND chinese = CreateInLanguage(id, kLanguageChinese, parent);
        HWND english = CreateInLanguage(id, kLanguageEnglish, parent);
        ASSERT_NE(chinese, nullptr) << id;
        ASSERT_NE(english, nullptr) << id;
        std::vector<WString> texts;
        EXPECT_EQ(Controls(english, &texts), Controls(chinese)) << "dialog " << id;
        texts.push_back(WindowText(english));
        for (const WString& text : texts)
            EXPECT_FALSE(HasHan(text)) << "dialog " << id << ": " << Utf8FromWide(text);
        DestroyWindow(chinese);
        DestroyWindow(english);
    }
    DestroyWindow(parent);
}

std::string ClassOf(HWND control)
{
    WCHAR name[64] = {};
    GetClassNameW(control, name, 64);
    return Utf8FromWide(name);
}

bool IsPushButton(HWND control)
{
    const LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    return ClassOf(control) == "Button" && (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
}

bool IsCheckBox(HWND control)
{
    const LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    return ClassOf(control) == "Button" && (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX);
}

// What a page row names must be on its template in either language, of the
// kind the row treats it as; every push button on a page is some row's, once.
TEST(DescriptorTableTest, EveryRowsControlsAreOnItsPageAndEveryButtonHasARow)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    HWND parent = CreateWindowExW(0, WSTR("STATIC"), WSTR(""), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  g_instance, nullptr);
    ASSERT_GE(PageDescriptors().size(), 9u);
    std::set<UINT> operationsSeen;
    for (const PageDescriptor& row : PageDescriptors()) {
        for (LANGID language : {kLanguageChinese, kLanguageEnglish}) {
            HWND page = CreateInLanguage(row.templateId, language, parent);
            ASSERT_NE(page, nullptr) << "page " << row.templateId << ", language " << language;
            std::map<int, int> claims;  // control id, rows that name it as a button
            auto expect = [&](int id, bool (*kind)(HWND), const char* what) {
                HWND control = GetDlgItem(page, id);
                EXPECT_TRUE(control != nullptr && kind(control))
                    << "page " << row.templateId << " (" << language << "): " << what << " " << id;
            };
            auto edit = +[](HWND c) { return ClassOf(c) == "Edit"; };
            auto combo = +[](HWND c) { return ClassOf(c) == "ComboBox"; };
            auto upDown = +[](HWND c) { return ClassOf(c) == "msctls_updown32"; };
            auto button = +[](HWND c) { return IsPushButton(c); };
            for (const TextBinding& text : row.texts)
                expect(text.control, edit, "text");
            for (const ComboBinding& binding : row.combos)
                expect(binding.control, combo, "combo");
            for (const IndexBinding& index : row.indexes) {
                expect(index.edit, edit, "index edit");
                expect(index.upDown, upDown, "index arrows");
            }
            for (const FlagBinding& flag : row.flags)
                expect(flag.control, IsCheckBox, "flag");
            for (const BrowseButton& browse : row.browseButtons) {
                expect(browse.button, button, "Browse button");
                expect(browse.edit, edit, "Browse edit");
                ++claims[browse.button];
            }
            for (const SelectButton& select : row.selectButtons) {
                expect(select.button, button, "Select button");
                expect(select.wimEdit, edit, "Select's WIM edit");
                expect(select.upDown, upDown, "Select's arrows");
                ++claims[select.button];
            }
            for (const PageAction& action : row.actions) {
                EXPECT_NE(GetDlgItem(page, action.button), nullptr)
                    << "page " << row.templateId << ": action " << action.button;
                ++claims[action.button];
            }
            if (row.wimField != 0)
                expect(row.wimField, edit, "WIM field");
            if (row.staleOnNewPath != 0)
                expect(row.staleOnNewPath, edit, "report");
            for (const OperationEntry& operation : OperationDescriptors()) {
                if (operation.pageTemplate != row.templateId)
                    continue;
                expect(static_cast<int>(operation.commandId), button, "operation button");
                ++claims[static_cast<int>(operation.commandId)];
                operationsSeen.insert(operation.commandId);
            }
            for (HWND child = GetWindow(page, GW_CHILD); child != nullptr;
                 child = GetWindow(child, GW_HWNDNEXT)) {
                if (!IsPushButton(child))
                    continue;
                EXPECT_EQ(claims[GetDlgCtrlID(child)], 1)
                    << "page " << row.templateId << ": button " << GetDlgCtrlID(child) << " "
                    << Utf8FromWide(WindowText(child));
            }
            DestroyWindow(page);
        }
    }
    DestroyWindow(parent);
    // Every operation sits on a page of the table and is found by its button.
    for (const OperationEntry& operation : OperationDescriptors()) {
        EXPECT_TRUE(operationsSeen.count(operation.commandId)) << "operation " << operation.commandId;
        EXPECT_EQ(FindOperation(operation.commandId), &operation) << "operation " << operation.commandId;
    }
}

// The settings an operation logs before it starts, in English: every value
// starts at the same tab stop, whatever the length of its label.
TEST(LanguageResourceTest, EnglishLogValuesLineUpOnOneTabStop)
{
    const UINT lines[] = {189, 190, 191, 192, 193, 194, 195,
                          196, 197, 198, 205, 213, 253, IDS_EXPORT_ALL_IMAGES_LINE};
    SetCurrentLanguage(kLanguageEnglish);
    HWND window = CreateInLanguage(IDD_PROGRESS, kLanguageEnglish, nullptr);
    ASSERT_NE(window, nullptr);
    HWND log = GetDlgItem(window, IDC_PROGRESS_LOG);
    SetReportTabStops(log);
    WString text;
    std::vector<size_t> valueStarts;
    for (UINT id : lines) {
        WCHAR line[kTextBufferSize];
        ASSERT_GT(LoadStringOfLanguage(id, kLanguageEnglish, line, kTextBufferSize), 0) << id;
        WString entry = line;
        const size_t lastTab = entry.rfind(WCHAR('\t'));
        ASSERT_NE(lastTab, WString::npos) << id;
        valueStarts.push_back(text.size() + lastTab + 1);
        text += entry + WSTR("\r\n");
    }
    SetWindowTextW(log, text.c_str());
    std::vector<int> lefts;
    for (size_t start : valueStarts)
        lefts.push_back(LOWORD(SendMessageW(log, EM_POSFROMCHAR, start, 0)));
    for (size_t i = 0; i < lefts.size(); ++i)
        EXPECT_EQ(lefts[i], lefts[0]) << "string " << lines[i] << " against string " << lines[0];
    DestroyWindow(window);
    SetCurrentLanguage(kLanguageChinese);
}

TEST(LanguageChoiceTest, ChineseForAnyChineseEnglishOtherwiseOverrideWins)
{
    struct Case {
        const char* override;  // null: CORVANE_LANG not set
        LANGID user;
        LANGID expected;
    };
    const LANGID taiwan = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);
    const LANGID china = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
    const LANGID hongKong = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_HONGKONG);
    const LANGID us = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    const LANGID german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
    const LANGID japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    const Case cases[] = {
        {nullptr, taiwan, kLanguageChinese},
        {nullptr, china, kLanguageChinese},
        {nullptr, hongKong, kLanguageChinese},
        {nullptr, us, kLanguageEnglish},
        {nullptr, german, kLanguageEnglish},
        {nullptr, japanese, kLanguageEnglish},
        {nullptr, LANG_NEUTRAL, kLanguageEnglish},
        {"en", taiwan, kLanguageEnglish},
        {"EN", china, kLanguageEnglish},
        {"zh-TW", us, kLanguageChinese},
        {"zh-tw", german, kLanguageChinese},
        {"fr", taiwan, kLanguageChinese},  // not a language of ours: ignored
        {"fr", us, kLanguageEnglish},
        {"", german, kLanguageEnglish},
        {"english", taiwan, kLanguageChinese},
    };
    for (const Case& c : cases) {
        WString override = c.override ? WideFromUtf8(c.override) : WString();
        EXPECT_EQ(ChooseLanguage(c.override ? override.c_str() : nullptr, c.user), c.expected)
            << (c.override ? c.override : "(none)") << " / " << std::hex << c.user;
    }
}

TEST(LanguageChoiceTest, TheEnvironmentOverrideReachesStringsOnEveryThread)
{
    struct Case {
        const char* value;
        const char* tabLabel;  // string 218
    };
    const Case cases[] = {{"en", "Capture"}, {"zh-TW", "製作"}};
    for (const Case& c : cases) {
        SetEnvironmentVariableW(WSTR("CORVANE_LANG"), WideFromUtf8(c.value).c_str());
        SelectLanguage();
        std::string onWorker;
        DriverThread worker([&] {
            WCHAR text[kTextBufferSize];
            onWorker = Utf8FromWide(LoadTableString(218, text));
        });
        worker.join();
        EXPECT_EQ(onWorker, c.tabLabel) << c.value;
    }
    SetEnvironmentVariableW(WSTR("CORVANE_LANG"), nullptr);
    SetCurrentLanguage(kLanguageChinese);
}

// The main window in English for the window tests below; Chinese again after.
struct EnglishScope {
    EnglishScope() { SetCurrentLanguage(kLanguageEnglish); }
    ~EnglishScope() { SetCurrentLanguage(kLanguageChinese); }
};

class EnglishWindowTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.started()) << "the main window did not appear"; }

    EnglishScope english;  // before the window, which loads its texts at once
    MainWindowSession session;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter)
{
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(child);
    return TRUE;
}

// Every text a control shows: its own, its combo entries, its list headers.
std::vector<WString> ShownTexts(HWND control)
{
    std::vector<WString> texts = {WindowText(control)};
    WCHAR name[64] = {};
    GetClassNameW(control, name, 64);
    WString className = name;
    if (className == WideFromUtf8("ComboBox")) {
        LRESULT count = SendMessageW(control, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            WCHAR entry[kTextBufferSize] = {};
            SendMessageW(control, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry));
            texts.push_back(entry);
        }
    }
    if (className == WideFromUtf8("SysHeader32")) {
        int count = static_cast<int>(SendMessageW(control, HDM_GETITEMCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            WCHAR entry[kTextBufferSize] = {};
            HDITEMW item = {};
            item.mask = HDI_TEXT;
            item.pszText = entry;
            item.cchTextMax = kTextBufferSize;
            SendMessageW(control, HDM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
            texts.push_back(entry);
        }
    }
    return texts;
}

TEST_F(EnglishWindowTest, NoPageShowsChineseText)
{
    for (int page = 0; page < kPageCount; ++page) {
        session.SelectTab(page);
        std::vector<HWND> children;
        EnumChildWindows(session.window(), CollectChild, reinterpret_cast<LPARAM>(&children));
        int shown = 0;
        for (HWND child : children) {
            for (const WString& text : ShownTexts(child)) {
                shown += !text.empty();
                EXPECT_FALSE(HasHan(text))
                    << "page " << page << ", control " << GetDlgCtrlID(child) << ": " << Utf8FromWide(text);
            }
        }
        EXPECT_GE(shown, 3) << "page " << page << " shows almost nothing";
        WCHAR label[64] = {};
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = label;
        item.cchTextMax = 64;
        SendMessageW(session.tabs(), TCM_GETITEMW, page, reinterpret_cast<LPARAM>(&item));
        EXPECT_FALSE(label[0] == 0 || HasHan(label)) << "tab " << page << ": " << Utf8FromWide(label);
    }
}

// A drop from the file manager: a DROPFILES block with wide paths in
// movable global memory, at `point` in the page's client area.
HDROP MakeDrop(const std::vector<WString>& paths, POINT point)
{
    size_t characters = 1;
    for (const WString& path : paths)
        characters += path.size() + 1;
    HGLOBAL memory =
        GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + characters * sizeof(WCHAR));
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->pt = point;
    header->fNC = FALSE;
    header->fWide = TRUE;
    auto* text = reinterpret_cast<WCHAR*>(header + 1);
    for (const WString& path : paths) {
        std::copy(path.begin(), path.end(), text);
        text += path.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

// The centre of a control, in its page's client coordinates.
POINT CentreOf(HWND page, HWND control)
{
    RECT area;
    GetWindowRect(control, &area);
    MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&area), 2);
    return {(area.left + area.right) / 2, (area.top + area.bottom) / 2};
}

TEST_F(EnglishWindowTest, DroppedPathsFillTheFieldUnderThePointerOrThePagesWimField)
{
    struct Case {
        int page;
        int target;  // the control under the pointer; 0: a bare spot of the page
        std::vector<const char*> paths;
        int filled;  // the field that must receive the first path; 0: none
    };
    const Case cases[] = {
        {kPageCapture, IDC_CAPTURE_SOURCE, {"C:\\tree"}, IDC_CAPTURE_SOURCE},
        {kPageCapture, IDC_CAPTURE_TEMPDIR, {"C:\\scratch", "C:\\other"}, IDC_CAPTURE_TEMPDIR},
        {kPageCapture, IDC_CAPTURE_CONFIG, {"C:\\wimscript.ini"}, IDC_CAPTURE_CONFIG},
        {kPageCapture, 0, {"C:\\out\\new.wim"}, IDC_CAPTURE_DESTINATION},
        {kPageCapture, IDC_CAPTURE_NAME, {"C:\\out\\new.wim"}, IDC_CAPTURE_DESTINATION},  // not a path field
        {kPageApply, IDC_APPLY_DESTINATION, {"C:\\x\\install.wim"}, IDC_APPLY_DESTINATION},
        {kPageApply, 0, {"C:\\x\\install.WIM"}, IDC_APPLY_SOURCE},
        {kPageApply, 0, {"C:\\x\\notes.txt"}, 0},
        {kPageApply, 0, {"C:\\x\\folder"}, 0},
        {kPageInfo, 0, {"C:\\x\\part.swm"}, IDC_INFO_SOURCE},
        {kPageMount, IDC_MOUNT_PATH, {"C:\\mnt"}, IDC_MOUNT_PATH},
        {kPageMount, 0, {"C:\\x\\boot.wim"}, IDC_MOUNT_SOURCE},
        {kPageExport, IDC_EXPORT_DESTINATION, {"C:\\x\\out.wim"}, IDC_EXPORT_DESTINATION},
        {kPageExport, 0, {"C:\\x\\in.wim"}, IDC_EXPORT_SOURCE},
        {kPageSplit, IDC_SPLIT_DESTINATION, {"C:\\x\\piece.swm"}, IDC_SPLIT_DESTINATION},
        {kPageChange, 0, {"C:\\x\\a.wim"}, IDC_CHANGE_SOURCE},
        {kPageDelete, IDC_DELETE_SOURCE, {"C:\\x\\b.wim"}, IDC_DELETE_SOURCE},
        {kPageAbout, 0, {"C:\\x\\c.wim"}, 0},
    };
    for (const Case& c : cases) {
        session.SelectTab(c.page);
        HWND page = session.page();
        std::vector<HWND> edits;
        EnumChildWindows(page, CollectChild, reinterpret_cast<LPARAM>(&edits));
        for (HWND edit : edits) {
            WCHAR name[16] = {};
            GetClassNameW(edit, name, 16);
            if (WString(name) == WideFromUtf8("Edit"))
                SetWindowTextW(edit, WSTR(""));
        }
        RECT client;
        GetClientRect(page, &client);
        POINT point = c.target ? CentreOf(page, GetDlgItem(page, c.target)) : POINT{6, client.bottom - 4};
        std::vector<WString> paths;
        for (const char* path : c.paths)
            paths.push_back(WideFromUtf8(path));
        SendMessageW(page, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(paths, point)), 0);
        for (HWND edit : edits) {
            WCHAR name[16] = {};
            GetClassNameW(edit, name, 16);
            if (WString(name) != WideFromUtf8("Edit") || GetParent(edit) != page)
                continue;
            std::string expected = GetDlgCtrlID(edit) == c.filled ? c.paths[0] : "";
            EXPECT_EQ(Utf8FromWide(WindowText(edit)), expected)
                << "page " << c.page << ", dropped on " << c.target << ", field " << GetDlgCtrlID(edit);
        }
    }
}

// Dropped on a check box, a button, a label or a list, a path never becomes
// its caption: it goes into the shown page's WIM field (a WIM or ESD file) or
// nowhere. The Capture page's check boxes share ids with Apply's path edits.
TEST_F(EnglishWindowTest, DropsOnControlsThatAreNotEditsChangeNoCaption)
{
    const char* const paths[] = {"C:\\x\\dropped.wim", "C:\\x\\dropped.esd", "C:\\x\\folder"};
    int dropped = 0;
    for (int index = 0; index < kPageCount; ++index) {
        session.SelectTab(index);
        HWND page = session.page();
        const PageDescriptor& row = PageDescriptors()[static_cast<size_t>(index)];
        std::vector<HWND> children;
        EnumChildWindows(page, CollectChild, reinterpret_cast<LPARAM>(&children));
        for (HWND target : children) {
            if (GetParent(target) != page || ClassOf(target) == "Edit" || !IsWindowVisible(target))
                continue;
            // A group box's centre may lie on an edit inside it, where a drop belongs.
            if ((GetWindowLongW(target, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX &&
                ClassOf(target) == "Button")
                continue;
            for (const char* path : paths) {
                std::vector<WString> before;
                for (HWND child : children) {
                    if (ClassOf(child) == "Edit")
                        SetWindowTextW(child, WSTR(""));
                    before.push_back(WindowText(child));
                }
                SendMessageW(page, WM_DROPFILES,
                             reinterpret_cast<WPARAM>(MakeDrop({WideFromUtf8(path)}, CentreOf(page, target))),
                             0);
                ++dropped;
                const bool wim = std::string(path).find(".wim") != std::string::npos ||
                                 std::string(path).find(".esd") != std::string::npos;
                for (size_t i = 0; i < children.size(); ++i) {
                    HWND child = children[i];
                    const bool wimField = row.wimField != 0 && child == GetDlgItem(page, row.wimField);
                    const std::string expected = wim && wimField ? path : Utf8FromWide(before[i]);
                    EXPECT_EQ(Text(child), expected)
                        << "page " << index << ": " << path << " dropped on control " << GetDlgCtrlID(target)
                        << " (" << Utf8FromWide(before[i]) << "), control " << GetDlgCtrlID(child);
                }
            }
        }
    }
    EXPECT_GE(dropped, 100);
}

}  // namespace
