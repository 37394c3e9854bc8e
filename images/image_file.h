#pragma once
// The image files: their fixed names and the bounded reader that brings one into memory.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk {

// The content of one file; empty means the file could not be read (or was empty).
using ImageBytes = std::vector<std::uint8_t>;

// Bare names, resolved against the working directory at the moment of the read.
extern const std::string BufConImageFile;
extern const std::string CamConImageFile;
extern const std::string Fx2ImageFile;
extern const std::string GpifBufConFile;
extern const std::string GpifCamConFile;
extern const std::string GpifFifoFile;

enum class ImageReadError {
  None,
  Missing,         // no such file
  NotRegularFile,  // a directory, FIFO, device or socket: never opened, so never waited on
  CannotOpen,      // refused, or a link that leads nowhere
  ReadFailed,      // the read itself failed (an I/O error part-way)
};

struct ImageRead {
  ImageBytes bytes;  // empty unless error is None
  ImageReadError error = ImageReadError::None;
  std::uint64_t sizeOnDisk = 0;  // what the file system said, for messages only; never trusted
  bool directory = false;        // NotRegularFile because it is a directory
};

// Reads at most `maxBytes` bytes of the named file, in binary mode, byte for byte; the
// file's size is never trusted, so a file that is huge, sparse or growing costs no more
// than `maxBytes`. With `announce`, prints "Reading file NAME.\n" on standard output once
// the file is open. Never throws.
ImageRead ReadImageBytes(const std::string& name, std::size_t maxBytes, bool announce);

// The reader of the image downloads: at most room + 1 bytes, so that a result longer than
// `room` tells a file too large for its place. Announces the file. Empty when it cannot
// be read for any reason above, or holds no bytes.
ImageBytes ReadImageFile(const std::string& name, std::uint32_t room);

}  // namespace vesk
