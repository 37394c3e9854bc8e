#include "device/firmware_loader.h"

#include "device/vendor_request.h"

namespace vesk {

bool SetFx2CpuReset(DeviceHandle& handle, std::uint8_t hold) {
  return SendVendorRequest(handle, kRequestFx2Load, kHostToDevice, 0, kFx2Cpucs, 1, &hold);
}

bool LoadHexRecords(DeviceHandle& handle, HexRecord* first) {
  bool loadedAny = false;
  for (HexRecord* record = first; record->type == kHexRecordData; ++record) {
    if (record->length > kHexRecordMaxData) return false;
    if (!SendVendorRequest(handle, kRequestFx2Load, kHostToDevice, 0, record->address,
                           record->length, record->data))
      return false;
    loadedAny = true;
  }
  return loadedAny;
}

bool DownloadControlFirmware(DeviceHandle& handle, HexRecord* table) {
  if (!SetFx2CpuReset(handle, 1)) return false;
  if (!LoadHexRecords(handle, table)) return false;
  SetFx2CpuReset(handle, 0);
  return true;
}

}  // namespace vesk
