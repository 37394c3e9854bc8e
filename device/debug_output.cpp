#include "device/debug_output.h"

#include <cstdio>
#include <utility>

namespace vesk {
namespace {

DebugSink& CurrentSink() {
  static DebugSink sink;
  return sink;
}

}  // namespace

void DebugOutput(std::string_view message) {
  if (const DebugSink& sink = CurrentSink()) {
    sink(message);
    return;
  }
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);  // stderr is line-oriented; the message itself has no line end
  std::fflush(stderr);
}

DebugSink SetDebugSink(DebugSink sink) { return std::exchange(CurrentSink(), std::move(sink)); }

}  // namespace vesk
