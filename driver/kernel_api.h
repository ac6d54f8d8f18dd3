// The kernel interface of the driver's WDM glue: the DDK in the Windows
// builds, the user-mode kernel stand-in of driver/host in native builds.
#pragma once

#ifdef VX_KERNEL_BUILD
#include <ntddk.h>

// Declared in the file-system kit header, which does not mix with ntddk.h.
extern "C" NTKERNELAPI NTSTATUS NTAPI ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION name, ULONG length,
                                                        PULONG returnedLength);

#define VX_TEXT(text) L##text
#define VX_EXTERN_C extern "C"
#else
#include "driver/host/kernel.h"

#define VX_TEXT(text) u##text
#define VX_EXTERN_C
#endif
