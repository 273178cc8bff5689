#include "progress/taskbar_progress.h"

#if !defined(CORVANE_WINELIB)

#include <objbase.h>
#include <shobjidl.h>

void TaskbarProgress::Start(HWND owner)
{
    Stop();
    window_ = owner != nullptr ? GetAncestor(owner, GA_ROOT) : nullptr;
    if (window_ == nullptr)
        return;
    comStarted_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ITaskbarList3* list = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                   reinterpret_cast<void**>(&list)))) {
        if (SUCCEEDED(list->HrInit())) {
            list_ = list;
            list_->SetProgressState(window_, TBPF_NORMAL);
            list_->SetProgressValue(window_, 0, 100);
        } else {
            list->Release();
        }
    }
}

void TaskbarProgress::SetPercent(UINT percent)
{
    if (list_ != nullptr)
        list_->SetProgressValue(window_, percent, 100);
}

void TaskbarProgress::Finish(bool succeeded)
{
    if (list_ == nullptr)
        return;
    if (succeeded) {
        list_->SetProgressValue(window_, 100, 100);
    } else {
        list_->SetProgressState(window_, TBPF_ERROR);
        list_->SetProgressValue(window_, 100, 100);
    }
}

void TaskbarProgress::Stop()
{
    if (list_ != nullptr) {
        list_->SetProgressState(window_, TBPF_NOPROGRESS);
        list_->Release();
        list_ = nullptr;
    }
    if (comStarted_)
        CoUninitialize();
    comStarted_ = false;
    window_ = nullptr;
}

#else

void TaskbarProgress::Start(HWND) {}
void TaskbarProgress::SetPercent(UINT) {}
void TaskbarProgress::Finish(bool) {}
void TaskbarProgress::Stop() {}

#endif
