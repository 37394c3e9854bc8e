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

const std::array<const ImagePlace*, 6> kImagePlaces = {
    &kBufConPlace, &kCamConPlace, &kFx2Place, &kGpifBufConPlace, &kGpifCamConPlace,
    &kGpifFifoPlace};

const ImageRead& ImageSnapshot::Of(const ImagePlace& place) const {
  for (std::size_t i = 0; i < kImagePlaces.size(); ++i)
    if (kImagePlaces[i] == &place) return files[i];
  return files[0];  // every place is one of the six
}

ImageSnapshot TakeImageSnapshot(const std::string& directory) {
  ImageSnapshot snapshot;
  for (std::size_t i = 0; i < kImagePlaces.size(); ++i) {
    const std::string path =
        directory.empty() ? *kImagePlaces[i]->file : directory + "/" + *kImagePlaces[i]->file;
    snapshot.files[i] = ReadImageBytes(path, std::size_t{kImagePlaces[i]->room} + 1, false);
  }
  return snapshot;
}

namespace {

// Reads (or takes from the snapshot) and writes one image; the written length on success.
std::optional<std::uint32_t> DownloadImage(DeviceHandle& handle, const ImagePlace& place,
                                           const ImageProgress& progress,
                                           const ImageSource& source) {
  ImageBytes read;
  if (source.snapshot == nullptr) read = ReadImageFile(*place.file, place.room);
  const ImageRead* taken = source.snapshot != nullptr ? &source.snapshot->Of(place) : nullptr;
  if (taken != nullptr && source.announce && taken->error == ImageReadError::None)
    source.announce(*place.file);
  const ImageBytes& image = taken != nullptr ? taken->bytes : read;
  if (taken != nullptr) {
    // The same judgement as before the run, on the very bytes that would be written.
    const ImageFileCheck check = CheckImage(place, *taken);
    if (check.problem != ImageFileProblem::None) {
      SetFailureDetail(check.message);
      return std::nullopt;
    }
  } else if (image.empty() || image.size() > place.room) {
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
                     const ImageProgress& progress, const ImageSource& source) {
  const auto written = DownloadImage(handle, place, progress, source);
  if (!written) return false;
  result.byteCount = *written;
  return true;
}

}  // namespace

bool DownloadBufCon(DeviceHandle& handle, ImageDownloadResult& result,
                    const ImageProgress& progress, const ImageSource& source) {
  return DownloadCounted(handle, kBufConPlace, result, progress, source);
}

bool DownloadCamCon(DeviceHandle& handle, ImageDownloadResult& result,
                    const ImageProgress& progress, const ImageSource& source) {
  return DownloadCounted(handle, kCamConPlace, result, progress, source);
}

bool DownloadFx2Image(DeviceHandle& handle, const ImageProgress& progress,
                      const ImageSource& source) {
  return DownloadImage(handle, kFx2Place, progress, source).has_value();
}

bool DownloadGpifWaveforms(DeviceHandle& handle, const ImageProgress& progress,
                           const ImageSource& source) {
  for (const ImagePlace* place : {&kGpifBufConPlace, &kGpifCamConPlace, &kGpifFifoPlace}) {
    if (!DownloadImage(handle, *place, progress, source)) return false;
  }
  return true;
}

}  // namespace vesk
