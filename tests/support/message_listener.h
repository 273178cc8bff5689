// A process-wide message callback that runs a test's action on each message,
// beside the running operation's own callback (registered before it, so it
// hears each message first).
#pragma once

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
