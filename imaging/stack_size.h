// The stack every thread that calls into the imaging library gets. wimlib
// reads an image's directory tree recursively and stops at a depth sized for
// a Linux main thread's stack (8 MiB); a crafted tree that loops reaches that
// depth, and on a smaller stack the recursion overflows first (inside
// malloc, which then leaves its lock taken and the process deadlocked).
// Twice what wimlib assumes, for the frames of Wine and of our callbacks.
// Plain C++ with no includes: the mount helper (a Unix program) shares it.
#pragma once

constexpr unsigned long long kImagingStackBytes = 16ull * 1024 * 1024;
