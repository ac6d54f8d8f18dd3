// Behaviour of the kernel stand-in. Misuse that a real kernel would punish
// with a bug check or a hang (a spin lock taken twice, a wait or a call down
// the stack with a spin lock held, pool freed with the wrong tag, an IRP
// completed twice, a fast mutex held outside a critical region) stops the
// program with a message, so a test cannot pass over it.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/host/host_control.h"
#include "driver/host/kernel.h"

namespace vx::host {

[[noreturn]] void Fatal(const char* what) {
  std::fprintf(stderr, "kernel stand-in: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

namespace {

std::mutex stateMutex;  // pool, links, names, debug lines
std::map<void*, std::pair<ULONG, size_t>> pool;
std::map<std::u16string, PDEVICE_OBJECT> namedDevices;
std::map<std::u16string, std::u16string> links;
std::vector<std::string> debugLines;
int failAfter = -1;  // guarded by stateMutex
std::atomic<size_t> irpCount{0};
std::atomic<LONGLONG> systemTime{0};
std::atomic<LONGLONG> clockStep{0};

// Events: one mutex and condition for all, which is plenty for tests.
std::mutex eventMutex;
std::condition_variable eventChanged;
int eventWaiters = 0;  // threads blocked in KeWaitForSingleObject; guarded by eventMutex

// Spin-lock, critical-region and fast-mutex bookkeeping of the calling thread.
thread_local int spinLocksHeld = 0;
thread_local int criticalRegions = 0;
thread_local int fastMutexesHeld = 0;
thread_local char threadToken;

std::u16string ToString(PUNICODE_STRING text) {
  if (text == nullptr || text->Buffer == nullptr) return u"";
  return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

void RequirePassiveLevel(const char* what) {
  if (spinLocksHeld > 0) Fatal(what);
}

struct IrpState {
  bool built = false;  // by IoBuildDeviceIoControlRequest: finished by the I/O manager
  bool done = false;
  void* systemBuffer = nullptr;
  void* output = nullptr;
  ULONG outputLength = 0;
  std::vector<IO_STACK_LOCATION> stack;
};

IrpState* StateOf(PIRP irp) { return static_cast<IrpState*>(irp->HostContext); }

// The I/O manager's part once the IRP has been completed to the top.
void FinishIrp(PIRP irp) {
  IrpState* state = StateOf(irp);
  if (state->built) {
    if (NT_SUCCESS(irp->IoStatus.Status) && state->output != nullptr) {
      const size_t bytes = std::min<size_t>(irp->IoStatus.Information, state->outputLength);
      std::memmove(state->output, state->systemBuffer, bytes);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    std::free(state->systemBuffer);
    FreeIrp(irp);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(eventMutex);
    state->done = true;
  }
  eventChanged.notify_all();
}

// Days since 1601-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days1601, int* year, int* month, int* day) {
  // Shift to days since 0000-03-01.
  int64_t z = days1601 + 584388 - 60;  // 1601-01-01 is day 584388 of the 0000-03-01 era
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(era * 400 + yoe + (*month <= 2 ? 1 : 0));
}

int64_t DaysFromCivil1601(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = year / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 584388 + 60;
}

}  // namespace

std::vector<std::string> TakeDebugLines() {
  std::lock_guard<std::mutex> lock(stateMutex);
  std::vector<std::string> lines;
  lines.swap(debugLines);
  return lines;
}

size_t PoolAllocationsOutstanding() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return pool.size();
}

size_t PoolAllocationsOutstanding(ULONG tag) {
  std::lock_guard<std::mutex> lock(stateMutex);
  return std::count_if(pool.begin(), pool.end(), [tag](const auto& entry) { return entry.second.first == tag; });
}

size_t IrpsOutstanding() { return irpCount.load(); }

void SetLocalTime(int year, int month, int day, int hour, int minute, int second) {
  const int64_t seconds = DaysFromCivil1601(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  systemTime.store(seconds * 10000000);
}

void SetClockStep(int seconds) { clockStep.store(LONGLONG{seconds} * 10000000); }

void FailAllocationAfter(int successes) {
  std::lock_guard<std::mutex> lock(stateMutex);
  failAfter = successes;
}

namespace {

// Called with stateMutex held.
bool AllocationFails() {
  if (failAfter < 0) return false;
  return failAfter-- == 0;
}

}  // namespace

PDEVICE_OBJECT DeviceForLink(const std::u16string& link) {
  std::lock_guard<std::mutex> lock(stateMutex);
  auto target = links.find(link);
  if (target == links.end()) return nullptr;
  auto device = namedDevices.find(target->second);
  return device == namedDevices.end() ? nullptr : device->second;
}

PIRP AllocateIrp(CCHAR stackSize) {
  if (stackSize < 1) Fatal("IRP with no stack location");
  auto* irp = new IRP{};
  auto* state = new IrpState;
  state->stack.resize(stackSize);
  irp->HostContext = state;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = state->stack.data() + stackSize;
  irp->IoStatus.Status = STATUS_SUCCESS;
  ++irpCount;
  return irp;
}

void FreeIrp(PIRP irp) {
  delete StateOf(irp);
  delete irp;
  --irpCount;
}

void ReuseIrp(PIRP irp) {
  IrpState* state = StateOf(irp);
  if (!state->done) Fatal("IRP reused before it was completed");
  state->done = false;
  irp->CurrentLocation = static_cast<CCHAR>(irp->StackCount + 1);
  irp->Tail.Overlay.CurrentStackLocation = state->stack.data() + irp->StackCount;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
}

void WaitForEventWaiters(int count) {
  std::unique_lock<std::mutex> lock(eventMutex);
  eventChanged.wait(lock, [count] { return eventWaiters >= count; });
}

void WaitForCompletion(PIRP irp) {
  std::unique_lock<std::mutex> lock(eventMutex);
  eventChanged.wait(lock, [irp] { return StateOf(irp)->done; });
}

}  // namespace vx::host

using vx::host::Fatal;

// ---- Devices and links

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, ULONG type,
                        ULONG characteristics, BOOLEAN, PDEVICE_OBJECT* device) {
  vx::host::RequirePassiveLevel("IoCreateDevice with a spin lock held");
  const std::u16string deviceName = vx::host::ToString(name);
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  if (vx::host::AllocationFails()) return STATUS_INSUFFICIENT_RESOURCES;
  if (!deviceName.empty() && vx::host::namedDevices.count(deviceName)) return STATUS_OBJECT_NAME_COLLISION;
  auto* object = new DEVICE_OBJECT{};
  object->DriverObject = driver;
  object->DeviceType = type;
  object->Characteristics = characteristics;
  object->Flags = DO_DEVICE_INITIALIZING;
  object->StackSize = 1;
  if (extensionSize > 0) object->DeviceExtension = std::calloc(1, extensionSize);
  object->NextDevice = driver->DeviceObject;
  driver->DeviceObject = object;
  if (!deviceName.empty()) vx::host::namedDevices[deviceName] = object;
  *device = object;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device) {
  vx::host::RequirePassiveLevel("IoDeleteDevice with a spin lock held");
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  if (device->AttachedDevice != nullptr) Fatal("IoDeleteDevice of a device that still has a device attached");
  for (auto it = vx::host::namedDevices.begin(); it != vx::host::namedDevices.end();) {
    it = it->second == device ? vx::host::namedDevices.erase(it) : std::next(it);
  }
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
  if (*link == nullptr) Fatal("IoDeleteDevice of an unknown device");
  *link = device->NextDevice;
  std::free(device->DeviceExtension);
  delete device;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target) {
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  const std::u16string name = vx::host::ToString(link);
  if (vx::host::links.count(name)) return STATUS_OBJECT_NAME_COLLISION;
  vx::host::links[name] = vx::host::ToString(target);
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) {
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  return vx::host::links.erase(vx::host::ToString(link)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  PDEVICE_OBJECT top = target;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  if (top->HostRefuseAttach) return nullptr;
  top->AttachedDevice = source;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT target) {
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  if (target->AttachedDevice == nullptr) Fatal("IoDetachDevice with nothing attached");
  target->AttachedDevice = nullptr;
}

// ---- IRPs

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  vx::host::RequirePassiveLevel("call down the stack with a spin lock held");
  if (irp->CurrentLocation <= 1) Fatal("no stack location left for the lower driver");
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = device;
  return device->DriverObject->MajorFunction[stack->MajorFunction](device, irp);
}

void IofCompleteRequest(PIRP irp, CCHAR) {
  if (irp->CurrentLocation > irp->StackCount + 1 || vx::host::StateOf(irp)->done) Fatal("IRP completed twice");
  if (irp->IoStatus.Status == STATUS_PENDING) Fatal("IRP completed with STATUS_PENDING");
  const NTSTATUS status = irp->IoStatus.Status;
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    const PVOID context = stack->Context;
    const UCHAR control = stack->Control;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    const bool invoke = routine != nullptr && ((NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                               (!NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)));
    if (invoke) {
      PDEVICE_OBJECT owner =
          irp->CurrentLocation <= irp->StackCount ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
      if (routine(owner, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  (void)status;
  vx::host::FinishIrp(irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK ioStatus) {
  PIRP irp = vx::host::AllocateIrp(device->StackSize);
  auto* state = vx::host::StateOf(irp);
  state->built = true;
  // Buffered: one system buffer as large as the larger side, input copied in.
  state->systemBuffer = std::calloc(1, std::max<size_t>(1, std::max(inputLength, outputLength)));
  if (input != nullptr && inputLength > 0) std::memcpy(state->systemBuffer, input, inputLength);
  state->output = output;
  state->outputLength = outputLength;
  irp->AssociatedIrp.SystemBuffer = state->systemBuffer;
  irp->UserIosb = ioStatus;
  irp->UserEvent = event;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  return irp;
}

// ---- Events, spin locks, time

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard<std::mutex> lock(vx::host::eventMutex);
  event->type = type;
  event->signaled = state ? 1 : 0;
}

LONG KeSetEvent(PKEVENT event, LONG, BOOLEAN) {
  LONG previous;
  {
    std::lock_guard<std::mutex> lock(vx::host::eventMutex);
    previous = event->signaled;
    event->signaled = 1;
  }
  vx::host::eventChanged.notify_all();
  return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout) {
  if (timeout == nullptr || timeout->QuadPart != 0) vx::host::RequirePassiveLevel("wait with a spin lock held");
  auto* event = static_cast<PKEVENT>(object);
  std::unique_lock<std::mutex> lock(vx::host::eventMutex);
  ++vx::host::eventWaiters;
  vx::host::eventChanged.notify_all();  // for WaitForEventWaiters
  vx::host::eventChanged.wait(lock, [event] { return event->signaled != 0; });
  --vx::host::eventWaiters;
  if (event->type == SynchronizationEvent) event->signaled = 0;
  return STATUS_SUCCESS;
}

void KeInitializeSpinLock(KSPIN_LOCK* lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* oldIrql) {
  const auto me = reinterpret_cast<KSPIN_LOCK>(&vx::host::threadToken);
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) Fatal("spin lock acquired twice by one thread");
  KSPIN_LOCK expected = 0;
  while (!__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    expected = 0;
  }
  *oldIrql = static_cast<KIRQL>(vx::host::spinLocksHeld);
  ++vx::host::spinLocksHeld;
}

void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL newIrql) {
  const auto me = reinterpret_cast<KSPIN_LOCK>(&vx::host::threadToken);
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != me) Fatal("spin lock released by a thread that does not hold it");
  if (newIrql != vx::host::spinLocksHeld - 1) Fatal("spin locks released out of order");
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  --vx::host::spinLocksHeld;
}

void KeEnterCriticalRegion() { ++vx::host::criticalRegions; }

void KeLeaveCriticalRegion() {
  if (vx::host::criticalRegions == 0) Fatal("critical region left without being entered");
  if (vx::host::criticalRegions == 1 && vx::host::fastMutexesHeld > 0) {
    Fatal("critical region left while a fast mutex is held");
  }
  --vx::host::criticalRegions;
}

void ExInitializeFastMutex(PFAST_MUTEX mutex) { __atomic_store_n(&mutex->owner, 0, __ATOMIC_RELEASE); }

void ExAcquireFastMutexUnsafe(PFAST_MUTEX mutex) {
  const auto me = reinterpret_cast<uintptr_t>(&vx::host::threadToken);
  if (vx::host::criticalRegions == 0) Fatal("fast mutex acquired outside a critical region");
  if (__atomic_load_n(&mutex->owner, __ATOMIC_RELAXED) == me) Fatal("fast mutex acquired twice by one thread");
  vx::host::RequirePassiveLevel("fast mutex acquired with a spin lock held");
  std::unique_lock<std::mutex> lock(vx::host::eventMutex);
  vx::host::eventChanged.wait(lock, [mutex] { return __atomic_load_n(&mutex->owner, __ATOMIC_RELAXED) == 0; });
  __atomic_store_n(&mutex->owner, me, __ATOMIC_RELAXED);
  ++vx::host::fastMutexesHeld;
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX mutex) {
  const auto me = reinterpret_cast<uintptr_t>(&vx::host::threadToken);
  if (__atomic_load_n(&mutex->owner, __ATOMIC_RELAXED) != me)
    Fatal("fast mutex released by a thread that does not hold it");
  {
    std::lock_guard<std::mutex> lock(vx::host::eventMutex);
    __atomic_store_n(&mutex->owner, 0, __ATOMIC_RELAXED);
  }
  --vx::host::fastMutexesHeld;
  vx::host::eventChanged.notify_all();
}

void KeQuerySystemTime(PLARGE_INTEGER time) {
  time->QuadPart = vx::host::systemTime.fetch_add(vx::host::clockStep.load());
}

// The stand-in's clock is set in local time: no bias.
void ExSystemTimeToLocalTime(PLARGE_INTEGER systemTime, PLARGE_INTEGER localTime) { *localTime = *systemTime; }

void RtlTimeToTimeFields(PLARGE_INTEGER time, PTIME_FIELDS fields) {
  const int64_t totalSeconds = time->QuadPart / 10000000;
  const int64_t days = totalSeconds / 86400;
  const int64_t secondOfDay = totalSeconds % 86400;
  int year, month, day;
  vx::host::CivilFromDays(days, &year, &month, &day);
  fields->Year = static_cast<CSHORT>(year);
  fields->Month = static_cast<CSHORT>(month);
  fields->Day = static_cast<CSHORT>(day);
  fields->Hour = static_cast<CSHORT>(secondOfDay / 3600);
  fields->Minute = static_cast<CSHORT>(secondOfDay / 60 % 60);
  fields->Second = static_cast<CSHORT>(secondOfDay % 60);
  fields->Milliseconds = static_cast<CSHORT>(time->QuadPart / 10000 % 1000);
  fields->Weekday = static_cast<CSHORT>((days + 1) % 7);  // 1601-01-01 was a Monday
}

// ---- Pool

PVOID ExAllocatePoolWithTag(POOL_TYPE type, size_t bytes, ULONG tag) {
  if (type != NonPagedPool) vx::host::RequirePassiveLevel("paged pool with a spin lock held");
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  if (vx::host::AllocationFails()) return nullptr;
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  std::memset(block, 0xCD, bytes);  // pool is not zeroed
  vx::host::pool[block] = {tag, bytes};
  return block;
}

void ExFreePoolWithTag(PVOID block, ULONG tag) {
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  auto entry = vx::host::pool.find(block);
  if (entry == vx::host::pool.end()) Fatal("ExFreePoolWithTag of memory not from the pool (or freed twice)");
  if (entry->second.first != tag) Fatal("ExFreePoolWithTag with the wrong tag");
  vx::host::pool.erase(entry);
  std::free(block);
}

// ---- Handles

NTSTATUS ZwClose(HANDLE handle) {
  NTSTATUS status = STATUS_INVALID_HANDLE;
  if (vx::host::CloseKeyHandle(handle, &status) || vx::host::CloseTokenHandle(handle, &status)) return status;
  return STATUS_INVALID_HANDLE;
}

// ---- Power, strings, debugger

void PoStartNextPowerIrp(PIRP) {}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG) { return mdl->HostAddress; }
NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(device, irp); }

void RtlInitUnicodeString(PUNICODE_STRING target, const WCHAR* source) {
  size_t length = 0;
  if (source != nullptr) {
    while (source[length] != 0) ++length;
  }
  target->Buffer = const_cast<WCHAR*>(source);
  target->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  target->MaximumLength = static_cast<USHORT>(target->Length + sizeof(WCHAR));
}

ULONG DbgPrint(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(vx::host::stateMutex);
  vx::host::debugLines.emplace_back(line);
  return STATUS_SUCCESS;
}
