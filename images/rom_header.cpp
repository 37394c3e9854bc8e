#include "images/rom_header.h"

#include <numeric>

#include "device/eeprom_writer.h"
#include "device/identities.h"

namespace vesk {

RomHeader HeaderForRun(std::uint32_t bufConSize, std::uint32_t camConSize) {
  RomHeader header;
  header.InitRomHeader();
  header.SetBufConSize(bufConSize);
  header.SetCamConSize(camConSize);
  header.SetFx2Present();
  header.SetGpifPresent();
  header.SetVendorId(kVendorId);
  header.SetProductId(kProductId);
  header.SetDeviceId(kDeviceId);
  return header;
}

void RomHeader::InitRomHeader() {
  headerLength_ = kRomHeaderSize;
  version_ = 1;
  presenceFlags_ = 0;
  bufConSize_ = 0;
  camConSize_ = 0;
  vendorId_ = 0;
  productId_ = 0;
  deviceId_ = 0;
  reserved_ = 0;
  UpdateChecksum();
}

void RomHeader::SetBufConSize(std::uint32_t size) {
  presenceFlags_ |= kHasBufCon;
  bufConSize_ = size;
  UpdateChecksum();
}

void RomHeader::SetCamConSize(std::uint32_t size) {
  presenceFlags_ |= kHasCamCon;
  camConSize_ = size;
  UpdateChecksum();
}

void RomHeader::SetFx2Present() {
  presenceFlags_ |= kHasFx2;
  UpdateChecksum();
}

void RomHeader::SetVendorId(std::uint16_t id) {
  presenceFlags_ |= kHasVendorId;
  vendorId_ = id;
  UpdateChecksum();
}

void RomHeader::SetProductId(std::uint16_t id) {
  presenceFlags_ |= kHasProductId;
  productId_ = id;
  UpdateChecksum();
}

void RomHeader::SetDeviceId(std::uint16_t id) {
  presenceFlags_ |= kHasDeviceId;
  deviceId_ = id;
  UpdateChecksum();
}

void RomHeader::SetGpifPresent() {
  presenceFlags_ |= kHasGpif;
  UpdateChecksum();
}

RomHeaderBytes RomHeader::Encode() const {
  auto be32 = [](std::uint8_t* at, std::uint32_t v) {
    at[0] = static_cast<std::uint8_t>(v >> 24);
    at[1] = static_cast<std::uint8_t>(v >> 16);
    at[2] = static_cast<std::uint8_t>(v >> 8);
    at[3] = static_cast<std::uint8_t>(v);
  };
  auto le16 = [](std::uint8_t* at, std::uint16_t v) {
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
  };
  RomHeaderBytes b{};
  b[0] = checksum_;
  b[1] = headerLength_;
  b[2] = version_;
  b[3] = static_cast<std::uint8_t>(presenceFlags_ >> 8);
  b[4] = static_cast<std::uint8_t>(presenceFlags_);
  be32(&b[5], bufConSize_);
  be32(&b[9], camConSize_);
  le16(&b[13], vendorId_);
  le16(&b[15], productId_);
  le16(&b[17], deviceId_);
  b[19] = reserved_;
  return b;
}

RomHeader RomHeader::Decode(std::span<const std::uint8_t, kRomHeaderSize> b) {
  auto be32 = [](const std::uint8_t* at) {
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
           at[3];
  };
  auto le16 = [](const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | at[1] << 8); };
  RomHeader h;
  h.checksum_ = b[0];
  h.headerLength_ = b[1];
  h.version_ = b[2];
  h.presenceFlags_ = static_cast<std::uint16_t>(b[3] << 8 | b[4]);
  h.bufConSize_ = be32(&b[5]);
  h.camConSize_ = be32(&b[9]);
  h.vendorId_ = le16(&b[13]);
  h.productId_ = le16(&b[15]);
  h.deviceId_ = le16(&b[17]);
  h.reserved_ = b[19];
  return h;
}

std::uint8_t RomHeader::ComputeChecksum() const {
  const RomHeaderBytes bytes = Encode();
  return static_cast<std::uint8_t>(std::accumulate(bytes.begin() + 1, bytes.end(), 0u));
}

void RomHeader::UpdateChecksum() { checksum_ = ComputeChecksum(); }

bool RomHeader::WriteRomHeader(DeviceHandle& handle) const {
  const RomHeaderBytes bytes = Encode();
  return WriteEepromPaged(handle, kRomHeaderChip, kRomHeaderBank, kRomHeaderOffset,
                          kRomHeaderSize, bytes.data());
}

bool RomHeader::EraseRomHeader(DeviceHandle& handle) {
  RomHeaderBytes erased;
  erased.fill(0xFF);
  return WriteEepromPaged(handle, kRomHeaderChip, kRomHeaderBank, kRomHeaderOffset,
                          kRomHeaderSize, erased.data());
}

}  // namespace vesk
