// corvane_info_report WIM: the linux build's information report of a WIM (a
// DOS path) on stdout, as UTF-8, for tests/windows-build-works to set against
// the windows build's report of the same file.
#include "base/task_state.h"
#include "metadata/image_info.h"
#include "operations/operations.h"

#include <cstdio>

extern "C" int wmain(int argc, WCHAR** argv)
{
    g_instance = GetModuleHandleW(nullptr);
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvane_info_report WIM\n");
        return 2;
    }
    ShowXmlParseFailure = [](TaskState&) {};
    TaskState& task = Task();
    task.infoSource = argv[1];
    WString report;
    const bool built = BuildInfoReportText(task, report);
    const std::string text = Utf8FromWide(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return built ? 0 : 1;
}
