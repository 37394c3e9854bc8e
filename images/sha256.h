#pragma once
// SHA-256 of a byte string, for telling images apart in reports. Portable: no OS or
// library dependency, so that every build (the Windows one included) carries it.

#include <cstdint>
#include <span>
#include <string>

namespace vesk {

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace vesk
