// The registered message callbacks, and the bridge that turns wimlib's
// progress messages into the library's WIM_MSG_* messages.
#include "imaging/wimlib/layer.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace layer {

namespace {

struct Registration {
    uintptr_t wim;  // 0: every operation of the process
    WIMMessageCallback callback;
    PVOID userData;
};

// Messages come per file, so delivering one allocates nothing: readers take
// the current list, which a change replaces rather than edits.
class CallbackRegistry {
public:
    using List = std::vector<Registration>;

    DWORD Add(uintptr_t wim, WIMMessageCallback callback, PVOID userData)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto changed = std::make_shared<List>(*registrations_);
        changed->push_back({wim, callback, userData});
        registrations_ = changed;
        return static_cast<DWORD>(changed->size() - 1);
    }

    // A null callback drops every registration made on the handle.
    bool Remove(uintptr_t wim, WIMMessageCallback callback)
    {
        return Drop([&](const Registration& entry) {
            return entry.wim == wim && (callback == nullptr || entry.callback == callback);
        });
    }

    void DropHandle(uintptr_t wim)
    {
        Drop([&](const Registration& entry) { return entry.wim == wim; });
    }

    // Every registration as it stands; callbacks run without the lock and
    // may register or unregister. Listeners of a WIM are those made on it
    // and the process-wide ones.
    std::shared_ptr<const List> All()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return registrations_;
    }

private:
    template <typename Match>
    bool Drop(Match match)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto changed = std::make_shared<List>(*registrations_);
        if (std::erase_if(*changed, match) == 0)
            return false;
        registrations_ = changed;
        return true;
    }

    std::mutex lock_;
    std::shared_ptr<const List> registrations_ = std::make_shared<List>();
};

bool Listens(const Registration& entry, uintptr_t wim)
{
    return entry.wim == 0 || entry.wim == wim;
}

CallbackRegistry& Callbacks()
{
    static CallbackRegistry registry;
    return registry;
}

}  // namespace

void DropCallbacksOf(uintptr_t wim)
{
    Callbacks().DropHandle(wim);
}

// Sends one message to every listener; true when one of them answered abort.
bool Deliver(uintptr_t wim, DWORD message, WPARAM wParam, LPARAM lParam)
{
    bool abort = false;
    const auto listeners = Callbacks().All();
    for (const Registration& listener : *listeners) {
        if (Listens(listener, wim) &&
            listener.callback(message, wParam, lParam, listener.userData) == WIM_MSG_ABORT_IMAGE)
            abort = true;
    }
    return abort;
}

ErrorAnswer DeliverError(uintptr_t wim, const WCHAR* path, DWORD code)
{
    ErrorAnswer answer = ErrorAnswer::Fail;
    const auto listeners = Callbacks().All();
    for (const Registration& listener : *listeners) {
        if (!Listens(listener, wim))
            continue;
        const DWORD said = listener.callback(WIM_MSG_ERROR, reinterpret_cast<WPARAM>(path),
                                             static_cast<LPARAM>(code), listener.userData);
        if (said == WIM_MSG_ABORT_IMAGE)
            answer = ErrorAnswer::Abort;
        else if (said == WIM_MSG_SKIP_ERROR && answer == ErrorAnswer::Fail)
            answer = ErrorAnswer::Skip;
    }
    return answer;
}

// wimlib's progress messages, told to the registered callbacks in the
// library's terms. Capture, apply, export and split add their messages here
// (scanning, per-item processing, split parts); an abort answer to any of
// them stops the running wimlib call with WIMLIB_ERR_ABORTED_BY_PROGRESS.
ProgressFigures EstimateProgress(uint64_t done, uint64_t total, DWORD startTick)
{
    if (total == 0)
        return {100, 0};
    done = std::min(done, total);
    const uint64_t elapsed = GetTickCount() - startTick;
    return {static_cast<WPARAM>(done * 100 / total),
            done == 0 ? 0 : static_cast<LPARAM>(elapsed * (total - done) / done)};
}

enum wimlib_progress_status ProgressBridge(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                           void* context)
{
    auto* progress = static_cast<ProgressContext*>(context);
    bool abort = false;
    switch (message) {
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS: {
        const uint64_t done = info->write_streams.completed_bytes;
        const uint64_t total = info->write_streams.total_bytes;
        const ProgressFigures figures = EstimateProgress(done, total, progress->startTick);
        abort = Deliver(progress->wim, WIM_MSG_PROGRESS, figures.percent, figures.remaining);
        break;
    }
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_BEGIN:
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_END:
    case WIMLIB_PROGRESS_MSG_CALC_INTEGRITY:
    case WIMLIB_PROGRESS_MSG_VERIFY_INTEGRITY:
        abort = Deliver(progress->wim, WIM_MSG_QUERY_ABORT, 0, 0);
        break;
    default:
        // RENAME and the messages after it come once the new file is in
        // place: an abort there would report a change that happened anyway.
        return WIMLIB_PROGRESS_STATUS_CONTINUE;
    }
    if (abort)
        progress->aborted = true;
    return progress->aborted ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

DWORD WINAPI LayerRegisterMessageCallback(HANDLE wim, WIMMessageCallback callback, PVOID userData)
{
    if (callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_CALLBACK_VALUE;
    }
    if (wim != nullptr && Lookup(wim, HandleKind::Wim) == nullptr)
        return INVALID_CALLBACK_VALUE;
    const DWORD index = Callbacks().Add(reinterpret_cast<uintptr_t>(wim), callback, userData);
    SetLastError(ERROR_SUCCESS);
    return index;
}

BOOL WINAPI LayerUnregisterMessageCallback(HANDLE wim, WIMMessageCallback callback)
{
    if (wim != nullptr && Lookup(wim, HandleKind::Wim) == nullptr)
        return FALSE;
    if (!Callbacks().Remove(reinterpret_cast<uintptr_t>(wim), callback))
        return Fail(ERROR_INVALID_PARAMETER);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
