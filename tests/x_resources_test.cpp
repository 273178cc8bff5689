#include "base/x_resources.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"

// The stand-in is named only where the X library would otherwise find no
// host file to read and the user names none; a user's own files win.
TEST(XResourcesTest, AnEmptyStandInOnlyWhereThereIsNothingToRead)
{
    ScratchFolder home;
    ASSERT_EQ(Shell("echo 'Xft.antialias: 1' > " + Quoted(home / ".Xdefaults-withfile")), 0);
    struct Case {
        const char* named;
        std::string home, host, expected;
    };
    const Case cases[] = {
        {nullptr, home.path(), "nofile", "/dev/null"},  // nothing to read: the stand-in
        {nullptr, home.path(), "withfile", ""},         // the host's own file is read as before
        {"/etc/own.res", home.path(), "nofile", ""},    // the user's choice stands
        {nullptr, "", "nofile", ""},                    // no home folder: left alone
    };
    for (const Case& c : cases)
        EXPECT_EQ(HostResourcesStandIn(c.named, c.home, c.host), c.expected) << c.host << " " << c.home;
}
