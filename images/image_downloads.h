#pragma once
// The four image downloads: each file read (bounded by its room) and written unchanged to
// its EEPROM place.

#include <cstdint>
#include <functional>
#include <string>

#include "device/camera_driver.h"

namespace vesk {

struct ImageDownloadResult {
  std::uint32_t byteCount = 0;  // length of the image, every byte of which was written
};

// Where an image goes and how much room it has before the next region in use.
struct ImagePlace {
  const std::string* file;
  std::uint8_t chip;
  std::uint8_t bank;
  std::uint16_t offset;
  std::uint32_t room;
};

extern const ImagePlace kFx2Place;
extern const ImagePlace kBufConPlace;
extern const ImagePlace kGpifBufConPlace;
extern const ImagePlace kGpifCamConPlace;
extern const ImagePlace kGpifFifoPlace;
extern const ImagePlace kCamConPlace;

// Told while an image is written: the file, bytes accepted so far, its length. Observing
// changes no request.
using ImageProgress =
    std::function<void(const std::string& file, std::uint32_t written, std::uint32_t total)>;

// Each returns true when its image(s) were written. An empty or unreadable file, anything
// but a regular file, or one larger than its room, is refused before any byte of it is
// written. On false the
// result record keeps its earlier value.
bool DownloadBufCon(DeviceHandle& handle, ImageDownloadResult& result,
                    const ImageProgress& progress = {});
bool DownloadCamCon(DeviceHandle& handle, ImageDownloadResult& result,
                    const ImageProgress& progress = {});
bool DownloadFx2Image(DeviceHandle& handle, const ImageProgress& progress = {});
// The three GPIF files one after the other; stops at the first that fails.
bool DownloadGpifWaveforms(DeviceHandle& handle, const ImageProgress& progress = {});

}  // namespace vesk
