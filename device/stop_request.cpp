#include "device/stop_request.h"

#include <atomic>

namespace vesk {
namespace {

// Lock-free, so a signal handler may set it.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void RequestStop() noexcept {
  stopRequested.store(true);
}

bool StopRequested() noexcept {
  return stopRequested.load();
}

void ClearStopRequest() noexcept {
  stopRequested.store(false);
}

}  // namespace vesk
