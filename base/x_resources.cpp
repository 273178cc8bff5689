#include "base/x_resources.h"

#if defined(CORVANE_WINELIB)
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

std::string HostResourcesStandIn(const char* named, const std::string& home, const std::string& host)
{
    if (named != nullptr || home.empty())
        return {};
    struct stat status;
    if (stat((home + "/.Xdefaults-" + host).c_str(), &status) == 0)
        return {};
    return "/dev/null";  // an empty database, the same settings as none
}
#endif

void KeepXResourcesRead()
{
#if defined(CORVANE_WINELIB)
    // The home folder and host name as the X library finds them.
    std::string home;
    if (const char* variable = getenv("HOME"))
        home = variable;
    else if (const passwd* user = getpwuid(getuid()))
        home = user->pw_dir ? user->pw_dir : "";
    struct utsname names;
    if (uname(&names) != 0)
        return;
    const std::string standIn = HostResourcesStandIn(getenv("XENVIRONMENT"), home, names.nodename);
    if (!standIn.empty())
        setenv("XENVIRONMENT", standIn.c_str(), 0);
#endif
}
