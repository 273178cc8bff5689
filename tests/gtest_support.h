// GoogleTest must not see the Windows platform macros that winelib defines:
// Debian's libgtest is built for Linux, and its header would otherwise pick
// Windows code paths that do not match the library.
#pragma once

#pragma push_macro("_WIN32")
#pragma push_macro("WIN32")
#pragma push_macro("_WIN64")
#pragma push_macro("__WIN32__")
#undef _WIN32
#undef WIN32
#undef _WIN64
#undef __WIN32__
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#pragma pop_macro("__WIN32__")
#pragma pop_macro("_WIN64")
#pragma pop_macro("WIN32")
#pragma pop_macro("_WIN32")
