#pragma once
// The Wine test programs' checks: each prints what failed and is counted; the program's
// exit status says whether every check passed.

#include <cstdio>
#include <string>

namespace vesk::windows_tests {

inline int passed = 0;
inline int failed = 0;

inline void Expect(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

template <typename T>
void ExpectEqual(const T& actual, const T& expected, const std::string& what) {
  Expect(actual == expected, what);
}

inline void ExpectEqual(const std::string& actual, const std::string& expected,
                        const std::string& what) {
  if (actual != expected) {
    std::printf("  expected: \"%s\"\n  actual:   \"%s\"\n", expected.c_str(), actual.c_str());
  }
  Expect(actual == expected, what);
}

// Prints the counts; the exit status: 0 when every check passed and at least one ran.
inline int Summary() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace vesk::windows_tests
