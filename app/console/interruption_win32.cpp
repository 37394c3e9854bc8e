#include <windows.h>

#include <atomic>

#include "app/console/interruption.h"
#include "app/console/output_file.h"
#include "device/stop_request.h"

namespace vesk::console {
namespace {

std::atomic<int> exitStatus{0};

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  int status = 0;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      status = 130;
      break;
    case CTRL_CLOSE_EVENT:
      status = 129;
      break;
    default:
      return FALSE;
  }
  int none = 0;
  if (!exitStatus.compare_exchange_strong(none, status)) {
    RemovePendingTemporaries();
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  }
  RequestStop();
  // After a close the system ends the process as soon as this returns (at the latest
  // 5 s after the event): wait here so that the run can stop and write its outputs.
  // The process's own exit ends this thread.
  if (event == CTRL_CLOSE_EVENT) Sleep(4500);
  return TRUE;
}

}  // namespace

void InstallInterruptionHandlers() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int InterruptionExitStatus() {
  return exitStatus.load();
}

}  // namespace vesk::console
