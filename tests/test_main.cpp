#include "base/task_state.h"
#include "tests/gtest_support.h"
#include "tests/support/fresh_task.h"

#include <commctrl.h>

extern "C" int wmain(int argc, WCHAR** argv)
{
    g_instance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    // GoogleTest parses narrow arguments.
    std::vector<std::string> narrow;
    for (int i = 0; i < argc; ++i)
        narrow.push_back(Utf8FromWide(argv[i]));
    std::vector<char*> pointers;
    for (std::string& argument : narrow)
        pointers.push_back(argument.data());
    int count = argc;
    testing::InitGoogleTest(&count, pointers.data());
    FreshTaskForEveryTest();
    return RUN_ALL_TESTS();
}
