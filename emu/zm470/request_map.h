// The ZM470's vendor request and register map as a check: which requests, fields, data stages and
// registers the chip defines on a given revision.
#pragma once

#include <cstdint>
#include <string>

#include "usbhost/usb_device.h"

namespace emu::zm470 {

// What the map does not define about `setup` on a chip of `revision`, as text ("wIndex must be
// 0x0000; register 0x40 is not mapped"); empty when the request is defined in every field.
// Standard requests belong to USB, not to the map, and always pass. An IN data stage longer than
// the answer is ordinary USB and passes too.
std::string MapFault(const usb::SetupPacket& setup, uint8_t revision);

// "vendor request 0x95 (IN, to the device) wValue 0x0706 wIndex 0x0000 wLength 2".
std::string DescribeRequest(const usb::SetupPacket& setup);

}  // namespace emu::zm470
