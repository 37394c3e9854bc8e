#include "device/failure_detail.h"

#include <utility>

namespace vesk {
namespace {

std::string& ThreadDetail() {
  thread_local std::string detail;
  return detail;
}

}  // namespace

const std::string& FailureDetail() {
  return ThreadDetail();
}

void SetFailureDetail(std::string detail) {
  ThreadDetail() = std::move(detail);
}

void ClearFailureDetail() {
  ThreadDetail().clear();
}

}  // namespace vesk
