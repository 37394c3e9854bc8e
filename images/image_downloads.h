#pragma once
// The four image downloads: each file read (bounded by its room) and written unchanged to
// its EEPROM place.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "device/camera_driver.h"
#include "images/image_file.h"

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

// The six places in the order a run writes them: BufCon, CamCon, FX2, the three GPIF files.
extern const std::array<const ImagePlace*, 6> kImagePlaces;

// The six image files read once, each bounded by its room (at most room + 1 bytes), in the
// order of kImagePlaces. A run that is given one writes, checks, counts and hashes these
// bytes, so a file changed on disk after it was read changes nothing of the run.
struct ImageSnapshot {
  std::array<ImageRead, 6> files;
  const ImageRead& Of(const ImagePlace& place) const;
};

// Reads the six files of `directory` (empty: the working directory); prints nothing.
ImageSnapshot TakeImageSnapshot(const std::string& directory);

// Where the downloads take their bytes. Without a snapshot each file is read as its
// download starts and announced on standard output; with one, its bytes are taken from it
// and `announce` is told each file at that same moment.
struct ImageSource {
  const ImageSnapshot* snapshot = nullptr;
  std::function<void(const std::string& file)> announce;
};

// Told while an image is written: the file, bytes accepted so far, its length. Observing
// changes no request.
using ImageProgress =
    std::function<void(const std::string& file, std::uint32_t written, std::uint32_t total)>;

// Each returns true when its image(s) were written. An empty or unreadable file, anything
// but a regular file, or one larger than its room, is refused before any byte of it is
// written; from a snapshot, so is an FX2 image that is not a boot image. On false the
// result record keeps its earlier value.
bool DownloadBufCon(DeviceHandle& handle, ImageDownloadResult& result,
                    const ImageProgress& progress = {}, const ImageSource& source = {});
bool DownloadCamCon(DeviceHandle& handle, ImageDownloadResult& result,
                    const ImageProgress& progress = {}, const ImageSource& source = {});
bool DownloadFx2Image(DeviceHandle& handle, const ImageProgress& progress = {},
                      const ImageSource& source = {});
// The three GPIF files one after the other; stops at the first that fails.
bool DownloadGpifWaveforms(DeviceHandle& handle, const ImageProgress& progress = {},
                           const ImageSource& source = {});

}  // namespace vesk
