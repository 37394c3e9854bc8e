#pragma once
// Why the last device operation failed, in one line of text for the operator: which file
// and why, or which request and what the USB layer said. Kept per thread, so that runs on
// several threads each keep their own.

#include <string>
#include <string_view>

namespace vesk {

// What the layer below the driver seam said about a failed open or I/O control.
enum class UsbFailure { None, Stall, Timeout, NoDevice, AccessDenied, Busy, Other };

// "stall", "timeout", "no device", "access denied", "busy", "failed"; empty for None.
std::string_view UsbFailureText(UsbFailure failure);

// Back ends: records what the USB layer said about the open or I/O control that is failing
// on this thread; `note` adds what only the back end knows (what it looked for, a hint).
void NoteUsbFailure(UsbFailure failure, std::string_view note = {});
UsbFailure LastUsbFailure();
const std::string& LastUsbFailureNote();

// The cause of the last failed operation on this thread; empty when none was recorded.
const std::string& FailureDetail();
void SetFailureDetail(std::string detail);
// Forgets the cause and the USB layer's note.
void ClearFailureDetail();

}  // namespace vesk
