// A fake physical disk for the kernel stand-in: a device object owned by a
// fake lower driver that answers the bus-type query, reads, writes, power
// and Plug and Play, records every request that reached it, and owns the
// hardware registry key whose name identifies the disk.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/host/kernel.h"

namespace vx::host {

constexpr UCHAR kBusTypeSata = 11;
constexpr UCHAR kBusTypeUsbDisk = 7;

// How the disk's registry key behaves when the driver reads its name.
enum class KeyAccess {
  kNormal,          // the key object yields its name
  kNoKeyObject,     // the handle gives no object; only the key's own name query works
  kOpenFails,       // the key cannot be opened
  kMinusOneHandle,  // the open reports success with a handle of -1
};

struct SeenRequest {
  UCHAR major;
  UCHAR minor;
  ULONG ioControlCode;
};

class FakeDisk {
 public:
  FakeDisk(UCHAR busType, std::u16string keyName, KeyAccess access = KeyAccess::kNormal);
  ~FakeDisk();
  FakeDisk(const FakeDisk&) = delete;
  FakeDisk& operator=(const FakeDisk&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  // The top of the disk's stack: the filter device once attached.
  PDEVICE_OBJECT Top() const;
  bool Filtered() const { return pdo_->AttachedDevice != nullptr; }

  std::vector<SeenRequest> Seen() const;
  size_t CountSeen(UCHAR major) const;
  void ClearSeen();

  // Requests are then completed later from another thread (the dispatch
  // returns STATUS_PENDING).
  void SetPendRequests(bool pend) { pend_ = pend; }
  // Reads and writes then wait inside the lower driver until released.
  void HoldReadsAndWrites();
  void ReleaseReadsAndWrites();
  // Waits until `count` held requests are inside.
  void WaitUntilHeld(size_t count);

  // Attaching a device above the disk then fails (as for a disk being
  // removed).
  void RefuseAttach(bool refuse) { pdo_->HostRefuseAttach = refuse; }

  // The status the disk's start request completes with (success unless set).
  void SetStartStatus(NTSTATUS status) { startStatus_ = status; }
  // The disk's device characteristics (FILE_REMOVABLE_MEDIA unless set).
  void SetCharacteristics(ULONG characteristics) { pdo_->Characteristics = characteristics; }

  const std::u16string& KeyName() const { return keyName_; }
  KeyAccess Access() const { return access_; }

  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

 private:
  NTSTATUS Answer(PIRP irp);

  UCHAR busType_;
  std::u16string keyName_;
  KeyAccess access_;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool pend_ = false;
  NTSTATUS startStatus_ = STATUS_SUCCESS;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
  size_t held_ = 0;
  std::vector<SeenRequest> seen_;
  std::vector<std::thread> completers_;
};

}  // namespace vx::host
