#pragma once
// The control firmware, generated from firmware/ by firmware/ihx_to_table.py.

#include <cstddef>

#include "device/firmware_loader.h"

namespace vesk {

// Data records in load order, then one end record. Writable: each record's data is the
// output buffer of its request too.
extern HexRecord ControlFirmwareTable[];
extern const std::size_t ControlFirmwareRecordCount;  // including the end record

}  // namespace vesk
