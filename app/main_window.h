// The main window: its tab control and pages.
#pragma once

#include <windows.h>

// Runs the main dialog modally; returns when it is closed.
void RunMainWindow();
