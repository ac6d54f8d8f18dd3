// The lock driver stand-in's entry, for the native tests that load it on the
// kernel stand-in (in the Windows build the platform calls it).
#pragma once

#include "driver/kernel_api.h"

VX_EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
