// Random programs for the comparison with ucsim. Branches jump forward over one instruction,
// calls return, the stack stays in 0xC0-0xFF, data stays in IRAM, a few SFRs and the window.
// Layout: 0x0000 LJMP to the body at 0x0100; the INT0 and timer 0 vectors jump to routines
// at 0x0080/0x00A0 that count into IRAM 0x7E/0x7D. The body sets SP, IE, IP, IT0, CKCON and
// P2 = MPAGE = 0x20, runs the random instructions and ends in `SJMP .`.
#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "sim/tests/ucsim.h"

namespace vesk::sim::test {

namespace {

constexpr std::uint16_t kBody = 0x0100;
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

// Operand kinds of the bytes after `op`: a lower-case letter above, or the two an upper-case
// one stands for.
std::string_view OperandKinds(std::uint8_t op) {
  constexpr std::string_view kPairs = "BbrDdiMddWiiCirJdr";
  if (kOperands[op] == '-') return {};
  for (std::size_t i = 0; i < kPairs.size(); i += 3)
    if (kPairs[i] == kOperands[op]) return kPairs.substr(i + 1, 2);
  return kOperands.substr(op, 1);
}

bool IsRelativeBranch(std::uint8_t op) { return OperandKinds(op).ends_with('r'); }

bool UsesIndirect(std::uint8_t op) {
  return (op & 0x0E) == 6 || op == 0xE2 || op == 0xE3 || op == 0xF2 || op == 0xF3;
}

bool IsJumpOrCall(std::uint8_t op) { return op == 0x02 || op == 0x12 || (op & 0x0F) == 0x01; }

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : state_(seed * 2654435761u + 12345u) {
    if (state_ == 0) state_ = 1;
  }

  std::vector<std::uint8_t> Generate(int count) {
    image_.assign(kBody, 0x00);
    Place(0x0000, {0x02, 0x01, 0x00});
    Place(0x0003, {0x02, 0x00, 0x80});
    Place(0x000B, {0x02, 0x00, 0xA0});
    // INT0: counts into 0x7E and raises timer 0, which nests when it has the higher priority.
    Place(0x0080, {0xC0, 0xD0, 0xC0, 0xE0, 0xD2, 0x8D, 0xE5, 0x7E, 0x24, 0x01, 0xF5, 0x7E,
                   0xD0, 0xE0, 0xD0, 0xD0, 0x32});
    // Timer 0: mixes its own count into 0x7D, so the order of nested routines shows.
    Place(0x00A0, {0xC0, 0xD0, 0xC0, 0xE0, 0xE5, 0x7D, 0x23, 0x25, 0x7E, 0xF5, 0x7D, 0xD0,
                   0xE0, 0xD0, 0xD0, 0x32});
    // SP, IE, IP (INT0 and timer 0 levels), IT0, CKCON (MOVX stretch), P2 (the DS80C320's
    // MOVX @Ri page), MPAGE (the FX2's)
    Emit({0x75, 0x81, 0xBF, 0x75, 0xA8, Byte(Random(4) == 0 ? 0x80 : 0x83), 0x75, 0xB8,
          Byte(Random(4)), 0xD2, 0x88, 0x75, 0x8E, Byte(Random(8)), 0x75, 0xA0, 0x20, 0x75,
          0x92, 0x20});
    for (int i = 0; i < count; ++i) EmitRandom();
    Emit({0x00, 0xC2, 0xAF, 0x00, 0x80, 0xFE});  // CLR EA: nothing pending into the SJMP .
    // MOVC reads up to 255 bytes past its base (PC, or a DPTR in 0x0100-0x02FF): the image
    // covers all of it so that neither simulator reads unprogrammed code memory.
    image_.resize(std::max<std::size_t>(image_.size() + 0x100, 0x0400), 0x00);
    if (image_.size() > 0x1F00) throw std::runtime_error("generated program too large");
    return image_;
  }

 private:
  static std::uint8_t Byte(unsigned value) { return static_cast<std::uint8_t>(value); }
  std::uint32_t Random(std::uint32_t range) {
    // xorshift32: the same sequence on every platform.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_ % range;
  }
  std::uint16_t Here() const { return static_cast<std::uint16_t>(image_.size()); }
  void Emit(const std::vector<std::uint8_t>& bytes) {
    image_.insert(image_.end(), bytes.begin(), bytes.end());
  }
  void Place(std::uint16_t at, std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), image_.begin() + at);
  }

  // Direct addresses both simulators treat alike: IRAM and a few core SFRs. Not PSW: ucsim
  // keeps a parity bit written to PSW until A changes, where the chip's P always follows A.
  std::uint8_t DirectAddress() {
    static constexpr std::uint8_t kSfrs[] = {0xE0, 0xF0, 0x82, 0x83, 0x84, 0x85};
    return Random(5) == 0 ? kSfrs[Random(sizeof kSfrs)] : Byte(Random(0x80));
  }
  // Bits: the bit-addressable IRAM, ACC, B and PSW's flags. Not PSW's parity bit, and not
  // RS1/RS0: ucsim 0.6.4 does not switch register banks when they change by a bit
  // instruction (the chip does; byte writes to PSW switch banks in both).
  std::uint8_t BitAddress() {
    static constexpr std::uint8_t kPswFlags[] = {0xD1, 0xD2, 0xD5, 0xD6, 0xD7};
    switch (Random(6)) {
      case 0: return Byte(0xE0 + Random(8));
      case 1: return Byte(0xF0 + Random(8));
      case 2: return kPswFlags[Random(sizeof kPswFlags)];
      default: return Byte(Random(0x80));
    }
  }

  // One instruction without control flow, stack, indirect or XDATA access, for branches to
  // skip and subroutines to run.
  std::vector<std::uint8_t> Filler() {
    for (;;) {
      const std::uint8_t op = Byte(Random(256));
      if (op == 0xA5 || op == 0x73 || op == 0x93 || op == 0x22 || op == 0x32 || IsJumpOrCall(op) ||
          op == 0xC0 || op == 0xD0 || op == 0xE0 || op == 0xF0 || IsRelativeBranch(op) ||
          UsesIndirect(op))
        continue;
      return WithOperands(op, 0);
    }
  }

  std::vector<std::uint8_t> WithOperands(std::uint8_t op, std::uint8_t relative) {
    std::vector<std::uint8_t> bytes{op};
    for (char kind : OperandKinds(op)) {
      if (kind == 'd') bytes.push_back(DirectAddress());
      if (kind == 'b') bytes.push_back(BitAddress());
      if (kind == 'i') bytes.push_back(Byte(Random(256)));
      if (kind == 'r') bytes.push_back(relative);
    }
    return bytes;
  }

  // AJMP/LJMP over a filler, or ACALL/LCALL of a few fillers and RET that an SJMP skips.
  void EmitJumpOrCall(bool call, bool absolute) {
    std::vector<std::uint8_t> body = Filler();
    for (int i = call ? static_cast<int>(Random(3)) : 0; i > 0; --i) {
      const std::vector<std::uint8_t> more = Filler();
      body.insert(body.end(), more.begin(), more.end());
    }
    if (call) body.insert(body.begin(), {0x80, Byte(body.size() + 1)});  // SJMP over it
    if (call) body.push_back(0x22);
    std::uint16_t target = static_cast<std::uint16_t>(Here() + 2 + (call ? 2 : body.size()));
    if (absolute && (target & 0xF800) == ((Here() + 2) & 0xF800)) {
      Emit({Byte((call ? 0x11 : 0x01) | ((target >> 8) & 7) << 5), Byte(target)});
    } else {
      target = static_cast<std::uint16_t>(target + 1);
      Emit({call ? std::uint8_t{0x12} : std::uint8_t{0x02}, Byte(target >> 8), Byte(target)});
    }
    Emit(body);
  }

  void EmitRandom() {
    // Now and then: interrupt requests, EA off and on, DPTR, priority and bank switches.
    // After a write to IE or IP the chip runs one more instruction before it takes an
    // interrupt; ucsim does not. So EA is set only with no request pending (the interrupt
    // tests cover a request held while EA=0), and a NOP follows the other writes.
    if (Random(12) == 0) {
      switch (Random(7)) {
        case 0: return Emit({0xD2, 0x8D});                                // SETB TF0
        case 1: return Emit({0xD2, 0x89});                                // SETB IE0
        case 2: return Emit({0xC2, 0xAF, 0x00});                          // CLR EA
        case 3: return Emit({0xC2, 0x8D, 0xC2, 0x89, 0xD2, 0xAF, 0x00});  // SETB EA
        case 4: return Emit({0x75, 0x86, Byte(Random(2))});               // DPS
        case 5: return Emit({0x75, 0xB8, Byte(Random(4)), 0x00});         // IP
        default:  // PSW (banks and flags) by ANL/ORL, which keep the parity bit as read
          return Emit({0x53, 0xD0, Byte(Random(256) | 0x01), 0x43, 0xD0, Byte(Random(256) & 0xFE)});
      }
    }
    const std::uint8_t op = Byte(Random(256));
    if (op == 0xA5) return;
    if (IsJumpOrCall(op)) return EmitJumpOrCall((op & 0x10) != 0, (op & 0x0F) == 0x01);
    if (op == 0x22 || op == 0x32) {  // pushes the address after the RET/RETI and returns to it
      const std::uint16_t target = static_cast<std::uint16_t>(Here() + 11);
      return Emit({0x75, kScratch, Byte(target), 0xC0, kScratch, 0x75, kScratch, Byte(target >> 8),
                   0xC0, kScratch, op});
    }
    if (op == 0x73) {  // JMP @A+DPTR to the next instruction
      const std::uint8_t offset = Byte(Random(256));
      const std::uint16_t base = static_cast<std::uint16_t>(Here() + 6 - offset);
      return Emit({0x74, offset, 0x90, Byte(base >> 8), Byte(base), 0x73});
    }
    if ((op == 0xC0 && depth_ >= 16) || (op == 0xD0 && depth_ == 0)) return;
    depth_ += op == 0xC0 ? 1 : op == 0xD0 ? -1 : 0;
    if (op == 0xE0 || op == 0xF0) Emit({0x90, 0x20, Byte(Random(256))});
    if (op == 0x93) {
      const std::uint16_t table = static_cast<std::uint16_t>(kBody + Random(0x200));
      Emit({0x90, Byte(table >> 8), Byte(table)});
    } else if (UsesIndirect(op)) {
      const bool movx = (op & 0xEE) == 0xE2;
      Emit({Byte(0x78 | (op & 1)), Byte(movx ? Random(256) : 0x20 + Random(0xA0))});
    }
    if (IsRelativeBranch(op)) {
      const std::vector<std::uint8_t> skipped = Filler();
      Emit(WithOperands(op, Byte(skipped.size())));
      return Emit(skipped);
    }
    Emit(WithOperands(op, 0));
  }

  std::uint32_t state_;
  std::vector<std::uint8_t> image_;
  int depth_ = 0;
};

}  // namespace

std::vector<std::uint8_t> GenerateRandomProgram(std::uint32_t seed, int instructions) {
  return Generator(seed).Generate(instructions);
}

}  // namespace vesk::sim::test
