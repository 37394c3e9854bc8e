#include "device/driver_status.h"

#include <utility>

namespace vesk {

std::string_view StatusKindText(StatusKind kind) {
  switch (kind) {
    case StatusKind::Ok:
      return "";
    case StatusKind::Stall:
      return "stall";
    case StatusKind::Timeout:
      return "timeout";
    case StatusKind::NoDevice:
      return "no device";
    case StatusKind::AccessDenied:
      return "access denied";
    case StatusKind::Busy:
      return "busy";
    case StatusKind::Other:
      break;
  }
  return "failed";
}

std::string DriverStatus::Text() const {
  std::string text(StatusKindText(kind));
  if (!note.empty()) text += " (" + note + ")";
  return text;
}

DriverStatus Failure(StatusKind kind, std::string note) {
  return {kind == StatusKind::Ok ? StatusKind::Other : kind, std::move(note)};
}

}  // namespace vesk
