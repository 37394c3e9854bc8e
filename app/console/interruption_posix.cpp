#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>

#include "app/console/interruption.h"
#include "app/console/output_file.h"
#include "device/stop_request.h"

namespace vesk::console {
namespace {

volatile std::sig_atomic_t received = 0;

extern "C" void OnInterruption(int signalNumber) {
  if (received != 0) {
    RemovePendingTemporaries();
    _exit(128 + signalNumber);
  }
  received = signalNumber;
  RequestStop();
}

}  // namespace

void InstallInterruptionHandlers() {
  struct sigaction action {};
  action.sa_handler = OnInterruption;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a question waiting for its answer gets its read interrupted and
  // counts as No.
  action.sa_flags = 0;
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

int InterruptionExitStatus() {
  return received == 0 ? 0 : 128 + received;
}

}  // namespace vesk::console
