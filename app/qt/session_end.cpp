#include "app/qt/session_end.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

#include "device/stop_request.h"

namespace vesk::qt {
namespace {

constexpr std::array<int, 3> kSignals{SIGTERM, SIGHUP, SIGINT};

int wakeFds[2] = {-1, -1};
volatile std::sig_atomic_t received = 0;
std::array<struct sigaction, kSignals.size()> previous{};

extern "C" void OnSessionSignal(int signal) {
  if (received != 0) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  received = signal;
  RequestStop();
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(wakeFds[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

SessionEnd::SessionEnd() {
  received = 0;
  if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(wakeFds[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char byte;
    while (read(wakeFds[0], &byte, 1) > 0) {
    }
    emit requested();
  });
  struct sigaction action {};
  action.sa_handler = OnSessionSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &previous[i]);
}

SessionEnd::~SessionEnd() {
  if (!notifier_) return;
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &previous[i], nullptr);
  notifier_.reset();
  close(wakeFds[0]);
  close(wakeFds[1]);
  wakeFds[0] = wakeFds[1] = -1;
}

int SessionEnd::Signal() const {
  return received;
}

}  // namespace vesk::qt
