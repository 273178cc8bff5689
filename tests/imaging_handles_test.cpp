// The owners every operation releases its imaging handles through.
#include "operations/imaging_handles.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"

namespace {

DWORD CALLBACK IgnoreAll(DWORD, WPARAM, LPARAM, PVOID)
{
    return WIM_MSG_SUCCESS;
}

TEST(ImagingHandlesTest, ReleasedInReverseOrderKeepingTheFirstError)
{
    const HANDLE image = ScriptedImaging::ImageHandle(1);
    struct Case {
        const char* name;
        DWORD errorOnEntry;
        int failingClose;  // which WIMCloseHandle call fails (0: none)
        bool unregisterFails;
        DWORD expectedError;
    };
    const Case cases[] = {
        {"the caller's error survives a failed close", ERROR_DISK_FULL, 1, false, ERROR_DISK_FULL},
        {"without one, the first failure is kept", 0, 2, true, ERROR_INVALID_HANDLE},
        {"the unregister's failure when nothing else failed", 0, 0, true, ERROR_INVALID_PARAMETER},
        {"nothing fails: the error stays as found", 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        ScriptedImaging library;
        {
            const CallbackRegistration callback(IgnoreAll);
            ASSERT_TRUE(callback) << c.name;
            const WimHandle wim(ScriptedImaging::kWimHandle);
            const WimHandle loaded(image);
            library.calls.clear();
            if (c.failingClose != 0)
                library.Fail("WIMCloseHandle", ERROR_INVALID_HANDLE, c.failingClose);
            if (c.unregisterFails)
                library.Fail("WIMUnregisterMessageCallback", ERROR_INVALID_PARAMETER);
            SetLastError(c.errorOnEntry);
        }
        EXPECT_EQ(GetLastError(), c.expectedError) << c.name;
        EXPECT_EQ(library.CallText(), "WIMCloseHandle(0x2001)\nWIMCloseHandle(0x1000)\n"
                                      "WIMUnregisterMessageCallback(0x0, ptr)\n")
            << c.name;
    }
}

TEST(ImagingHandlesTest, CloseTakeAndRefusedRegistration)
{
    ScriptedImaging library;
    // Close reports the library's own reason: a destination that does not
    // close has not been written.
    {
        WimHandle destination(ScriptedImaging::kWimHandle);
        library.Fail("WIMCloseHandle", ERROR_DISK_FULL);
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_FALSE(destination.Close());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
        EXPECT_FALSE(destination);
    }
    EXPECT_EQ(library.CallText(), "WIMCloseHandle(0x1000)\n");  // closed once, not again at the end

    // A handle given up is not closed; a registration the library refused
    // is not undone; an empty owner calls nothing.
    ScriptedImaging second;
    second.Fail("WIMRegisterMessageCallback", ERROR_NOT_ENOUGH_MEMORY);
    {
        WimHandle wim(ScriptedImaging::kWimHandle);
        EXPECT_EQ(wim.Take(), ScriptedImaging::kWimHandle);
        const CallbackRegistration refused(IgnoreAll);
        EXPECT_FALSE(refused);
        const WimHandle empty;
        second.calls.clear();
    }
    EXPECT_EQ(second.CallText(), "");
}

}  // namespace
