#pragma once
// Why the last step of a run failed, in one line of text for the operator: which file and
// why, or which request and what the driver's status said (device/driver_status.h). Kept
// per thread, so that runs on several threads each keep their own; it hands the cause from
// the update sequence to the front end that shows it.

#include <string>

namespace vesk {

// The cause of the last failed operation on this thread; empty when none was recorded.
const std::string& FailureDetail();
void SetFailureDetail(std::string detail);
void ClearFailureDetail();

}  // namespace vesk
