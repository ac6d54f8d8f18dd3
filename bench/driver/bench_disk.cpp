#include "bench/driver/bench_disk.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vx::bench {

namespace {

NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && stack->Parameters.DeviceIoControl.OutputBufferLength >= 40) {
    auto* descriptor = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    std::memset(descriptor, 0, 40);
    descriptor[28] = 7;  // USB
    irp->IoStatus.Information = 40;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// The least a filter can do with a read: skip its location and pass it on.
NTSTATUS BareSkipForward(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(static_cast<PDEVICE_OBJECT*>(device->DeviceExtension)[0], irp);
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "benchmark setup: %s\n", what);
  std::abort();
}

}  // namespace

BenchDisks::BenchDisks() {
  for (auto& routine : lowerDriver_.MajorFunction) routine = CompleteAtOnce;
  for (auto& routine : bareDriver_.MajorFunction) routine = BareSkipForward;
  bareDriver_.DriverExtension = &bareExtension_;
  if (!NT_SUCCESS(IoCreateDevice(&lowerDriver_, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &lowerForFilter_)) ||
      !NT_SUCCESS(IoCreateDevice(&lowerDriver_, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &lowerForBare_)) ||
      !NT_SUCCESS(IoCreateDevice(&bareDriver_, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_DISK, 0, FALSE, &bare_))) {
    Fail("devices");
  }
  if (!NT_SUCCESS(driver_.Object()->DriverExtension->AddDevice(driver_.Object(), lowerForFilter_))) Fail("AddDevice");
  filterTop_ = lowerForFilter_->AttachedDevice;
  if (filterTop_ == nullptr) Fail("no filter attached");
  static_cast<PDEVICE_OBJECT*>(bare_->DeviceExtension)[0] = IoAttachDeviceToDeviceStack(bare_, lowerForBare_);
  bareTop_ = bare_;
  irp_ = vx::host::AllocateIrp(2);
  // A fresh IRP counts as completed, so that the first Read can reuse it.
  IoGetNextIrpStackLocation(irp_)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  if (!NT_SUCCESS(IofCallDriver(lowerForBare_, irp_))) Fail("first flush");
}

BenchDisks::~BenchDisks() {
  vx::host::FreeIrp(irp_);
  // Removal on the way out: a failure would be stopped by the stand-in's own
  // checks, and a destructor has no one to report to.
  (void)vx::host::SendRequest(filterTop_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  IoDetachDevice(lowerForBare_);
  IoDeleteDevice(bare_);
  IoDeleteDevice(lowerForBare_);
  IoDeleteDevice(lowerForFilter_);
}

NTSTATUS BenchDisks::Read(PDEVICE_OBJECT top) {
  // The completed IRP is made ready again and its first location filled.
  vx::host::ReuseIrp(irp_);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  next->MajorFunction = IRP_MJ_READ;
  next->Parameters.Read.Length = 512;
  return IofCallDriver(top, irp_);
}

}  // namespace vx::bench
