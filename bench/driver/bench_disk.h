// A minimal disk for the read-path benchmarks: a lower device that
// completes every request at once (and answers the bus-type query with USB),
// a filter device attached above it by the driver's own AddDevice, and a
// bare skip-forward filter for comparison. One IRP is reused throughout.
#pragma once

#include "driver/filter_driver.h"
#include "driver/host/host_control.h"
#include "driver/host/host_driver.h"

namespace vx::bench {

class BenchDisks {
 public:
  BenchDisks();
  ~BenchDisks();
  // One read through the driver's filter device, or through the bare one.
  NTSTATUS ReadThroughFilter() { return Read(filterTop_); }
  NTSTATUS ReadThroughBareFilter() { return Read(bareTop_); }
  PDEVICE_OBJECT FilterDevice() const { return filterTop_; }

 private:
  NTSTATUS Read(PDEVICE_OBJECT top);

  vx::host::LoadedDriver driver_;
  DRIVER_OBJECT lowerDriver_{};
  DRIVER_OBJECT bareDriver_{};
  DRIVER_EXTENSION bareExtension_{};
  PDEVICE_OBJECT lowerForFilter_ = nullptr;
  PDEVICE_OBJECT lowerForBare_ = nullptr;
  PDEVICE_OBJECT bare_ = nullptr;
  PDEVICE_OBJECT filterTop_ = nullptr;
  PDEVICE_OBJECT bareTop_ = nullptr;
  PIRP irp_ = nullptr;
};

}  // namespace vx::bench
