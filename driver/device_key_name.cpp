// The object name of a disk's hardware registry key, e.g.
// \REGISTRY\MACHINE\SYSTEM\ControlSet001\Enum\USBSTOR\Disk&Ven_...\<serial>&0\Device Parameters
#include "driver/filter_driver.h"

namespace vx::driver {

namespace {

// The key's own name query result (KeyNameInformation).
struct KEY_NAME {
  ULONG NameLength;
  WCHAR Name[1];
};

// Fills `buffer` with the key's name through the key object.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NameFromObject(HANDLE key, POBJECT_NAME_INFORMATION buffer) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(key, 0, nullptr, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  ULONG returned = 0;
  status = ObQueryNameString(object, buffer, kNameBufferSize, &returned);
  ObfDereferenceObject(object);
  return status;
}

// Where a key handle yields no object (as under some platform emulations),
// the key's own name query gives the same name; it is laid out here in the
// same form, a counted string header followed by the characters.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS NameFromKeyQuery(HANDLE key, POBJECT_NAME_INFORMATION buffer) {
  auto* info = reinterpret_cast<KEY_NAME*>(buffer + 1);
  const ULONG room = kNameBufferSize - sizeof(OBJECT_NAME_INFORMATION);
  ULONG returned = 0;
  const NTSTATUS status = ZwQueryKey(key, KeyNameInformation, info, room, &returned);
  if (!NT_SUCCESS(status)) return status;
  const ULONG nameRoom = room - sizeof(ULONG);
  if (info->NameLength > nameRoom || info->NameLength > 0xFFFE) return STATUS_BUFFER_TOO_SMALL;
  buffer->Name.Length = static_cast<USHORT>(info->NameLength);
  buffer->Name.MaximumLength = static_cast<USHORT>(info->NameLength);
  buffer->Name.Buffer = info->Name;
  return STATUS_SUCCESS;
}

}  // namespace

_Use_decl_annotations_ POBJECT_NAME_INFORMATION GetDeviceKeyName(PDEVICE_OBJECT physicalDevice) {
  auto* buffer =
      static_cast<POBJECT_NAME_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, kNameBufferSize, kKeyNameTag));
  if (buffer == nullptr) return nullptr;
  auto* bytes = reinterpret_cast<UCHAR*>(buffer);
  for (ULONG i = 0; i < kNameBufferSize; ++i) bytes[i] = 0;

  HANDLE key = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
  // A handle of -1 with a success status is not a key.
  if (NT_SUCCESS(status) && key == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) {
    status = STATUS_INVALID_HANDLE;
  } else if (NT_SUCCESS(status)) {
    status = NameFromObject(key, buffer);
    if (!NT_SUCCESS(status)) status = NameFromKeyQuery(key, buffer);
    // A kernel handle opened just above; its name is already copied, and a
    // failed close leaves nothing to undo.
    (void)ZwClose(key);
  }
  if (!NT_SUCCESS(status) || buffer->Name.Length > kNameBufferSize) {
    ExFreePoolWithTag(buffer, kKeyNameTag);
    return nullptr;
  }
  return buffer;
}

}  // namespace vx::driver
