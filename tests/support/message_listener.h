// A process-wide message callback that runs a test's action on each message,
// beside the running operation's own callback (registered before it, so it
// hears each message first).
#pragma once

#include "base/task_state.h"
#include "imaging/wimgapi.h"

#include <functional>

class MessageListener {
public:
    using Action = std::function<DWORD(DWORD message, WPARAM wParam)>;

    explicit MessageListener(Action action)
    {
        Current() = std::move(action);
        WIMRegisterMessageCallback(nullptr, Listen, nullptr);
    }
    ~MessageListener()
    {
        WIMUnregisterMessageCallback(nullptr, Listen);
        Current() = nullptr;
    }
    MessageListener(const MessageListener&) = delete;
    MessageListener& operator=(const MessageListener&) = delete;

private:
    static Action& Current()
    {
        static Action action;
        return action;
    }
    static DWORD CALLBACK Listen(DWORD message, WPARAM wParam, LPARAM, PVOID)
    {
        return Current() ? Current()(message, wParam) : WIM_MSG_SUCCESS;
    }
};

// Asks for an abort at the first progress message between 0 and 100 % and
// holds the worker there past one of the layer's 200 ms abort questions, as
// a window slower than the work would; counts the progress messages that
// still come after it.
class AbortAtFirstProgress {
public:
    int progressAfterAbort = 0;

private:
    MessageListener listener_{[this](DWORD message, WPARAM percent) {
        if (message != WIM_MSG_PROGRESS || percent == 0 || percent == 100)
            return static_cast<DWORD>(WIM_MSG_SUCCESS);
        if (Task().abortRequested) {
            ++progressAfterAbort;
        } else {
            Task().abortRequested = true;
            Sleep(2 * 200);
        }
        return static_cast<DWORD>(WIM_MSG_SUCCESS);
    }};
};
