// The lock driver stand-in's entry, for the native tests that load it on the
// kernel stand-in (in the Windows build the platform calls it).
#pragma once

#include "driver/kernel_api.h"

_IRQL_requires_(PASSIVE_LEVEL) VX_EXTERN_C DRIVER_INITIALIZE DriverEntry;
