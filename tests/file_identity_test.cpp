// A file is removed only while its name still holds the file it was made as.
#include "base/file_identity.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"

#include <fstream>

namespace {

TEST(FileIdentityTest, OnlyTheSameFileIsDeleted)
{
    ScratchFolder folder;
    const std::string path = folder / "made.wim";
    const WString dos = DosPath(path);
    const struct {
        const char* name;
        void (*meanwhile)(const std::string& path);
        bool deleted;
    } cases[] = {
        {"still the same file", [](const std::string&) {}, true},
        {"written to, still the same file",
         [](const std::string& p) { std::ofstream(p, std::ios::app) << "more"; }, true},
        {"replaced by another program's file",
         [](const std::string& p) { Shell("rm " + Quoted(p) + " && echo theirs > " + Quoted(p)); }, false},
        {"renamed over by another file",
         [](const std::string& p) {
             Shell("echo theirs > " + Quoted(p + ".new") + " && mv " + Quoted(p + ".new") + " " + Quoted(p));
         },
         false},
        {"gone", [](const std::string& p) { Shell("rm " + Quoted(p)); }, false},
    };
    for (const auto& c : cases) {
        std::ofstream(path) << "ours";
        MadeFile made;
        ASSERT_TRUE(made.Hold(dos.c_str())) << c.name;
        c.meanwhile(path);
        const std::string before = FileBytes(path);
        EXPECT_EQ(made.Remove(), c.deleted) << c.name;
        EXPECT_EQ(FileBytes(path), c.deleted ? "" : before) << c.name;
        EXPECT_EQ(Shell("test -e " + Quoted(path)) == 0, !c.deleted && !before.empty()) << c.name;
        Shell("rm -f " + Quoted(path));
    }
    // An identity never taken proves nothing; a file let go is kept.
    std::ofstream(path) << "theirs";
    EXPECT_FALSE(DeleteFileIfSame(dos.c_str(), FileIdentity{}));
    MadeFile kept;
    ASSERT_TRUE(kept.Hold(dos.c_str()));
    kept.Release();
    EXPECT_FALSE(kept.Remove());
    EXPECT_EQ(FileBytes(path), "theirs");
}

}  // namespace
