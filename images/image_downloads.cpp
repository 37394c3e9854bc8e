#include "images/image_downloads.h"

#include <optional>

#include "board/generated/reference_board.h"
#include "device/eeprom_writer.h"
#include "device/failure_detail.h"
#include "images/image_file.h"
#include "images/preflight.h"

namespace vesk {

namespace {

constexpr ImagePlace At(const std::string& file, const board::Place& place) {
  return {&file, place.chip, place.bank, place.offset, place.room};
}

}  // namespace

const ImagePlace kFx2Place = At(Fx2ImageFile, board::kFx2Image);
const ImagePlace kBufConPlace = At(BufConImageFile, board::kBufConImage);
const ImagePlace kGpifBufConPlace = At(GpifBufConFile, board::kGpifBufCon);
const ImagePlace kGpifCamConPlace = At(GpifCamConFile, board::kGpifCamCon);
const ImagePlace kGpifFifoPlace = At(GpifFifoFile, board::kGpifFifo);
const ImagePlace kCamConPlace = At(CamConImageFile, board::kCamConImage);

namespace {

// Reads and writes one image; the written length on success.
std::optional<std::uint32_t> DownloadImage(DeviceHandle& handle, const ImagePlace& place,
                                           const ImageProgress& progress) {
  const ImageBytes image = ReadImageFile(*place.file, place.room);
  if (image.empty() || image.size() > place.room) {
    std::string why = CheckImageFile("", *place.file).message;
    if (why.empty()) why = *place.file + ": cannot be read";
    SetFailureDetail(std::move(why));
    return std::nullopt;
  }
  const auto total = static_cast<std::uint32_t>(image.size());
  BeatObserver onBeat;
  if (progress) {
    progress(*place.file, 0, total);
    onBeat = [&](std::uint32_t written) { progress(*place.file, written, total); };
  }
  if (!WriteEepromPaged(handle, place.chip, place.bank, place.offset, total, image.data(),
                        onBeat)) {
    SetFailureDetail(*place.file + ": " + FailureDetail());
    return std::nullopt;
  }
  return total;
}

bool DownloadCounted(DeviceHandle& handle, const ImagePlace& place, ImageDownloadResult& result,
                     const ImageProgress& progress) {
  const auto written = DownloadImage(handle, place, progress);
  if (!written) return false;
  result.byteCount = *written;
  return true;
}

}  // namespace

bool DownloadBufCon(DeviceHandle& handle, ImageDownloadResult& result,
                    const ImageProgress& progress) {
  return DownloadCounted(handle, kBufConPlace, result, progress);
}

bool DownloadCamCon(DeviceHandle& handle, ImageDownloadResult& result,
                    const ImageProgress& progress) {
  return DownloadCounted(handle, kCamConPlace, result, progress);
}

bool DownloadFx2Image(DeviceHandle& handle, const ImageProgress& progress) {
  return DownloadImage(handle, kFx2Place, progress).has_value();
}

bool DownloadGpifWaveforms(DeviceHandle& handle, const ImageProgress& progress) {
  for (const ImagePlace* place : {&kGpifBufConPlace, &kGpifCamConPlace, &kGpifFifoPlace}) {
    if (!DownloadImage(handle, *place, progress)) return false;
  }
  return true;
}

}  // namespace vesk
