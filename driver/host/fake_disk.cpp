#include "driver/host/fake_disk.h"

#include <chrono>
#include <cstring>
#include <map>
#include <set>

#include "driver/host/host_control.h"

namespace vx::host {

[[noreturn]] void Fatal(const char* what);

namespace {

constexpr ULONG kIoctlStorageQueryProperty = 0x002D1400;
constexpr ULONG kDescriptorBytes = 40;

DRIVER_EXTENSION lowerExtension;
DRIVER_OBJECT lowerDriver = [] {
  DRIVER_OBJECT driver{};
  driver.DriverExtension = &lowerExtension;
  for (auto& routine : driver.MajorFunction) routine = FakeDisk::Dispatch;
  return driver;
}();

// Open registry key handles: the key's disk and how often it is referenced.
struct KeyObject {
  FakeDisk* disk;
  int references = 0;
};
std::mutex keyMutex;
std::set<KeyObject*> openKeys;

KeyObject* KeyFromHandle(HANDLE handle) {
  auto* key = static_cast<KeyObject*>(handle);
  return openKeys.count(key) ? key : nullptr;
}

}  // namespace

FakeDisk::FakeDisk(UCHAR busType, std::u16string keyName, KeyAccess access)
    : busType_(busType), keyName_(std::move(keyName)), access_(access) {
  if (!NT_SUCCESS(IoCreateDevice(&lowerDriver, 0, nullptr, FILE_DEVICE_DISK, FILE_REMOVABLE_MEDIA, FALSE, &pdo_))) {
    Fatal("fake disk could not be created");
  }
  pdo_->HostContext = this;
  pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
}

FakeDisk::~FakeDisk() {
  for (std::thread& completer : completers_) completer.join();
  if (pdo_->AttachedDevice != nullptr) Fatal("fake disk destroyed with a filter still attached");
  IoDeleteDevice(pdo_);
}

PDEVICE_OBJECT FakeDisk::Top() const {
  PDEVICE_OBJECT top = pdo_;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  return top;
}

std::vector<SeenRequest> FakeDisk::Seen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

size_t FakeDisk::CountSeen(UCHAR major) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const SeenRequest& request : seen_) count += request.major == major;
  return count;
}

void FakeDisk::ClearSeen() {
  std::lock_guard<std::mutex> lock(mutex_);
  seen_.clear();
}

void FakeDisk::HoldReadsAndWrites() {
  std::lock_guard<std::mutex> lock(mutex_);
  holding_ = true;
}

void FakeDisk::ReleaseReadsAndWrites() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = false;
  }
  changed_.notify_all();
}

void FakeDisk::WaitUntilHeld(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return held_ >= count; });
}

NTSTATUS FakeDisk::Answer(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  irp->IoStatus.Information = 0;
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
      if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlStorageQueryProperty) {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < 12 ||
            stack->Parameters.DeviceIoControl.OutputBufferLength < kDescriptorBytes) {
          return STATUS_BUFFER_TOO_SMALL;
        }
        auto* descriptor = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        std::memset(descriptor, 0, kDescriptorBytes);
        descriptor[0] = kDescriptorBytes;  // Version
        descriptor[4] = kDescriptorBytes;  // Size
        descriptor[28] = busType_;
        irp->IoStatus.Information = kDescriptorBytes;
      }
      return STATUS_SUCCESS;
    case IRP_MJ_READ:
      irp->IoStatus.Information = stack->Parameters.Read.Length;
      return STATUS_SUCCESS;
    case IRP_MJ_WRITE:
      irp->IoStatus.Information = stack->Parameters.Write.Length;
      return STATUS_SUCCESS;
    case IRP_MJ_PNP:
      return stack->MinorFunction == IRP_MN_START_DEVICE ? startStatus_ : STATUS_SUCCESS;
    default:
      return STATUS_SUCCESS;
  }
}

NTSTATUS FakeDisk::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* disk = static_cast<FakeDisk*>(device->HostContext);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR major = stack->MajorFunction;
  {
    std::unique_lock<std::mutex> lock(disk->mutex_);
    disk->seen_.push_back({major, stack->MinorFunction,
                           major == IRP_MJ_DEVICE_CONTROL ? stack->Parameters.DeviceIoControl.IoControlCode : 0u});
    if (disk->holding_ && (major == IRP_MJ_READ || major == IRP_MJ_WRITE)) {
      ++disk->held_;
      disk->changed_.notify_all();
      disk->changed_.wait(lock, [disk] { return !disk->holding_; });
      --disk->held_;
    }
  }
  const NTSTATUS status = disk->Answer(irp);
  irp->IoStatus.Status = status;
  if (disk->pend_) {
    IoMarkIrpPending(irp);
    std::lock_guard<std::mutex> lock(disk->mutex_);
    disk->completers_.emplace_back([irp] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
  }
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

size_t KeyHandlesOutstanding() {
  std::lock_guard<std::mutex> lock(keyMutex);
  return openKeys.size();
}

}  // namespace vx::host

using vx::host::FakeDisk;
using vx::host::KeyAccess;
using vx::host::KeyObject;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT device, ULONG keyType, ACCESS_MASK, HANDLE* key) {
  if (device->DriverObject != &vx::host::lowerDriver || keyType != PLUGPLAY_REGKEY_DEVICE) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* disk = static_cast<FakeDisk*>(device->HostContext);
  if (disk->Access() == KeyAccess::kOpenFails) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (disk->Access() == KeyAccess::kMinusOneHandle) {
    *key = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
    return STATUS_SUCCESS;
  }
  std::lock_guard<std::mutex> lock(vx::host::keyMutex);
  auto* object = new KeyObject{disk};
  vx::host::openKeys.insert(object);
  *key = object;
  return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, PVOID, KPROCESSOR_MODE, PVOID* object, PVOID) {
  std::lock_guard<std::mutex> lock(vx::host::keyMutex);
  KeyObject* key = vx::host::KeyFromHandle(handle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (key->disk->Access() == KeyAccess::kNoKeyObject) return STATUS_OBJECT_TYPE_MISMATCH;
  ++key->references;
  *object = key;
  return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION name, ULONG length, PULONG returnedLength) {
  std::lock_guard<std::mutex> lock(vx::host::keyMutex);
  auto* key = static_cast<KeyObject*>(object);
  if (key->references <= 0) vx::host::Fatal("ObQueryNameString on an object that is not referenced");
  const std::u16string& text = key->disk->KeyName();
  const ULONG bytes = static_cast<ULONG>(text.size() * sizeof(WCHAR));
  const ULONG needed = sizeof(OBJECT_NAME_INFORMATION) + bytes + sizeof(WCHAR);
  *returnedLength = needed;
  if (length < needed) return STATUS_INFO_LENGTH_MISMATCH;
  auto* characters = reinterpret_cast<WCHAR*>(name + 1);
  std::memcpy(characters, text.data(), bytes);
  characters[text.size()] = 0;
  name->Name.Buffer = characters;
  name->Name.Length = static_cast<USHORT>(bytes);
  name->Name.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

void ObfDereferenceObject(PVOID object) {
  std::lock_guard<std::mutex> lock(vx::host::keyMutex);
  auto* key = static_cast<KeyObject*>(object);
  if (--key->references < 0) vx::host::Fatal("object dereferenced more often than referenced");
}

NTSTATUS ZwQueryKey(HANDLE handle, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG resultLength) {
  std::lock_guard<std::mutex> lock(vx::host::keyMutex);
  KeyObject* key = vx::host::KeyFromHandle(handle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (infoClass != KeyNameInformation) return STATUS_NOT_SUPPORTED;
  const std::u16string& text = key->disk->KeyName();
  const ULONG bytes = static_cast<ULONG>(text.size() * sizeof(WCHAR));
  *resultLength = sizeof(ULONG) + bytes;
  if (length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  auto* name = static_cast<PKEY_NAME_INFORMATION>(info);
  name->NameLength = bytes;
  if (length < sizeof(ULONG) + bytes) return STATUS_BUFFER_OVERFLOW;
  std::memcpy(name->Name, text.data(), bytes);
  return STATUS_SUCCESS;
}

bool vx::host::CloseKeyHandle(HANDLE handle, NTSTATUS* status) {
  std::lock_guard<std::mutex> lock(keyMutex);
  KeyObject* key = KeyFromHandle(handle);
  if (key == nullptr) return false;
  if (key->references != 0) Fatal("key handle closed while its object is referenced");
  openKeys.erase(key);
  delete key;
  *status = STATUS_SUCCESS;
  return true;
}
