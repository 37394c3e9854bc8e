#include "images/image_file.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

namespace vesk {

const std::string BufConImageFile = "bufcon.bin";
const std::string CamConImageFile = "camcon.bin";
const std::string Fx2ImageFile = "tarsel_usb.iic";
const std::string GpifBufConFile = "gpif_bufcon.bin";
const std::string GpifCamConFile = "gpif_camcon.bin";
const std::string GpifFifoFile = "gpif_fifo.bin";

ImageBytes ReadImageFile(std::string name) {
  ImageBytes bytes;
  std::error_code error;
  // A directory opens like a file on some C libraries and then fails every read.
  if (std::filesystem::is_directory(name, error)) return bytes;
  std::ifstream file(name, std::ios::in | std::ios::binary);
  if (!file.is_open()) return bytes;
  std::cout << "Reading file " << name << ".\n" << std::flush;
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return bytes;
}

}  // namespace vesk
