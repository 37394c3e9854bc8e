#pragma once
// A request, from any thread or a signal handler, that every run stops before its next
// device request. The request that is under way when it comes is completed, never cut.

namespace vesk {

// Asks every run to stop. Async-signal-safe.
void RequestStop() noexcept;
// True from RequestStop until ClearStopRequest.
bool StopRequested() noexcept;
void ClearStopRequest() noexcept;

}  // namespace vesk
