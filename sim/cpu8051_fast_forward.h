#pragma once
// The exact fast-forward of a core's wait loops (see cpu8051.h): the loop record of the
// last try, the loop heads where it gave up and the verdicts on loops it has examined.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vesk::sim {

class Cpu8051;

class LoopFastForward {
 public:
  explicit LoopFastForward(Cpu8051& cpu) : cpu_(cpu) {}
  LoopFastForward(const LoopFastForward&) = delete;
  LoopFastForward& operator=(const LoopFastForward&) = delete;

  // Called with the core's PC at the target of a backward jump; `endCycle` is the run's
  // limit (no instruction may start at or past it), `untilPc` where the run stops.
  void Try(std::uint64_t endCycle, std::uint32_t untilPc);

  // Instructions counted without being executed one by one.
  std::uint64_t Skipped() const { return skipped_; }

  // The state a loop pass may read or change, flattened: internal RAM, then these.
  static constexpr int kLocAcc = 256, kLocB = 257, kLocPsw = 258;
  static constexpr int kLocDptr = 259;  // DPL0 DPH0 DPL1 DPH1
  static constexpr int kLocations = 263;
  static constexpr int kMaxLoopInstructions = 24;

 private:
  class LaneAccess;

  // The path of the real iteration and what its first pass found.
  struct LoopPass {
    std::array<std::uint16_t, kMaxLoopInstructions> path{};
    int length = 0;
    // Per instruction of the path: a peripheral value read (taken in the first pass).
    std::array<bool, kMaxLoopInstructions> hasRead{};
    std::array<std::uint16_t, kMaxLoopInstructions> readAddress{};
    std::array<std::uint8_t, kMaxLoopInstructions> readValue{};
    std::array<std::uint8_t, kMaxLoopInstructions> indirect{};  // @Ri's address
    // First pass: registers read that no pass changes (SP, MPAGE, other core SFRs), in order.
    std::array<std::uint8_t, 2 * kMaxLoopInstructions> constants{};
    int constantCount = 0;
    // First pass only: how each location was first touched, and which were written.
    std::array<std::uint8_t, kLocations> first{};
    std::array<bool, kLocations> written{};
    std::array<std::uint16_t, kLocations> writtenList;
    int writtenCount = 0;
    std::array<std::uint16_t, kLocations> liveList;  // read before written
    int liveCount = 0;
    std::array<std::uint16_t, kLocations> touchedList;
    int touchedCount = 0;
    bool unsupported = false;

    void Clear();
  };

  // Loop heads where a try failed wait this many more visits before a new one.
  struct LoopHint {
    std::uint16_t head = 0;
    std::uint16_t wait = 0;
    std::uint8_t backoff = 0;
  };

  // What a try found for a loop: for each of the 256 lanes from its base, whether it
  // repeats the path and whether it ends where the next lane starts. Verdicts depend on
  // nothing but their key, so every core of a thread shares one table of them.
  struct LoopVerdict {
    static constexpr std::size_t kKeySize = 200;
    std::array<std::uint8_t, kKeySize> key{};
    std::uint16_t keySize = 0;  // 0: empty
    std::array<std::uint64_t, 4> follows{};
    std::array<std::uint64_t, 4> continues{};
  };

  // Replays the recorded path on `state`; false when it leaves the path or does what a
  // pass may not (noted in the record when `first`).
  bool RunPass(std::uint8_t* state, bool first);
  void Capture(std::uint8_t* state) const;

  Cpu8051& cpu_;
  LoopPass pass_;
  std::array<LoopHint, 64> hints_{};
  static thread_local std::array<LoopVerdict, 256> verdicts_;
  LoopVerdict scratchVerdict_;  // for a loop whose verdict is not kept
  std::uint64_t skipped_ = 0;
};

}  // namespace vesk::sim
