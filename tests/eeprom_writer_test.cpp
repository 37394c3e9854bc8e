#include <gtest/gtest.h>

#include <string>

#include "device/debug_output.h"
#include "device/device_connection.h"
#include "device/eeprom_writer.h"
#include "test_support.h"

namespace vesk {
namespace {

using testing::Beat;
using testing::EepromBeats;
using testing::EepromData;
using testing::Pattern;

class PagedWriterTest : public ::testing::Test {
 protected:
  testing::FakeCameraDriver driver;
  DeviceHandle handle{kNullDeviceHandle, &driver};
  std::vector<std::string> debugLines;
  DebugSink previousSink;

  void SetUp() override {
    std::array<char, 256> path{};
    ASSERT_EQ(OpenCameraDevice(0, handle, path), 0);
    previousSink = SetDebugSink([this](std::string_view m) { debugLines.emplace_back(m); });
  }
  void TearDown() override { SetDebugSink(previousSink); }
};

struct WorkedExample {
  unsigned chip, bank, offset, length;
  std::vector<Beat> beats;
};

// Each write: its beats, every byte once and in order, and what the observer was told.
TEST_F(PagedWriterTest, WorkedExamplesGoOutAsTheirBeats) {
  const WorkedExample examples[] = {
      {0, 4, 0x0000, 20, {{0, 4, 0x0000, 20}}},
      {0, 5, 0x6000, 12000, {{0, 5, 0x6000, 4096}, {0, 5, 0x7000, 4096}, {1, 0, 0x0000, 3808}}},
      {0, 5, 0x0100, 9000, {{0, 5, 0x0100, 3840}, {0, 5, 0x1000, 4096}, {0, 5, 0x2000, 1064}}},
      {0, 0, 0x0000, 4096, {{0, 0, 0x0000, 4096}}},
      {0, 0, 0x0000, 4097, {{0, 0, 0x0000, 4096}, {0, 0, 0x1000, 1}}},
      {0, 5, 0x0080, 4096 - 0x80, {{0, 5, 0x0080, 4096 - 0x80}}},
      {0, 5, 0x7000, 4097, {{0, 5, 0x7000, 4096}, {1, 0, 0x0000, 1}}},
      // Unaligned start above 4096: brought to the next 4096 boundary first.
      {0, 2, 0x7F00, 9000,
       {{0, 2, 0x7F00, 256}, {0, 3, 0x0000, 4096}, {0, 3, 0x1000, 4096}, {0, 3, 0x2000, 552}}},
      {0, 0, 0x0000, 0, {}},
  };
  for (const auto& example : examples) {
    SCOPED_TRACE("start " + std::to_string(example.chip) + "/" + std::to_string(example.bank) +
                 "/" + std::to_string(example.offset) + " length " + std::to_string(example.length));
    driver.requests.clear();
    const auto data = Pattern(example.length, example.length);
    std::vector<std::uint32_t> told;
    ASSERT_TRUE(WriteEepromPaged(handle, example.chip, example.bank, example.offset,
                                 example.length, data.data(),
                                 [&](std::uint32_t done) { told.push_back(done); }));
    EXPECT_EQ(EepromBeats(driver.requests), example.beats);
    EXPECT_EQ(EepromData(driver.requests), data);
    std::vector<std::uint32_t> afterEachBeat;
    for (std::uint32_t done = 0; const Beat& beat : example.beats)
      afterEachBeat.push_back(done += beat.count);
    EXPECT_EQ(told, afterEachBeat);
  }
  EXPECT_TRUE(debugLines.empty());
}

TEST_F(PagedWriterTest, EachFailingBeatNamesItselfAndStopsTheWrite) {
  const auto data = Pattern(9000);
  struct Case {
    std::uint16_t offset;
    std::uint32_t length;
    std::size_t failingRequest;  // 0: none
    const char* message;         // nullptr: none
    std::size_t requests;
  };
  // At 0x0100, 9000 bytes are a first beat, one middle beat and a last beat; 8192 at 0
  // are two middle beats; nothing starts at 0x8000, past the bank.
  for (const Case& c : {Case{0x0100, 9000, 1, "ERROR: Failed 1st beat EEPROM write call.", 1},
                        Case{0x0100, 9000, 2, "ERROR:  Failed mid-beat EEPROM write call.", 2},
                        Case{0x0100, 9000, 3, "ERROR:  Failed last EEPROM write call.", 3},
                        Case{0x0000, 8192, 1, "ERROR:  Failed mid-beat EEPROM write call.", 1},
                        Case{0x8000, 10, 0, nullptr, 0}}) {
    SCOPED_TRACE(c.failingRequest);
    driver.requests.clear();
    debugLines.clear();
    driver.failingRequests = {c.failingRequest};
    EXPECT_FALSE(WriteEepromPaged(handle, 0, 5, c.offset, c.length, data.data()));
    EXPECT_EQ(driver.requests.size(), c.requests);
    EXPECT_EQ(debugLines, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace vesk
