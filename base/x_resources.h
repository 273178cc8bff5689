// The linux build draws through Wine's X11 driver, which asks the X library
// for the user's font settings each time a font is selected into a device
// context. The library keeps the resources it read only once it has found
// some: with no resource database on the X server (a bare X server, Xvfb) and
// no resource file in the home folder, every selection reads the host name
// and tries two files again. Laying out the Info page's report selects fonts
// thousands of times.
#pragma once

#include <string>

// Lets the X library keep an empty reading of the user's resources when
// there is nothing to read, so that it reads once. Resource lookups give the
// same answers. Does nothing in the windows build.
void KeepXResourcesRead();

// The file to name in XENVIRONMENT, or empty to leave the environment as it
// is: only when the user names none and the host's resource file the library
// would read instead (HOME/.Xdefaults-HOST) does not exist.
std::string HostResourcesStandIn(const char* named, const std::string& home, const std::string& host);
