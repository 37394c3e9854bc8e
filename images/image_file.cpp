#include "images/image_file.h"

#include <filesystem>
#include <fstream>
#include <iostream>

namespace vesk {

const std::string BufConImageFile = "bufcon.bin";
const std::string CamConImageFile = "camcon.bin";
const std::string Fx2ImageFile = "tarsel_usb.iic";
const std::string GpifBufConFile = "gpif_bufcon.bin";
const std::string GpifCamConFile = "gpif_camcon.bin";
const std::string GpifFifoFile = "gpif_fifo.bin";

namespace {

ImageRead Failed(ImageReadError error, bool directory = false) {
  return {{}, error, 0, directory};
}

}  // namespace

ImageRead ReadImageBytes(const std::string& name, std::size_t maxBytes, bool announce) {
  try {
    // Only a regular file is opened: opening a FIFO waits for a writer, and a device or
    // a directory never gives an image. The type is taken through links.
    std::error_code error;
    const auto status = std::filesystem::status(name, error);
    if (status.type() == std::filesystem::file_type::not_found) {
      // A link whose target is missing is there, but cannot be opened.
      const auto link = std::filesystem::symlink_status(name, error);
      return Failed(link.type() == std::filesystem::file_type::symlink
                        ? ImageReadError::CannotOpen
                        : ImageReadError::Missing);
    }
    if (error) return Failed(ImageReadError::CannotOpen);
    if (status.type() != std::filesystem::file_type::regular)
      return Failed(ImageReadError::NotRegularFile,
                    status.type() == std::filesystem::file_type::directory);

    std::ifstream file(name, std::ios::in | std::ios::binary);
    if (!file.is_open()) return Failed(ImageReadError::CannotOpen);
    // One insertion, so that a line from a run on another thread cannot land inside it.
    if (announce) std::cout << ("Reading file " + std::string(name) + ".\n") << std::flush;

    ImageRead result;
    result.sizeOnDisk = std::filesystem::file_size(name, error);
    if (error) result.sizeOnDisk = 0;
    result.bytes.resize(maxBytes);
    // A failing read inside the stream sets badbit here rather than throwing.
    file.read(reinterpret_cast<char*>(result.bytes.data()),
              static_cast<std::streamsize>(maxBytes));
    if (file.bad()) return Failed(ImageReadError::ReadFailed);
    result.bytes.resize(static_cast<std::size_t>(file.gcount()));
    return result;
  } catch (...) {
    return Failed(ImageReadError::ReadFailed);
  }
}

ImageBytes ReadImageFile(const std::string& name, std::uint32_t room) {
  return ReadImageBytes(name, std::size_t{room} + 1, true).bytes;
}

}  // namespace vesk
