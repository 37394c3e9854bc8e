#pragma once
// The debugger output channel: OutputDebugStringA on Windows (installed by the Windows
// back end), standard error elsewhere, or a capturing sink in tests.

#include <functional>
#include <string_view>

namespace vesk {

using DebugSink = std::function<void(std::string_view)>;

// Sends one message, exactly as given (no line end is added).
void DebugOutput(std::string_view message);

// Replaces the sink; an empty function restores standard error. Returns the old sink.
DebugSink SetDebugSink(DebugSink sink);

}  // namespace vesk
