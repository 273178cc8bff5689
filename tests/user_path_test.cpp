// Paths typed on the pages: whole or refused, never cut.
#include "base/user_path.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"

namespace {

TEST(TakeUserPathTest, KeepsWhatFitsAndRefusesWhatWouldBeCut)
{
    WCHAR current[kTextBufferSize];
    DWORD currentLength = GetCurrentDirectoryW(kTextBufferSize, current);
    ASSERT_GT(currentLength, 0u);
    ASSERT_LT(currentLength, 200u);
    // A relative name whose full form (current folder, backslash, name)
    // takes exactly 259 characters, and one a character longer.
    const size_t relativeFits = 259 - currentLength - (current[currentLength - 1] == WSTR('\\') ? 0 : 1);
    const WString relative(relativeFits, WSTR('r'));

    struct Case {
        WString typed;
        PathForm form;
        bool accepted;
        WString expected;
    };
    const Case cases[] = {
        {WSTR("C:\\a\\b.wim"), PathForm::AsTyped, true, WSTR("C:\\a\\b.wim")},
        {WSTR("C:\\a\\..\\b.wim"), PathForm::AsTyped, true, WSTR("C:\\a\\..\\b.wim")},
        {WSTR("C:\\a\\..\\b.wim"), PathForm::Full, true, WSTR("C:\\b.wim")},
        {WString(WSTR("C:\\")) + WString(256, WSTR('x')), PathForm::AsTyped, true,
         WString(WSTR("C:\\")) + WString(256, WSTR('x'))},
        {WString(WSTR("C:\\")) + WString(257, WSTR('x')), PathForm::AsTyped, false, WSTR("")},
        {WString(WSTR("C:\\")) + WString(400, WSTR('x')), PathForm::Full, false, WSTR("")},
        // Short as typed, too long once made full: the library would make it
        // full itself, so it is refused in either form.
        {relative, PathForm::AsTyped, true, relative},
        {relative + WSTR("r"), PathForm::AsTyped, false, WSTR("")},
        {relative + WSTR("r"), PathForm::Full, false, WSTR("")},
        // Nothing to make full: passed on for the open to report.
        {WSTR(""), PathForm::Full, true, WSTR("")},
    };
    for (const Case& c : cases) {
        UserPath path;
        std::fill_n(path.text, kTextBufferSize, WSTR('#'));
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(TakeUserPath(path, c.typed, c.form), c.accepted) << c.typed.size();
        EXPECT_EQ(path.Usable(), c.accepted) << c.typed.size();
        if (c.accepted) {
            EXPECT_EQ(Narrow(path.text), Narrow(c.expected)) << c.typed.size();
        } else {
            // Refused: the typed text, its middle left out, is there for the log only.
            EXPECT_EQ(path.refusal, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << c.typed.size();
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << c.typed.size();
            const WString shown = path.text;
            if (c.typed.size() < static_cast<size_t>(kTextBufferSize)) {
                EXPECT_EQ(shown, c.typed);  // whole where it fits
                continue;
            }
            EXPECT_EQ(shown.size(), static_cast<size_t>(kTextBufferSize - 1)) << c.typed.size();
            EXPECT_EQ(shown.substr(0, 100), c.typed.substr(0, 100)) << c.typed.size();
            EXPECT_EQ(shown.substr(shown.size() - 100), c.typed.substr(c.typed.size() - 100))
                << c.typed.size();
            EXPECT_NE(shown.find(WCHAR{0x2026}), WString::npos) << c.typed.size();
        }
    }

    // The full form of the relative name that fits is the current folder
    // and the name.
    UserPath path;
    ASSERT_TRUE(TakeUserPath(path, relative, PathForm::Full));
    EXPECT_EQ(WString(path.text).size(), 259u);
}

}  // namespace
