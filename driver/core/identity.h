// A USB disk's identity, read from the object name of its hardware registry
// key, e.g. ...\Enum\USBSTOR\Disk&Ven_Acme&Prod_Flash_Drive&Rev_1.00\0123&0\...
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "driver/core/records.h"

namespace vx::driver {

// Four zero-terminated single-byte texts of at most 63 characters, laid out
// like the first 256 bytes of USB_RULE and USB_LOG.
struct DEVICE_IDENTITY {
  char vendor[USB_PATTERN_SIZE];
  char product[USB_PATTERN_SIZE];
  char revision[USB_PATTERN_SIZE];
  char serial[USB_PATTERN_SIZE];
};

// Fills `identity` from a counted UTF-16 key name of `length` characters.
// A name without "USBSTOR\Disk&" gives the default identity Generic,
// USB Disk, 1.0, 1. Each character is stored as its low byte, `_` as a space;
// texts are cut to 63 characters while the parse stays on the separators. A
// character whose low byte is 0 ends its text (the rest of the field is
// zeros), and a later Ven_, Prod_ or Rev_ part replaces the earlier text
// whole. Every byte after a text's terminator is zero.
void ParseDeviceIdentity(const uint16_t* name, size_t length, DEVICE_IDENTITY* identity);

}  // namespace vx::driver
