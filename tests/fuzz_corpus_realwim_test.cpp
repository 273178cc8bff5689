// The regression corpus of crafted and damaged WIMs (tests/fuzz_corpus, one
// README line per file): each goes through Info, Apply, Export, a read-only
// Mount and Delete as the program runs them, and none may hang, crash, write
// outside its folder or fail without a reason.
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/wim_trial.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

std::vector<std::string> CorpusFiles()
{
    std::vector<std::string> files;
    if (DIR* dir = opendir(CORVANE_FUZZ_CORPUS)) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".wim") == 0)
                files.push_back(name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(FuzzCorpusRealWim, NoCaseHangsCrashesWritesOutsideOrFailsWithoutAReason)
{
    const std::vector<std::string> files = CorpusFiles();
    ASSERT_GE(files.size(), 5u);
    // A trial takes well under a second; one that takes longer than this has
    // found work that grows with a damaged number, which is a fault even
    // when it ends.
    constexpr DWORD kTrialBoundMs = 8000;
    TrialOptions options;
    options.timeoutMs = kTrialBoundMs;
    options.mount = access("/dev/fuse", R_OK | W_OK) == 0 && geteuid() == 0;
    ScratchFolder folder;
    setenv("CORVANE_MOUNT_RECORDS", (folder / "records").c_str(), 1);
    for (const std::string& name : files) {
        const std::string work = folder / ("cases/" + name.substr(0, name.size() - 4));
        mkdir((folder / "cases").c_str(), 0755);
        mkdir(work.c_str(), 0755);
        const DWORD start = GetTickCount();
        std::vector<std::string> problems =
            TryWim(std::string(CORVANE_FUZZ_CORPUS) + "/" + name, work, options);
        const DWORD took = GetTickCount() - start;
        if (took > kTrialBoundMs)
            problems.push_back("slow: the trial took " + std::to_string(took) + " ms");
        EXPECT_TRUE(problems.empty()) << name << ": " << testing::PrintToString(problems) << "\n"
                                      << LastTrialLog();
        if (!problems.empty() && problems.front().rfind("hang", 0) == 0)
            break;  // its thread is stuck; what follows would only wait on it
    }
    unsetenv("CORVANE_MOUNT_RECORDS");
}

}  // namespace
