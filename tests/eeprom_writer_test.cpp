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

std::vector<Beat> MiddleBeats(unsigned chip, unsigned fromBank, unsigned toBank) {
  std::vector<Beat> beats;
  for (unsigned bank = fromBank; bank <= toBank; ++bank)
    for (unsigned offset = 0; offset < 0x8000; offset += 0x1000) beats.push_back({chip, bank, offset, 4096});
  return beats;
}

TEST_F(PagedWriterTest, WorkedExamplesGoOutAsTheirBeats) {
  std::vector<WorkedExample> examples = {
      {0, 4, 0x0000, 20, {{0, 4, 0x0000, 20}}},
      {0, 5, 0x0080, 128, {{0, 5, 0x0080, 128}}},
      {0, 0, 0x0000, 8192, {{0, 0, 0x0000, 4096}, {0, 0, 0x1000, 4096}}},
      {0, 5, 0x6000, 12000, {{0, 5, 0x6000, 4096}, {0, 5, 0x7000, 4096}, {1, 0, 0x0000, 3808}}},
      {0, 5, 0x0100, 9000, {{0, 5, 0x0100, 3840}, {0, 5, 0x1000, 4096}, {0, 5, 0x2000, 1064}}},
      {0, 0, 0x0000, 4096, {{0, 0, 0x0000, 4096}}},
      {0, 0, 0x0000, 4097, {{0, 0, 0x0000, 4096}, {0, 0, 0x1000, 1}}},
      {0, 5, 0x0080, 4096 - 0x80, {{0, 5, 0x0080, 4096 - 0x80}}},
      {0, 5, 0x7000, 4097, {{0, 5, 0x7000, 4096}, {1, 0, 0x0000, 1}}},
  };
  WorkedExample big{0, 0, 0, 200000, MiddleBeats(0, 0, 5)};
  big.beats.push_back({1, 0, 0x0000, 3392});
  examples.push_back(big);

  for (const auto& example : examples) {
    SCOPED_TRACE("start " + std::to_string(example.chip) + "/" + std::to_string(example.bank) +
                 "/" + std::to_string(example.offset) + " length " + std::to_string(example.length));
    driver.requests.clear();
    const auto data = Pattern(example.length, example.length);
    ASSERT_TRUE(WriteEepromPaged(handle, example.chip, example.bank, example.offset,
                                 example.length, data.data()));
    EXPECT_EQ(EepromBeats(driver.requests), example.beats);
    EXPECT_EQ(EepromData(driver.requests), data);  // every byte once, in order
  }
  EXPECT_TRUE(debugLines.empty());
}

TEST_F(PagedWriterTest, ZeroLengthSendsNothing) {
  EXPECT_TRUE(WriteEepromPaged(handle, 0, 0, 0, 0, nullptr));
  EXPECT_TRUE(driver.requests.empty());
}

TEST_F(PagedWriterTest, EachFailingBeatNamesItselfAndStopsTheWrite) {
  const auto data = Pattern(9000);
  struct Case {
    std::size_t failingRequest;
    const char* message;
  };
  for (const Case& c : {Case{1, "ERROR: Failed 1st beat EEPROM write call."},
                        Case{2, "ERROR:  Failed mid-beat EEPROM write call."},
                        Case{3, "ERROR:  Failed last EEPROM write call."}}) {
    driver.requests.clear();
    debugLines.clear();
    driver.failingRequests = {c.failingRequest};
    // 9000 bytes at 0x0100: a first beat, one middle beat, a last beat.
    EXPECT_FALSE(WriteEepromPaged(handle, 0, 5, 0x0100, 9000, data.data()));
    EXPECT_EQ(driver.requests.size(), c.failingRequest);
    EXPECT_EQ(debugLines, std::vector<std::string>{c.message});
  }
}

TEST_F(PagedWriterTest, FirstMiddleBeatFailingSendsNoLastBeat) {
  driver.failingRequests = {1};
  const auto data = Pattern(8192);
  EXPECT_FALSE(WriteEepromPaged(handle, 0, 0, 0, 8192, data.data()));
  EXPECT_EQ(driver.requests.size(), 1u);
  EXPECT_EQ(debugLines, std::vector<std::string>{"ERROR:  Failed mid-beat EEPROM write call."});
}

TEST_F(PagedWriterTest, OffsetsOutsideTheUsualStartsNeverCrossABank) {
  const auto data = Pattern(9000);
  // Unaligned start above 4096: brought to the next 4096 boundary first.
  ASSERT_TRUE(WriteEepromPaged(handle, 0, 2, 0x7F00, 9000, data.data()));
  EXPECT_EQ(EepromBeats(driver.requests),
            (std::vector<Beat>{
                {0, 2, 0x7F00, 256}, {0, 3, 0x0000, 4096}, {0, 3, 0x1000, 4096}, {0, 3, 0x2000, 552}}));
  EXPECT_EQ(EepromData(driver.requests), data);

  driver.requests.clear();
  EXPECT_FALSE(WriteEepromPaged(handle, 0, 0, 0x8000, 10, data.data()));
  EXPECT_TRUE(driver.requests.empty());
}

TEST_F(PagedWriterTest, ObserverSeesBytesWrittenAfterEachBeatAndChangesNoRequest) {
  const auto data = Pattern(12000);
  std::vector<std::uint32_t> seen;
  ASSERT_TRUE(WriteEepromPaged(handle, 0, 5, 0x6000, 12000, data.data(),
                               [&](std::uint32_t done) { seen.push_back(done); }));
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{4096, 8192, 12000}));
  EXPECT_EQ(driver.requests.size(), 3u);
}

}  // namespace
}  // namespace vesk
