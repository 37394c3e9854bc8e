#pragma once
// The Wine test programs' checks: each prints what failed and is counted; the program's
// exit status says whether every check passed.

#include <cstdio>
#include <string>

namespace vesk::windows_tests {

inline int passed = 0;
inline int failed = 0;

inline void Expect(bool ok, const std::string& what) {
  ++(ok ? passed : failed);
  if (!ok) std::printf("FAILED: %s\n", what.c_str());
}

// Prints the counts; the exit status: 0 when every check passed and at least one ran.
inline int Summary() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace vesk::windows_tests
