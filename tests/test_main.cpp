#include "base/task_state.h"
#include "base/x_resources.h"
#include "tests/gtest_support.h"
#include "tests/support/fresh_task.h"

#include <commctrl.h>
#include <cstdlib>
#include <string>

extern "C" int wmain(int argc, WCHAR** argv)
{
    KeepXResourcesRead();  // as the program does at its start
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
    // The layer's records of its temporary files go to a folder of this run,
    // which the child processes it starts share.
    std::string records;
    char pattern[] = "/tmp/corvane-records-XXXXXX";
    if (getenv("CORVANE_TEMPORARY_RECORDS") == nullptr && mkdtemp(pattern) != nullptr) {
        records = pattern;
        setenv("CORVANE_TEMPORARY_RECORDS", records.c_str(), 1);
    }
    const int result = RUN_ALL_TESTS();
    if (!records.empty() && system(("rm -rf '" + records + "'").c_str()) != 0)
        return result == 0 ? 1 : result;
    return result;
}
