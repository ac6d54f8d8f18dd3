/*
 * Records and control codes shared by the service program, the filter driver
 * and the tools. Plain C with fixed-width types so that the same definition
 * compiles in kernel mode, in user mode and natively for tests. Every size and
 * offset is checked at compile time: these bytes cross the RPC interface, the
 * policy file, the driver's control codes and the report database.
 */
#ifndef VX_COMMON_FILTER_CONTROL_H
#define VX_COMMON_FILTER_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Control device of the filter driver. */
#define VX_FILTER_DEVICE_NAME L"\\Device\\VXDevFltr"
#define VX_FILTER_LINK_NAME L"\\DosDevices\\VXDevFltr"
#define VX_FILTER_USER_PATH L"\\\\.\\VXDevFltr"

#define USB_PATTERN_SIZE 64 /* 63 characters and a terminating zero */
#define USB_MAX_RULES 128
#define USB_MAX_LOGS 128

/* Rule flag bits; bits 8 to 31 are ignored. */
#define RULE_CHECK_VENDOR 0x01u
#define RULE_CHECK_PRODUCT 0x02u
#define RULE_CHECK_REVISION 0x04u
#define RULE_CHECK_SERIAL 0x08u
#define RULE_EXACT_VENDOR 0x10u
#define RULE_EXACT_PRODUCT 0x20u
#define RULE_EXACT_REVISION 0x40u
#define RULE_EXACT_SERIAL 0x80u

/* Action codes of both records. Any other value behaves like ACTION_ALLOW. */
#define ACTION_BLOCK 1
#define ACTION_READ_ONLY 2
#define ACTION_ALLOW 3

/* One rule of the ordered USB storage rule list (264 bytes). */
typedef struct USB_RULE {
  char vendor[USB_PATTERN_SIZE];
  char product[USB_PATTERN_SIZE];
  char revision[USB_PATTERN_SIZE];
  char serial[USB_PATTERN_SIZE];
  uint32_t flags;
  int32_t action;
} USB_RULE;

/* One entry of the driver's event log (268 bytes). `date` reads as
 * year << 16 | month << 8 | day and `time` as hour << 24 | minute << 16 |
 * second << 8, both in local time. */
typedef struct USB_LOG {
  char vendor[USB_PATTERN_SIZE];
  char product[USB_PATTERN_SIZE];
  char revision[USB_PATTERN_SIZE];
  char serial[USB_PATTERN_SIZE];
  int32_t action;
  uint32_t date;
  uint32_t time;
} USB_LOG;

/* The platform's CTL_CODE. Kernel code includes its DDK header before this
 * one; user-mode Windows code gets it from <winioctl.h>; elsewhere (native
 * builds) it is spelled out exactly as the platform defines it. */
#if defined(_WIN32) && !defined(CTL_CODE)
#include <windows.h>
#include <winioctl.h>
#endif
#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#endif
#ifndef METHOD_OUT_DIRECT
#define METHOD_OUT_DIRECT 2
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif

#define IOCTL_SET_RULE_LIST CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_LOGS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Compile-time checks: C11 _Static_assert in C, static_assert in C++. */
#ifdef __cplusplus
#define VX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

VX_STATIC_ASSERT(sizeof(USB_RULE) == 264, "USB_RULE is 264 bytes");
VX_STATIC_ASSERT(offsetof(USB_RULE, vendor) == 0, "USB_RULE.vendor");
VX_STATIC_ASSERT(offsetof(USB_RULE, product) == 64, "USB_RULE.product");
VX_STATIC_ASSERT(offsetof(USB_RULE, revision) == 128, "USB_RULE.revision");
VX_STATIC_ASSERT(offsetof(USB_RULE, serial) == 192, "USB_RULE.serial");
VX_STATIC_ASSERT(offsetof(USB_RULE, flags) == 256, "USB_RULE.flags");
VX_STATIC_ASSERT(offsetof(USB_RULE, action) == 260, "USB_RULE.action");

VX_STATIC_ASSERT(sizeof(USB_LOG) == 268, "USB_LOG is 268 bytes");
VX_STATIC_ASSERT(offsetof(USB_LOG, vendor) == 0, "USB_LOG.vendor");
VX_STATIC_ASSERT(offsetof(USB_LOG, product) == 64, "USB_LOG.product");
VX_STATIC_ASSERT(offsetof(USB_LOG, revision) == 128, "USB_LOG.revision");
VX_STATIC_ASSERT(offsetof(USB_LOG, serial) == 192, "USB_LOG.serial");
VX_STATIC_ASSERT(offsetof(USB_LOG, action) == 256, "USB_LOG.action");
VX_STATIC_ASSERT(offsetof(USB_LOG, date) == 260, "USB_LOG.date");
VX_STATIC_ASSERT(offsetof(USB_LOG, time) == 264, "USB_LOG.time");

VX_STATIC_ASSERT(USB_MAX_RULES * sizeof(USB_RULE) == 33792, "rule list is 33,792 bytes");
VX_STATIC_ASSERT(USB_MAX_LOGS * sizeof(USB_LOG) == 34304, "event log is 34,304 bytes");

VX_STATIC_ASSERT(IOCTL_SET_RULE_LIST == 0x00222000, "IOCTL_SET_RULE_LIST");
VX_STATIC_ASSERT(IOCTL_GET_LOGS == 0x00222004, "IOCTL_GET_LOGS");

#ifdef __cplusplus
}
#endif

#endif /* VX_COMMON_FILTER_CONTROL_H */
