// Stand-in until the control firmware is built: a program that only idles
// (0x0000: LJMP 0x0100; 0x0100: SJMP $). It answers no vendor request.
#include "device/control_firmware_table.h"

namespace vesk {

HexRecord ControlFirmwareTable[] = {
    {3, 0x0000, 0, {0x02, 0x01, 0x00}},
    {2, 0x0100, 0, {0x80, 0xFE}},
    {0, 0x0000, 1, {}},
};
const std::size_t ControlFirmwareRecordCount = sizeof(ControlFirmwareTable) / sizeof(HexRecord);

}  // namespace vesk
