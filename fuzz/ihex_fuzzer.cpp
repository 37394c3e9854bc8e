// The Intel HEX reader under arbitrary text: it accepts or refuses with a reason, never
// crashes, and what it accepts holds only addresses inside the 64 KB space.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/ihex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vesk::sim;
  HexImage image;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (ParseIntelHex(text, image, error)) {
    if (!error.empty()) std::abort();
  } else if (error.empty() || !image.chunks.empty()) {
    std::abort();
  }
  return 0;
}
