#pragma once
// What an open or an I/O control came to, as every back end returns it: one kind from the
// list below and a short note of what only the back end knows (the call that failed, what
// it looked for, a hint for the operator).

#include <string>
#include <string_view>

namespace vesk {

// The kinds, in the words the operator reads (StatusKindText):
//   Ok            the operation did what was asked
//   Stall         the device refused the request (the control endpoint stalled)
//   Timeout       the device did not answer in time
//   NoDevice      no such device, or it went away during the call
//   AccessDenied  the platform does not let this user open or use the device
//   Busy          another program or driver holds the device
//   Other         any other failure: a bad request, an unknown code, a platform error
// A USB control port's transfers (device/usb) answer in the same kinds.
enum class StatusKind { Ok, Stall, Timeout, NoDevice, AccessDenied, Busy, Other };

// "", "stall", "timeout", "no device", "access denied", "busy", "failed".
std::string_view StatusKindText(StatusKind kind);

struct [[nodiscard]] DriverStatus {
  StatusKind kind = StatusKind::Ok;
  std::string note;

  bool Ok() const { return kind == StatusKind::Ok; }
  // The kind's text with the note in brackets: "stall", "failed (short read)",
  // "no device (looked for ...)"; empty when Ok.
  std::string Text() const;
  // Whether the status tells more than that the operation failed: a kind other than
  // Other, or a note.
  bool SaysWhy() const { return kind != StatusKind::Other || !note.empty(); }
};

// A failed operation's status; `kind` must not be Ok.
DriverStatus Failure(StatusKind kind, std::string note = {});

}  // namespace vesk
