// Offline Windows installations for the probe's tests, made on the spot:
// hives from the hive writer, and a Kernel32.dll with a version resource
// built by mingw's windres and linker.
#pragma once

#include "tests/support/hive_writer.h"

#include <string>
#include <vector>
// A Kernel32.dll image (cached per content for the test run): a version
// resource with the file version, one StringFileInfo block of `block`
// (language and code page as 8 hex digits) holding ProductName, and a
// Translation entry unless `translation` is empty (4 hex digits each,
// "0x0409, 1200" form accepted by windres). `withVersion` false gives a PE
// without any version resource.
struct LibraryVersionResource {
    std::string productName = "Microsoft Windows Operating System";
    std::string fileVersion = "10,0,19041,3636";
    std::string block = "040904B0";
    std::string translation = "0x409, 1200";
    bool withVersion = true;
};
std::string LibraryPath(const LibraryVersionResource& resource = {});

// Writes `root`/`directory`/System32 with config/SOFTWARE, config/SYSTEM and
// Kernel32.dll; an empty vector of values leaves that hive out, as does an
// empty library path the library.
void WriteWindowsTree(const std::string& root, const std::string& directory,
                      const std::vector<HiveValue>& software = SampleSoftware(),
                      const std::vector<HiveValue>& system = SampleSystem(),
                      const std::string& library = LibraryPath());
