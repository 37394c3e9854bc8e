#pragma once
// The progress shown on the dialog's task-bar button. Everything here is best effort: a
// shell without a task bar (or one that does not show progress) leaves the button as it
// is, and the dialog works the same.

#include <windows.h>

#include <cstdint>

struct ITaskbarList3;

namespace vesk::win32 {

class TaskbarProgress {
 public:
  TaskbarProgress() = default;
  ~TaskbarProgress();
  TaskbarProgress(const TaskbarProgress&) = delete;
  TaskbarProgress& operator=(const TaskbarProgress&) = delete;

  // Binds to `window`'s button; call it when the shell says the button exists. The
  // calling thread must have initialised COM.
  void Attach(HWND window);
  // A bar in the normal state: `written` of `total` bytes of the image being written.
  void ShowProgress(std::uint32_t written, std::uint32_t total);
  // A full bar in the error state.
  void ShowFailed();
  // No bar.
  void Clear();

 private:
  ITaskbarList3* list_ = nullptr;
  HWND window_ = nullptr;
};

}  // namespace vesk::win32
