#include "tests/support/windows_tree.h"

#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"

#include <fstream>
#include <map>

std::string LibraryPath(const LibraryVersionResource& resource)
{
    // Built once per content for the whole test run.
    static ScratchFolder* libraries = new ScratchFolder;
    static std::map<std::string, std::string> built;
    std::string script;
    if (resource.withVersion) {
        script = "1 VERSIONINFO\nFILEVERSION " + resource.fileVersion + "\nPRODUCTVERSION " +
                 resource.fileVersion + "\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n  BLOCK \"" +
                 resource.block + "\"\n  BEGIN\n   VALUE \"ProductName\", \"" + resource.productName +
                 "\"\n  END\n END\n";
        if (!resource.translation.empty())
            script += " BLOCK \"VarFileInfo\"\n BEGIN\n  VALUE \"Translation\", " + resource.translation +
                      "\n END\n";
        script += "END\n";
    } else {
        script = "STRINGTABLE\nBEGIN\n 1 \"no version here\"\nEND\n";
    }
    auto found = built.find(script);
    if (found != built.end())
        return found->second;
    std::string base = *libraries / ("lib" + std::to_string(built.size()));
    std::ofstream(base + ".rc") << script;
    ShellOutput("x86_64-w64-mingw32-windres " + Quoted(base + ".rc") + " -O coff -o " + Quoted(base + ".o") +
                " && x86_64-w64-mingw32-ld --dll -e 0 -o " + Quoted(base + ".dll") + " " +
                Quoted(base + ".o"));
    built.emplace(script, base + ".dll");
    return base + ".dll";
}

void WriteWindowsTree(const std::string& root, const std::string& directory,
                      const std::vector<HiveValue>& software, const std::vector<HiveValue>& system,
                      const std::string& library)
{
    std::string system32 = root + "/" + directory + "/System32";
    ShellOutput("mkdir -p " + Quoted(system32 + "/config"));
    if (!software.empty()) {
        EXPECT_TRUE(WriteHive(system32 + "/config/SOFTWARE", software));
    }
    if (!system.empty()) {
        EXPECT_TRUE(WriteHive(system32 + "/config/SYSTEM", system));
    }
    if (!library.empty())
        ShellOutput("cp " + Quoted(library) + " " + Quoted(system32 + "/Kernel32.dll"));
}
