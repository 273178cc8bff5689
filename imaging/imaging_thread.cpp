#include "imaging/imaging_thread.h"

#include <memory>

HANDLE CreateImagingThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD* threadId)
{
    // A reservation: the pages are committed only as the stack grows.
    return CreateThread(nullptr, static_cast<SIZE_T>(kImagingStackBytes), start, parameter,
                        STACK_SIZE_PARAM_IS_A_RESERVATION, threadId);
}

namespace {

DWORD WINAPI RunBody(LPVOID parameter)
{
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

}  // namespace

HANDLE StartImagingThread(std::function<void()> body)
{
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    DWORD threadId = 0;
    HANDLE thread = CreateImagingThread(RunBody, owned.get(), &threadId);
    if (thread != nullptr)
        owned.release();  // the thread owns it now
    return thread;
}
