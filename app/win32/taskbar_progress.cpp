#include "app/win32/taskbar_progress.h"

#include <shobjidl.h>

namespace vesk::win32 {

TaskbarProgress::~TaskbarProgress() {
  if (list_) list_->Release();
}

void TaskbarProgress::Attach(HWND window) {
  window_ = window;
  if (list_) return;  // the shell sends its message again after it restarts
  ITaskbarList3* list = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              reinterpret_cast<void**>(&list))))
    return;
  if (FAILED(list->HrInit())) {
    list->Release();
    return;
  }
  list_ = list;
}

void TaskbarProgress::ShowProgress(std::uint32_t written, std::uint32_t total) {
  if (!list_ || total == 0) return;
  list_->SetProgressState(window_, TBPF_NORMAL);
  list_->SetProgressValue(window_, written, total);
}

void TaskbarProgress::ShowFailed() {
  if (!list_) return;
  list_->SetProgressValue(window_, 1, 1);
  list_->SetProgressState(window_, TBPF_ERROR);
}

void TaskbarProgress::Clear() {
  if (list_) list_->SetProgressState(window_, TBPF_NOPROGRESS);
}

}  // namespace vesk::win32
