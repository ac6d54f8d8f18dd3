// The kernel interface of the driver's WDM glue: the DDK in the Windows
// builds, the user-mode kernel stand-in of driver/host in native builds.
#pragma once

#ifdef VX_KERNEL_BUILD
#include <ntddk.h>

// Declared in the file-system kit header, which does not mix with ntddk.h:
// the key name query and the caller's token (control_caller.cpp). All are
// ntoskrnl exports since Windows XP.
extern "C" NTKERNELAPI NTSTATUS NTAPI ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION name, ULONG length,
                                                        PULONG returnedLength);

typedef enum _TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenGroups = 2 } TOKEN_INFORMATION_CLASS;
typedef struct _SID_AND_ATTRIBUTES {
  PSID Sid;
  ULONG Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;
typedef struct _TOKEN_USER {
  SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;
typedef struct _TOKEN_GROUPS {
  ULONG GroupCount;
  SID_AND_ATTRIBUTES Groups[1];
} TOKEN_GROUPS, *PTOKEN_GROUPS;
#define TOKEN_QUERY 0x0008
#define SE_GROUP_ENABLED 0x00000004L
#define SE_GROUP_USE_FOR_DENY_ONLY 0x00000010L

extern "C" NTSYSAPI NTSTATUS NTAPI ZwOpenThreadTokenEx(HANDLE thread, ACCESS_MASK access, BOOLEAN openAsSelf,
                                                       ULONG attributes, PHANDLE token);
extern "C" NTSYSAPI NTSTATUS NTAPI ZwOpenProcessTokenEx(HANDLE process, ACCESS_MASK access, ULONG attributes,
                                                        PHANDLE token);
extern "C" NTSYSAPI NTSTATUS NTAPI ZwQueryInformationToken(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, PVOID info,
                                                           ULONG length, PULONG resultLength);

#define VX_TEXT(text) L##text
#define VX_EXTERN_C extern "C"
#else
#include "driver/host/kernel.h"

#define VX_TEXT(text) u##text
#define VX_EXTERN_C
#endif
