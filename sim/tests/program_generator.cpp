#include "sim/tests/program_generator.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vesk::sim::test {

namespace {

constexpr std::uint16_t kBody = 0x0100;
constexpr std::uint16_t kInt0Routine = 0x0080;
constexpr std::uint16_t kTimer0Routine = 0x00A0;
constexpr std::uint8_t kScratch = 0x7C;  // IRAM byte the RET/RETI set-up goes through

// The bytes after each opcode, a row of the opcode map per line:
//   -  none        d  direct      b  bit         i  immediate    r  relative
//   a  AJMP/ACALL  L  LJMP/LCALL  (both placed by the generator itself)
//   B  bit, relative      D  direct, immediate   M  direct, direct
//   W  16-bit immediate   C  immediate, relative J  direct, relative
constexpr std::string_view kOperands =
    "-aL--d----------"
    "BaL--d----------"
    "Ba--id----------"
    "Ba--id----------"
    "radDid----------"
    "radDid----------"
    "radDid----------"
    "rab-iDiiiiiiiiii"
    "rab--Mdddddddddd"
    "Wab-id----------"
    "bab---dddddddddd"
    "bab-CJCCCCCCCCCC"
    "dab--d----------"
    "dab--J--rrrrrrrr"
    "-a---d----------"
    "-a---d----------";

// Operand kinds of the bytes after `op`, in order: a lower-case letter above, or the pair
// an upper-case one stands for (the letter, then its two kinds).
constexpr std::string_view kPairs = "BbrDdiMddWiiCirJdr";
std::string_view OperandKinds(std::uint8_t op) {
  const char layout = kOperands[op];
  if (layout == '-') return {};
  for (std::size_t i = 0; i < kPairs.size(); i += 3)
    if (kPairs[i] == layout) return kPairs.substr(i + 1, 2);
  return kOperands.substr(op, 1);
}

bool IsRelativeBranch(std::uint8_t op) {
  return OperandKinds(op).ends_with('r');
}

bool UsesIndirect(std::uint8_t op) {
  const int col = op & 0x0F;
  return col == 6 || col == 7 || op == 0xE2 || op == 0xE3 || op == 0xF2 || op == 0xF3;
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : state_(seed * 2654435761u + 12345u) {
    if (state_ == 0) state_ = 1;
  }

  GeneratedProgram Generate(int count) {
    image_.assign(kBody, 0x00);
    Place(0x0000, {0x02, kBody >> 8, kBody & 0xFF});
    Place(0x0003, {0x02, kInt0Routine >> 8, kInt0Routine & 0xFF});
    Place(0x000B, {0x02, kTimer0Routine >> 8, kTimer0Routine & 0xFF});
    // INT0: counts into 0x7E and raises timer 0, which nests when it has the higher priority.
    Place(kInt0Routine, {0xC0, 0xD0, 0xC0, 0xE0, 0xD2, 0x8D, 0xE5, 0x7E, 0x24, 0x01, 0xF5, 0x7E,
                         0xD0, 0xE0, 0xD0, 0xD0, 0x32});
    // Timer 0: mixes its own count into 0x7D, so the order of nested routines shows.
    Place(kTimer0Routine, {0xC0, 0xD0, 0xC0, 0xE0, 0xE5, 0x7D, 0x23, 0x25, 0x7E, 0xF5, 0x7D, 0xD0,
                           0xE0, 0xD0, 0xD0, 0x32});
    Emit({0x75, 0x81, 0xBF});  // SP
    Emit({0x75, 0xA8, static_cast<std::uint8_t>(0x80 | (Random(4) == 0 ? 0 : 0x03))});
    Emit({0x75, 0xB8, static_cast<std::uint8_t>(Random(4))});  // IP: INT0, T0 levels
    Emit({0xD2, 0x88});                                        // IT0: INT0 edge-triggered
    Emit({0x75, 0x8E, static_cast<std::uint8_t>(Random(8))});  // CKCON MOVX stretch
    Emit({0x75, 0xA0, 0x20});                                  // P2 (DS80C320 MOVX @Ri page)
    Emit({0x75, 0x92, 0x20});                                  // MPAGE (the FX2's)
    for (int i = 0; i < count; ++i) EmitRandom();
    Emit({0x00, 0xC2, 0xAF, 0x00});  // CLR EA: nothing may be pending into the final SJMP
    const std::uint16_t end = Here();
    Emit({0x80, 0xFE});
    // MOVC reads up to 255 bytes past its base (PC, or a DPTR in 0x0100-0x02FF): the image
    // covers all of it so that neither simulator reads unprogrammed code memory.
    image_.resize(std::max<std::size_t>(image_.size() + 0x100, 0x0400), 0x00);
    if (image_.size() > 0x1F00) throw std::runtime_error("generated program too large");
    return {image_, end};
  }

 private:
  std::uint32_t Random(std::uint32_t range) {
    // xorshift32: the same sequence on every platform.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_ % range;
  }
  std::uint16_t Here() const { return static_cast<std::uint16_t>(image_.size()); }
  void Emit(std::initializer_list<std::uint8_t> bytes) {
    image_.insert(image_.end(), bytes.begin(), bytes.end());
  }
  void EmitBytes(const std::vector<std::uint8_t>& bytes) {
    image_.insert(image_.end(), bytes.begin(), bytes.end());
  }
  void Place(std::uint16_t at, std::initializer_list<std::uint8_t> bytes) {
    std::uint16_t address = at;
    for (std::uint8_t byte : bytes) image_[address++] = byte;
  }

  // Direct addresses both simulators treat alike: IRAM and a few core SFRs.
  std::uint8_t DirectAddress() {
    // Not PSW: ucsim keeps a parity bit written to PSW until A changes, where the chip's P
    // always follows A. Bank switches come from ANL/ORL PSW,#imm instead.
    static constexpr std::uint8_t kSfrs[] = {0xE0, 0xF0, 0x82, 0x83, 0x84, 0x85};
    if (Random(5) == 0) return kSfrs[Random(sizeof kSfrs)];
    return static_cast<std::uint8_t>(Random(0x80));
  }
  // Bits: the bit-addressable IRAM, ACC, B and PSW's flags. Not PSW's parity bit, and not
  // RS1/RS0: ucsim 0.6.4 does not switch register banks when they change by a bit
  // instruction (the chip does; byte writes to PSW switch banks in both).
  std::uint8_t BitAddress() {
    static constexpr std::uint8_t kPswFlags[] = {0xD1, 0xD2, 0xD5, 0xD6, 0xD7};
    switch (Random(6)) {
      case 0:
        return static_cast<std::uint8_t>(0xE0 + Random(8));
      case 1:
        return static_cast<std::uint8_t>(0xF0 + Random(8));
      case 2:
        return kPswFlags[Random(sizeof kPswFlags)];
      default:
        return static_cast<std::uint8_t>(Random(0x80));
    }
  }

  // One instruction without control flow, stack, indirect or XDATA access, for branches to
  // skip and subroutines to run.
  std::vector<std::uint8_t> Filler() {
    for (;;) {
      const std::uint8_t op = static_cast<std::uint8_t>(Random(256));
      if (op == 0xA5 || op == 0x73 || op == 0x93 || op == 0x22 || op == 0x32) continue;
      if (op == 0x02 || op == 0x12 || (op & 0x1F) == 0x01 || (op & 0x1F) == 0x11) continue;
      if (op == 0xC0 || op == 0xD0 || IsRelativeBranch(op) || UsesIndirect(op)) continue;
      if (op == 0xE0 || op == 0xF0) continue;
      return WithOperands(op, 0);
    }
  }

  std::vector<std::uint8_t> WithOperands(std::uint8_t op, std::uint8_t relative) {
    std::vector<std::uint8_t> bytes{op};
    for (char kind : OperandKinds(op)) {
      if (kind == 'd') bytes.push_back(DirectAddress());
      if (kind == 'b') bytes.push_back(BitAddress());
      if (kind == 'i') bytes.push_back(static_cast<std::uint8_t>(Random(256)));
      if (kind == 'r') bytes.push_back(relative);
    }
    return bytes;
  }

  void EmitCall(bool absolute) {
    std::vector<std::uint8_t> body;
    const int steps = 1 + static_cast<int>(Random(3));
    for (int i = 0; i < steps; ++i) {
      const std::vector<std::uint8_t> filler = Filler();
      body.insert(body.end(), filler.begin(), filler.end());
    }
    body.push_back(0x22);  // RET
    const std::uint16_t call_length = absolute ? 2 : 3;
    const std::uint16_t target = static_cast<std::uint16_t>(Here() + call_length + 2);
    if (absolute && (target & 0xF800) != ((Here() + 2) & 0xF800)) absolute = false;
    if (absolute) {
      Emit({static_cast<std::uint8_t>(0x11 | ((target >> 8) & 7) << 5),
            static_cast<std::uint8_t>(target)});
    } else {
      const std::uint16_t long_target = static_cast<std::uint16_t>(Here() + 3 + 2);
      Emit({0x12, static_cast<std::uint8_t>(long_target >> 8),
            static_cast<std::uint8_t>(long_target)});
    }
    Emit({0x80, static_cast<std::uint8_t>(body.size())});
    EmitBytes(body);
  }

  void EmitJump(bool absolute) {
    const std::vector<std::uint8_t> skipped = Filler();
    const std::uint16_t length = absolute ? 2 : 3;
    const std::uint16_t target = static_cast<std::uint16_t>(Here() + length + skipped.size());
    if (absolute && (target & 0xF800) == ((Here() + 2) & 0xF800)) {
      Emit({static_cast<std::uint8_t>(0x01 | ((target >> 8) & 7) << 5),
            static_cast<std::uint8_t>(target)});
    } else {
      const std::uint16_t long_target = static_cast<std::uint16_t>(Here() + 3 + skipped.size());
      Emit({0x02, static_cast<std::uint8_t>(long_target >> 8),
            static_cast<std::uint8_t>(long_target)});
    }
    EmitBytes(skipped);
  }

  void EmitReturnTo(std::uint8_t op) {
    // Pushes the address after the RET/RETI and returns to it.
    const std::uint16_t target = static_cast<std::uint16_t>(Here() + 3 + 2 + 3 + 2 + 1);
    Emit({0x75, kScratch, static_cast<std::uint8_t>(target), 0xC0, kScratch, 0x75, kScratch,
          static_cast<std::uint8_t>(target >> 8), 0xC0, kScratch, op});
  }

  void EmitRandom() {
    // Now and then: interrupt requests, EA off and on, DPTR, priority and bank switches.
    // After a write to IE or IP the chip runs one more instruction before it takes an
    // interrupt; ucsim does not. So EA is set only with no request pending (the interrupt
    // tests cover a request held while EA=0), and a NOP follows the other writes.
    if (Random(12) == 0) {
      switch (Random(7)) {
        case 0:
          Emit({0xD2, 0x8D});
          return;  // SETB TF0
        case 1:
          Emit({0xD2, 0x89});
          return;  // SETB IE0
        case 2:
          Emit({0xC2, 0xAF, 0x00});
          return;  // CLR EA
        case 3:
          Emit({0xC2, 0x8D, 0xC2, 0x89, 0xD2, 0xAF, 0x00});
          return;  // SETB EA
        case 4:
          Emit({0x75, 0x86, static_cast<std::uint8_t>(Random(2))});
          return;  // DPS
        case 5:    // IP
          Emit({0x75, 0xB8, static_cast<std::uint8_t>(Random(4)), 0x00});
          return;
        default:  // PSW (banks and flags) by ANL/ORL, which keep the parity bit as read
          Emit({0x53, 0xD0, static_cast<std::uint8_t>(Random(256) | 0x01), 0x43, 0xD0,
                static_cast<std::uint8_t>(Random(256) & 0xFE)});
          return;
      }
    }
    const std::uint8_t op = static_cast<std::uint8_t>(Random(256));
    if (op == 0xA5) return;
    if ((op & 0x1F) == 0x01) return EmitJump(true);
    if ((op & 0x1F) == 0x11) return EmitCall(true);
    if (op == 0x02) return EmitJump(false);
    if (op == 0x12) return EmitCall(false);
    if (op == 0x22 || op == 0x32) return EmitReturnTo(op);
    if (op == 0x73) {
      const std::uint8_t offset = static_cast<std::uint8_t>(Random(256));
      const std::uint16_t target = static_cast<std::uint16_t>(Here() + 2 + 3 + 1);
      const std::uint16_t base = static_cast<std::uint16_t>(target - offset);
      Emit({0x74, offset, 0x90, static_cast<std::uint8_t>(base >> 8),
            static_cast<std::uint8_t>(base), 0x73});
      return;
    }
    if (op == 0xC0 && depth_ >= 16) return;
    if (op == 0xD0 && depth_ == 0) return;
    if (op == 0xC0) ++depth_;
    if (op == 0xD0) --depth_;
    if (op == 0xE0 || op == 0xF0) {
      Emit({0x90, 0x20, static_cast<std::uint8_t>(Random(256))});
    } else if (op == 0x93) {
      const std::uint16_t table = static_cast<std::uint16_t>(kBody + Random(0x200));
      Emit({0x90, static_cast<std::uint8_t>(table >> 8), static_cast<std::uint8_t>(table)});
    } else if (UsesIndirect(op)) {
      const bool movx = (op & 0xEE) == 0xE2;
      const std::uint8_t pointer =
          static_cast<std::uint8_t>(movx ? Random(256) : 0x20 + Random(0xA0));
      Emit({static_cast<std::uint8_t>(0x78 | (op & 1)), pointer});
    }
    if (IsRelativeBranch(op)) {
      const std::vector<std::uint8_t> skipped = Filler();
      EmitBytes(WithOperands(op, static_cast<std::uint8_t>(skipped.size())));
      EmitBytes(skipped);
      return;
    }
    EmitBytes(WithOperands(op, 0));
  }

  std::uint32_t state_;
  std::vector<std::uint8_t> image_;
  int depth_ = 0;
};

}  // namespace

GeneratedProgram GenerateRandomProgram(std::uint32_t seed, int instructions) {
  return Generator(seed).Generate(instructions);
}

std::string ToIntelHex(const std::vector<std::uint8_t>& image) {
  std::string text;
  char line[64];
  for (std::size_t offset = 0; offset < image.size(); offset += 16) {
    const std::size_t count = std::min<std::size_t>(16, image.size() - offset);
    unsigned sum = static_cast<unsigned>(count + (offset >> 8) + (offset & 0xFF));
    std::snprintf(line, sizeof line, ":%02X%04X00", static_cast<unsigned>(count),
                  static_cast<unsigned>(offset));
    text += line;
    for (std::size_t i = 0; i < count; ++i) {
      std::snprintf(line, sizeof line, "%02X", image[offset + i]);
      text += line;
      sum += image[offset + i];
    }
    std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += line;
  }
  text += ":00000001FF\n";
  return text;
}

}  // namespace vesk::sim::test
