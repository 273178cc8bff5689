// The one way to start a thread that calls into the imaging library: with a
// stack of kImagingStackBytes, whatever the platform's default is.
#pragma once

#include "imaging/stack_size.h"

#include <windows.h>

#include <functional>

HANDLE CreateImagingThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD* threadId);

// Starts `body` on an imaging thread: its handle, or null (with the last
// error) when the thread could not be started.
HANDLE StartImagingThread(std::function<void()> body);
