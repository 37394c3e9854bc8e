#pragma once
// The image files: their fixed names and the reader that brings one whole into memory.

#include <cstdint>
#include <string>
#include <vector>

namespace vesk {

// The whole content of one file; empty means the file could not be read (or was empty).
using ImageBytes = std::vector<std::uint8_t>;

// Bare names, resolved against the working directory at the moment of the read.
extern const std::string BufConImageFile;
extern const std::string CamConImageFile;
extern const std::string Fx2ImageFile;
extern const std::string GpifBufConFile;
extern const std::string GpifCamConFile;
extern const std::string GpifFifoFile;

// Reads the named file whole, in binary mode, byte for byte. Prints "Reading file NAME.\n"
// on standard output once the file is open. Empty when the file cannot be opened (missing,
// refused, a directory) or holds no bytes; a read error part way returns what was read.
ImageBytes ReadImageFile(std::string name);

}  // namespace vesk
