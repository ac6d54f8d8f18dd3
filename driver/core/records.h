// The shared records as the freestanding driver core sees them. The core
// includes no platform header, so on a Windows build the control-code macro is
// spelled out here exactly as the platform defines it (kernel code that
// includes its DDK header first keeps the platform's own definition).
#pragma once

#if defined(_WIN32) && !defined(CTL_CODE)
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#include "common/filter_control.h"
