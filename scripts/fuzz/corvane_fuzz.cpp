// corvane_fuzz: puts a batch of WIM files through TryWim in one process, so
// that Wine starts once per batch rather than once per case.
//
//   corvane_fuzz.exe.so [--mount] [--files] [--timeout MS] WORK LIST
//
// LIST names one WIM per line; WORK is an empty folder for the cases. Each
// case prints "START n" before it runs and "OK n" or "BAD n <problem>" (then
// "LOG <log>") after; a hang prints "HANG n" and ends the process at once, so
// the caller knows from the last START which case a crash or hang belongs to.
#include "tests/support/wim_trial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>

int main(int argc, char** argv)
{
    TrialOptions options;
    int at = 1;
    for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
        if (std::strcmp(argv[at], "--mount") == 0)
            options.mount = true;
        else if (std::strcmp(argv[at], "--files") == 0)
            options.filesOnly = true;
        else if (std::strcmp(argv[at], "--timeout") == 0 && at + 1 < argc)
            options.timeoutMs = static_cast<DWORD>(std::atol(argv[++at]));
    }
    if (argc - at != 2) {
        std::fprintf(stderr, "usage: corvane_fuzz [--mount] [--files] [--timeout MS] WORK LIST\n");
        return 2;
    }
    const std::string work = argv[at];
    std::ifstream list(argv[at + 1]);
    std::string wim;
    for (int n = 0; std::getline(list, wim); ++n) {
        if (wim.empty())
            continue;
        const std::string folder = work + "/c" + std::to_string(n);
        mkdir(folder.c_str(), 0755);
        std::printf("START %d %s\n", n, wim.c_str());
        std::fflush(stdout);
        const std::vector<std::string> problems = TryWim(wim, folder, options);
        for (const std::string& problem : problems) {
            if (problem.rfind("hang", 0) == 0) {
                std::printf("HANG %d %s\n", n, problem.c_str());
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
            std::printf("BAD %d %s\n", n, problem.c_str());
        }
        if (problems.empty()) {
            std::printf("OK %d\n", n);
            if (std::system(("rm -rf '" + folder + "'").c_str()) != 0)
                std::printf("NOTE %d folder left\n", n);
        } else {
            std::string log = LastTrialLog();
            for (char& c : log) {
                if (c == '\r' || c == '\n')
                    c = '|';
            }
            std::printf("LOG %d %s\n", n, log.c_str());
        }
        std::fflush(stdout);
    }
    std::printf("DONE\n");
    std::fflush(stdout);
    return 0;
}
