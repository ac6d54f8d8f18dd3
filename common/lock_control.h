/*
 * Device path, control codes and log layout of the lock driver that locks
 * CD/DVD and floppy drives. Plain C, shared by the service program and the
 * lock driver stand-in. The log is parallel arrays, so it is described by
 * offsets into a byte buffer rather than by a structure.
 */
#ifndef VX_COMMON_LOCK_CONTROL_H
#define VX_COMMON_LOCK_CONTROL_H

#include "filter_control.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VX_LOCK_DEVICE_NAME L"\\Device\\VXDevCtrl"
#define VX_LOCK_LINK_NAME L"\\DosDevices\\VXDevCtrl"
#define VX_LOCK_USER_PATH L"\\\\.\\VXDevCtrl"

#define IOCTL_CDDVD_UNLOCK CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_CDDVD_LOCK CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_FLOPPY_UNLOCK CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_FLOPPY_LOCK CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_GET_LOCK_LOG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)

/* LOCK_LOG: the 4321-byte output of IOCTL_GET_LOCK_LOG.
 *   [0]                     count, signed 8-bit; 0 or less means none
 *   [1 + 64*i]              entry i's name, zero-terminated within 64 bytes
 *   [3841 + 7*i]            entry i's local time: year (u16 LE), month, day,
 *                           hour, minute, second
 *   [4261 + i]              entry i's action, signed 8-bit                */
#define LOCK_LOG_MAX_ENTRIES 60
#define LOCK_LOG_NAME_SIZE 64
#define LOCK_LOG_TIME_SIZE 7
#define LOCK_LOG_COUNT_OFFSET 0
#define LOCK_LOG_NAMES_OFFSET 1
#define LOCK_LOG_TIMES_OFFSET (LOCK_LOG_NAMES_OFFSET + LOCK_LOG_MAX_ENTRIES * LOCK_LOG_NAME_SIZE)
#define LOCK_LOG_ACTIONS_OFFSET (LOCK_LOG_TIMES_OFFSET + LOCK_LOG_MAX_ENTRIES * LOCK_LOG_TIME_SIZE)
#define LOCK_LOG_SIZE (LOCK_LOG_ACTIONS_OFFSET + LOCK_LOG_MAX_ENTRIES)

typedef struct LOCK_LOG {
  uint8_t bytes[LOCK_LOG_SIZE];
} LOCK_LOG;

VX_STATIC_ASSERT(LOCK_LOG_TIMES_OFFSET == 3841, "LOCK_LOG times");
VX_STATIC_ASSERT(LOCK_LOG_ACTIONS_OFFSET == 4261, "LOCK_LOG actions");
VX_STATIC_ASSERT(LOCK_LOG_SIZE == 4321, "LOCK_LOG is 4321 bytes");
VX_STATIC_ASSERT(sizeof(LOCK_LOG) == 4321, "LOCK_LOG has no padding");

VX_STATIC_ASSERT(IOCTL_CDDVD_UNLOCK == 0x0022200A, "IOCTL_CDDVD_UNLOCK");
VX_STATIC_ASSERT(IOCTL_CDDVD_LOCK == 0x0022200E, "IOCTL_CDDVD_LOCK");
VX_STATIC_ASSERT(IOCTL_FLOPPY_UNLOCK == 0x00222012, "IOCTL_FLOPPY_UNLOCK");
VX_STATIC_ASSERT(IOCTL_FLOPPY_LOCK == 0x00222016, "IOCTL_FLOPPY_LOCK");
VX_STATIC_ASSERT(IOCTL_GET_LOCK_LOG == 0x00222042, "IOCTL_GET_LOCK_LOG");

#ifdef __cplusplus
}
#endif

#endif /* VX_COMMON_LOCK_CONTROL_H */
