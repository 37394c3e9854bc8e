#include "device/debug_output.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace vesk {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

DebugSink& ProcessSink() {
  static DebugSink sink;
  return sink;
}

DebugSink& ThreadSink() {
  thread_local DebugSink sink;
  return sink;
}

}  // namespace

void DebugOutput(std::string_view message) {
  if (const DebugSink& own = ThreadSink()) {
    own(message);
    return;
  }
  DebugSink sink;
  {
    const std::lock_guard lock(SinkMutex());
    sink = ProcessSink();
  }
  if (sink) {
    sink(message);
    return;
  }
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);  // stderr is line-oriented; the message itself has no line end
  std::fflush(stderr);
}

DebugSink SetDebugSink(DebugSink sink) {
  const std::lock_guard lock(SinkMutex());
  return std::exchange(ProcessSink(), std::move(sink));
}

DebugSink SetThreadDebugSink(DebugSink sink) { return std::exchange(ThreadSink(), std::move(sink)); }

}  // namespace vesk
