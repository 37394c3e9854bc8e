#pragma once
// The debugger output channel: OutputDebugStringA on Windows (installed by the Windows
// back end), standard error elsewhere, or a capturing sink in tests.

#include <functional>
#include <string_view>

namespace vesk {

using DebugSink = std::function<void(std::string_view)>;

// Sends one message, exactly as given (no line end is added), to the calling thread's
// sink if it has one, else to the process's. Safe from several threads at once; the
// process's sink may then be called concurrently and must cope with that.
void DebugOutput(std::string_view message);

// Replaces the process's sink; an empty function restores standard error. Returns the
// old sink.
DebugSink SetDebugSink(DebugSink sink);

// Replaces the calling thread's own sink, which takes that thread's messages in place of
// the process's; an empty function hands them back to the process's. Returns the old one.
DebugSink SetThreadDebugSink(DebugSink sink);

}  // namespace vesk
