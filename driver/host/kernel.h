// The user-mode kernel stand-in: the kernel types and routines the driver's
// WDM glue uses, declared with the platform's names and meanings so that the
// same glue source builds here and against the DDK. Behaviour lives in
// kernel_host.cpp: real stack locations and completion routines, events,
// tagged pool with a leak count, spin locks that stop the program on misuse.
//
// Only what the glue touches is modelled; layouts are our own.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define NTAPI
#define TRUE 1
#define FALSE 0

// The interrupt request levels the driver's annotations name.
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

// The annotations of a routine's IRQL and role, as the DDK's driverspecs.h
// and sal.h spell them. There they are empty for this compiler (they feed
// a static analyser this build does not run); here too. They state the
// contract where the routine is declared: the highest level it may be called
// at, or the one level it requires.
#define _IRQL_requires_(level)
#define _IRQL_requires_max_(level)
#define _IRQL_requires_min_(level)
#define _IRQL_requires_same_
#define _IRQL_raises_(level)
#define _Function_class_(role)
#define _Use_decl_annotations_

typedef int32_t NTSTATUS;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;
typedef char CHAR;
typedef char CCHAR;
typedef uint8_t BOOLEAN;
typedef char16_t WCHAR;
typedef void* PVOID;
typedef void* HANDLE;
typedef uintptr_t ULONG_PTR;
typedef int64_t LONGLONG;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL;
typedef ULONG_PTR KSPIN_LOCK;
typedef ULONG* PULONG;
typedef HANDLE* PHANDLE;
typedef PVOID PSID;

#define NT_SUCCESS(status) ((NTSTATUS)(status) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_PENDING ((NTSTATUS)0x00000103)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000E)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_NO_TOKEN ((NTSTATUS)0xC000007C)
#define STATUS_MEDIA_WRITE_PROTECTED ((NTSTATUS)0xC00000A2)
#define STATUS_CANT_OPEN_ANONYMOUS ((NTSTATUS)0xC00000A6)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_SET_POWER 0x02

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_FLOPPY_DISKETTE 0x00000004
#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define FILE_REMOTE_DEVICE 0x00000010

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define IO_NO_INCREMENT 0
#define PLUGPLAY_REGKEY_DEVICE 1
#define KEY_ALL_ACCESS 0x000F003F

// Tokens: the caller's identity as a create sees it.
#define TOKEN_QUERY 0x0008
#define OBJ_KERNEL_HANDLE 0x00000200
#define SE_GROUP_MANDATORY 0x00000001
#define SE_GROUP_ENABLED_BY_DEFAULT 0x00000002
#define SE_GROUP_ENABLED 0x00000004
#define SE_GROUP_OWNER 0x00000008
#define SE_GROUP_USE_FOR_DENY_ONLY 0x00000010
#define NtCurrentProcess() ((HANDLE)(intptr_t)-1)
#define NtCurrentThread() ((HANDLE)(intptr_t)-2)

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1 } KPROCESSOR_MODE;
typedef enum _KEY_INFORMATION_CLASS { KeyBasicInformation = 0, KeyNameInformation = 3 } KEY_INFORMATION_CLASS;
typedef enum _TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenGroups = 2 } TOKEN_INFORMATION_CLASS;
typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;

typedef union _LARGE_INTEGER {
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  WCHAR* Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _OBJECT_NAME_INFORMATION {
  UNICODE_STRING Name;
} OBJECT_NAME_INFORMATION, *POBJECT_NAME_INFORMATION;

typedef struct _KEY_NAME_INFORMATION {
  ULONG NameLength;
  WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

typedef struct _IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _TIME_FIELDS {
  CSHORT Year;
  CSHORT Month;
  CSHORT Day;
  CSHORT Hour;
  CSHORT Minute;
  CSHORT Second;
  CSHORT Milliseconds;
  CSHORT Weekday;
} TIME_FIELDS, *PTIME_FIELDS;

typedef struct _KEVENT {
  volatile LONG signaled;
  LONG type;
} KEVENT, *PKEVENT;

// A fast mutex; the stand-in records its owning thread.
typedef struct _FAST_MUTEX {
  volatile uintptr_t owner;
} FAST_MUTEX, *PFAST_MUTEX;

// A buffer described for direct I/O; the stand-in's is the caller's own.
typedef struct _MDL {
  PVOID HostAddress;
  ULONG ByteCount;
} MDL, *PMDL;

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

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;

// The roles a driver routine plays, as function types: a routine is declared
// with its role (`DRIVER_DISPATCH DispatchRead;`), so a definition whose
// signature differs from the role fails to build. Same names and signatures
// as the DDK's wdm.h.
typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT* device, struct _IRP* irp);
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT* driver, PUNICODE_STRING registryPath);
typedef NTSTATUS NTAPI DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* driver, struct _DEVICE_OBJECT* physicalDevice);
typedef void NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT* driver);
typedef NTSTATUS NTAPI IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* device, struct _IRP* irp, PVOID context);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

typedef struct _DEVICE_OBJECT {
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;
  struct _DEVICE_OBJECT* AttachedDevice;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CCHAR StackSize;
  PVOID HostContext;         // stand-in only: owner's data (fake disks)
  BOOLEAN HostRefuseAttach;  // stand-in only: attaching above it fails
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  PDEVICE_OBJECT DeviceObject;
  PDRIVER_EXTENSION DriverExtension;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PVOID FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
  IO_STATUS_BLOCK IoStatus;
  PMDL MdlAddress;
  union {
    PVOID SystemBuffer;
  } AssociatedIrp;
  CCHAR StackCount;
  CCHAR CurrentLocation;
  BOOLEAN PendingReturned;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PVOID UserBuffer;
  struct {
    struct {
      PIO_STACK_LOCATION CurrentStackLocation;
    } Overlay;
  } Tail;
  PVOID HostContext;  // stand-in only: who sent it and how to finish it
} IRP, *PIRP;

// Stack-location helpers: the platform's macros, as functions.
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  *next = *current;
  next->CompletionRoutine = nullptr;
  next->Context = nullptr;
  next->Control = 0;
}
inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN onSuccess,
                                   BOOLEAN onError, BOOLEAN onCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (onError) next->Control |= SL_INVOKE_ON_ERROR;
  if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline void IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }

// Routines. Those whose result can fail are [[nodiscard]], so the glue
// checks each one or says why it does not.
[[nodiscard]] NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                                      ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
void IoDeleteDevice(PDEVICE_OBJECT device);
[[nodiscard]] NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target);
[[nodiscard]] NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link);
[[nodiscard]] PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
void IoDetachDevice(PDEVICE_OBJECT target);
[[nodiscard]] NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp);
void IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
[[nodiscard]] PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                                                 PVOID output, ULONG outputLength, BOOLEAN internal, PKEVENT event,
                                                 PIO_STATUS_BLOCK ioStatus);
[[nodiscard]] NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK access, HANDLE* key);

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PKEVENT event, LONG increment, BOOLEAN wait);
[[nodiscard]] NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                                             PLARGE_INTEGER timeout);
void KeInitializeSpinLock(KSPIN_LOCK* lock);
// Normal kernel APCs (thread suspension among them) are held off while the
// thread is in a critical region. The stand-in counts the regions per thread.
void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();
// The unsafe forms do not raise the IRQL: the caller must be in a critical
// region for as long as it holds the mutex (the stand-in stops the program
// otherwise).
void ExInitializeFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutexUnsafe(PFAST_MUTEX mutex);
void ExReleaseFastMutexUnsafe(PFAST_MUTEX mutex);
void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* oldIrql);
void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL newIrql);
void KeQuerySystemTime(PLARGE_INTEGER time);
void ExSystemTimeToLocalTime(PLARGE_INTEGER systemTime, PLARGE_INTEGER localTime);
void RtlTimeToTimeFields(PLARGE_INTEGER time, PTIME_FIELDS fields);

[[nodiscard]] PVOID ExAllocatePoolWithTag(POOL_TYPE type, size_t bytes, ULONG tag);
void ExFreePoolWithTag(PVOID block, ULONG tag);

[[nodiscard]] NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, PVOID type, KPROCESSOR_MODE mode,
                                                 PVOID* object, PVOID handleInformation);
[[nodiscard]] NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION name, ULONG length,
                                         PULONG returnedLength);
void ObfDereferenceObject(PVOID object);
[[nodiscard]] NTSTATUS ZwQueryKey(HANDLE key, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                                  PULONG resultLength);
[[nodiscard]] NTSTATUS ZwClose(HANDLE handle);
[[nodiscard]] NTSTATUS ZwOpenThreadTokenEx(HANDLE thread, ACCESS_MASK access, BOOLEAN openAsSelf, ULONG attributes,
                                           PHANDLE token);
[[nodiscard]] NTSTATUS ZwOpenProcessTokenEx(HANDLE process, ACCESS_MASK access, ULONG attributes, PHANDLE token);
[[nodiscard]] NTSTATUS ZwQueryInformationToken(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, PVOID info,
                                               ULONG length, PULONG resultLength);

[[nodiscard]] PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority);

void PoStartNextPowerIrp(PIRP irp);
[[nodiscard]] NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp);

void RtlInitUnicodeString(PUNICODE_STRING target, const WCHAR* source);
ULONG DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
