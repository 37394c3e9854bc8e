#pragma once
// A bus and core with helpers to place hand-assembled code, for the core's own tests.

#include <gtest/gtest.h>

#include <initializer_list>

#include "sim/bus.h"
#include "sim/cpu8051.h"

namespace vesk::sim::test {

class CoreFixture : public ::testing::Test {
 protected:
  void Code(std::uint16_t address, std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t byte : bytes) bus_.MainRam()[address++] = byte;
  }
  // Runs until PC == `pc`; fails the test if that takes more than `limit` cycles.
  void RunTo(std::uint16_t pc, std::uint64_t limit = 100000) {
    ASSERT_EQ(cpu_.Run(limit, pc), StopReason::ReachedPc) << "pc=" << std::hex << cpu_.Pc();
  }

  Bus bus_;
  Cpu8051 cpu_{bus_};
};

}  // namespace vesk::sim::test
