// The kernel stand-in itself: what the driver tests rely on. Completion
// routines run bottom-up and can keep a request; the I/O manager's buffered
// device control copies the reported bytes back; and misuse that would crash
// a real kernel stops the program here.
#include <gtest/gtest.h>

#include <vector>

#include "driver/host/host_control.h"
#include "driver/host/host_driver.h"

namespace {

std::vector<int> order;

NTSTATUS NTAPI Record(PDEVICE_OBJECT, PIRP, PVOID context) {
  order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(context)));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP, PVOID context) {
  order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(context)));
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI CompleteNow(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 7;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST(KernelHost, CompletionRoutinesRunBottomUpUntilOneKeepsTheRequest) {
  DRIVER_OBJECT driver{};
  for (auto& routine : driver.MajorFunction) routine = CompleteNow;
  PDEVICE_OBJECT device;
  ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &device), STATUS_SUCCESS);
  PIRP irp = vx::host::AllocateIrp(3);
  order.clear();
  // Three locations: the two upper ones set routines for the ones below.
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, Record, reinterpret_cast<PVOID>(1), TRUE, TRUE, TRUE);
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, Keep, reinterpret_cast<PVOID>(2), TRUE, TRUE, TRUE);
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  IoCopyCurrentIrpStackLocationToNext(irp);
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
  EXPECT_EQ(order, std::vector<int>{2}) << "the routine that keeps the request stops the walk";
  // Completing it again from the keeper's location runs the rest.
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  EXPECT_EQ(irp->IoStatus.Information, 7u);
  vx::host::FreeIrp(irp);
  IoDeleteDevice(device);
}

TEST(KernelHost, PoolCountsAllocationsPerTag) {
  const ULONG tag = 0x31767a71;
  void* block = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
  EXPECT_EQ(vx::host::PoolAllocationsOutstanding(tag), 1u);
  ExFreePoolWithTag(block, tag);
  EXPECT_EQ(vx::host::PoolAllocationsOutstanding(), 0u);
}

KSPIN_LOCK deathLock;

void AcquireTwice() {
  KIRQL irql;
  KIRQL again;
  KeAcquireSpinLock(&deathLock, &irql);
  KeAcquireSpinLock(&deathLock, &again);
}

void WaitHoldingSpinLock() {
  KIRQL irql;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KeAcquireSpinLock(&deathLock, &irql);
  (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);  // stops the program first
}

void ReleaseWithoutHolding() { KeReleaseSpinLock(&deathLock, 0); }

void FreeWithWrongTag() { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, 1), 2); }

void CompleteTwice() {
  PIRP irp = vx::host::AllocateIrp(1);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

FAST_MUTEX deathMutex;

void MutexOutsideARegion() { ExAcquireFastMutexUnsafe(&deathMutex); }

void LeaveRegionHoldingTheMutex() {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&deathMutex);
  KeLeaveCriticalRegion();
}

void MutexTwice() {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&deathMutex);
  ExAcquireFastMutexUnsafe(&deathMutex);
}

void MutexUnderASpinLock() {
  KIRQL irql;
  KeEnterCriticalRegion();
  KeAcquireSpinLock(&deathLock, &irql);
  ExAcquireFastMutexUnsafe(&deathMutex);
}

void ReleaseMutexNotHeld() { ExReleaseFastMutexUnsafe(&deathMutex); }

void LeaveRegionNotEntered() { KeLeaveCriticalRegion(); }

// A fast mutex in its unsafe form is held only inside a critical region, so
// that a suspended holder cannot stop every later one.
TEST(KernelHostDeathTest, FastMutexIsHeldOnlyInsideACriticalRegion) {
  KeInitializeSpinLock(&deathLock);
  ExInitializeFastMutex(&deathMutex);
  EXPECT_DEATH(MutexOutsideARegion(), "fast mutex acquired outside a critical region");
  EXPECT_DEATH(LeaveRegionHoldingTheMutex(), "critical region left while a fast mutex is held");
  EXPECT_DEATH(MutexTwice(), "fast mutex acquired twice");
  EXPECT_DEATH(MutexUnderASpinLock(), "fast mutex acquired with a spin lock held");
  EXPECT_DEATH(ReleaseMutexNotHeld(), "does not hold it");
  EXPECT_DEATH(LeaveRegionNotEntered(), "without being entered");
  // Used as it should be, it is free again afterwards.
  for (int i = 0; i < 2; ++i) {
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&deathMutex);
    ExReleaseFastMutexUnsafe(&deathMutex);
    KeLeaveCriticalRegion();
  }
}

TEST(KernelHostDeathTest, MisuseStopsTheProgram) {
  KeInitializeSpinLock(&deathLock);
  EXPECT_DEATH(AcquireTwice(), "spin lock acquired twice");
  EXPECT_DEATH(WaitHoldingSpinLock(), "wait with a spin lock held");
  EXPECT_DEATH(ReleaseWithoutHolding(), "does not hold it");
  EXPECT_DEATH(FreeWithWrongTag(), "wrong tag");
  EXPECT_DEATH(CompleteTwice(), "completed twice");
}

}  // namespace
