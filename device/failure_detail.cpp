#include "device/failure_detail.h"

namespace vesk {
namespace {

struct ThreadCause {
  UsbFailure usb = UsbFailure::None;
  std::string usbNote;
  std::string detail;
};

ThreadCause& Cause() {
  thread_local ThreadCause cause;
  return cause;
}

}  // namespace

std::string_view UsbFailureText(UsbFailure failure) {
  switch (failure) {
    case UsbFailure::None:
      return "";
    case UsbFailure::Stall:
      return "stall";
    case UsbFailure::Timeout:
      return "timeout";
    case UsbFailure::NoDevice:
      return "no device";
    case UsbFailure::AccessDenied:
      return "access denied";
    case UsbFailure::Busy:
      return "busy";
    case UsbFailure::Other:
      break;
  }
  return "failed";
}

void NoteUsbFailure(UsbFailure failure, std::string_view note) {
  Cause().usb = failure;
  Cause().usbNote = note;
}

UsbFailure LastUsbFailure() {
  return Cause().usb;
}

const std::string& LastUsbFailureNote() {
  return Cause().usbNote;
}

const std::string& FailureDetail() {
  return Cause().detail;
}

void SetFailureDetail(std::string detail) {
  Cause().detail = std::move(detail);
}

void ClearFailureDetail() {
  Cause() = {};
}

}  // namespace vesk
