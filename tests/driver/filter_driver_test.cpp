// The filter driver's WDM glue on the kernel stand-in, through real IRPs.
#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>

#include "driver/filter_driver.h"
#include "tests/driver/driver_fixture.h"
#include "tests/driver/rule_builder.h"

namespace {

using vx::host::Caller;
using vx::host::IoResult;
using vx::host::KeyAccess;
using vx::test::DriverFixture;
using vx::test::MakeRule;
using vx::test::UsbKeyName;

constexpr ULONG kIoctlDiskIsWritable = 0x00070024;
constexpr ULONG kIoctlDiskGetGeometry = 0x00070000;
constexpr ULONG kIoctlStorageQueryProperty = 0x002D1400;

using FilterDriverTest = DriverFixture;

// A load that fails leaves nothing behind (the stand-in stops the program
// when a device or link survives a failed load).
TEST(DriverEntryTest, FailedLoadLeavesNoDeviceAndNoLink) {
  vx::host::FailAllocationAfter(0);  // the control device cannot be created
  {
    vx::host::LoadedDriver driver;
    EXPECT_EQ(driver.EntryStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver.Object()->DeviceObject, nullptr);
  }
  vx::host::FailAllocationAfter(-1);

  UNICODE_STRING link;
  UNICODE_STRING elsewhere;
  RtlInitUnicodeString(&link, u"\\DosDevices\\VXDevFltr");
  RtlInitUnicodeString(&elsewhere, u"\\Device\\Elsewhere");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &elsewhere), STATUS_SUCCESS);  // the link name is taken
  {
    vx::host::LoadedDriver driver;
    EXPECT_EQ(driver.EntryStatus(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(driver.Object()->DeviceObject, nullptr) << "the control device is deleted again";
  }
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  // And the next load works.
  vx::host::LoadedDriver driver;
  EXPECT_EQ(driver.EntryStatus(), STATUS_SUCCESS);
  EXPECT_NE(vx::host::OpenDevice(u"\\\\.\\VXDevFltr"), nullptr);
}

TEST_F(FilterDriverTest, UsbDiskIsFilteredAndLoggedOnArrivalSataDiskIsNot) {
  vx::host::FakeDisk& sata = AddDisk(vx::host::kBusTypeSata, UsbKeyName(u"Acme", u"Flash", u"1", u"S1"));
  ASSERT_EQ(driver_->Plug(sata), STATUS_SUCCESS);
  EXPECT_FALSE(sata.Filtered());
  // A block-everything list does not reach it either.
  ASSERT_EQ(SetRules({MakeRule(0, ACTION_BLOCK)}).status, STATUS_SUCCESS);
  EXPECT_EQ(vx::host::SendRead(sata.Top(), 512).status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeLogs().empty());

  vx::host::FakeDisk& usb = PlugUsb(UsbKeyName(u"Acme", u"Flash_Drive", u"1.00", u"0123456789AB"));
  EXPECT_TRUE(usb.Filtered());
  // The bus type was asked with the standard property query.
  EXPECT_EQ(usb.Seen().front().ioControlCode, kIoctlStorageQueryProperty);
  const std::vector<USB_LOG> logs = TakeLogs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_STREQ(logs[0].vendor, "Acme");
  EXPECT_STREQ(logs[0].product, "Flash Drive");
  EXPECT_STREQ(logs[0].revision, "1.00");
  EXPECT_STREQ(logs[0].serial, "0123456789AB");
  EXPECT_EQ(logs[0].action, ACTION_BLOCK);
  const unsigned char stamp[] = {3, 3, 0xDE, 0x07, 0, 7, 5, 9};
  EXPECT_EQ(std::memcmp(reinterpret_cast<const unsigned char*>(&logs[0]) + 260, stamp, sizeof stamp), 0);
  // Start reached the disk, and its removable-media trait was copied up.
  EXPECT_EQ(usb.CountSeen(IRP_MJ_PNP), 1u);
  EXPECT_TRUE(usb.Top()->Characteristics & FILE_REMOVABLE_MEDIA);
  EXPECT_TRUE(usb.Top()->Flags & DO_POWER_PAGABLE);
  EXPECT_FALSE(usb.Top()->Flags & DO_DEVICE_INITIALIZING);
}

// The entry's date is day, month, 16-bit year and its time a zero byte,
// second, minute, hour: a day that differs from its month, and an hour,
// minute and second that differ, show any two fields swapped.
TEST_F(FilterDriverTest, LogEntryCarriesTheLocalDateAndTimeFieldByField) {
  struct Case {
    int year, month, day, hour, minute, second;
    unsigned char bytes[8];  // offsets 260 to 267
  } cases[] = {
      {2014, 3, 25, 9, 5, 7, {25, 3, 0xDE, 0x07, 0, 7, 5, 9}},
      {2099, 12, 31, 23, 59, 58, {31, 12, 0x33, 0x08, 0, 58, 59, 23}},
      {2000, 1, 9, 0, 0, 1, {9, 1, 0xD0, 0x07, 0, 1, 0, 0}},
      {2024, 2, 29, 12, 34, 56, {29, 2, 0xE8, 0x07, 0, 56, 34, 12}},  // a leap day
  };
  for (const Case& c : cases) {
    vx::host::SetLocalTime(c.year, c.month, c.day, c.hour, c.minute, c.second);
    vx::host::FakeDisk& disk = PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", u"A1"));
    const std::vector<USB_LOG> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1u) << c.year;
    EXPECT_EQ(std::memcmp(reinterpret_cast<const unsigned char*>(&logs[0]) + 260, c.bytes, sizeof c.bytes), 0)
        << c.year << "-" << c.month << "-" << c.day;
    EXPECT_EQ(logs[0].date, uint32_t(c.year) << 16 | uint32_t(c.month) << 8 | uint32_t(c.day)) << c.year;
    EXPECT_EQ(logs[0].time, uint32_t(c.hour) << 24 | uint32_t(c.minute) << 16 | uint32_t(c.second) << 8) << c.year;
    EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS);
  }
}

// A start keeps the status the disk's own driver gave it, failure included,
// and the filter takes on the disk's removable-media, read-only and floppy
// traits either way (and nothing else of the disk's).
TEST_F(FilterDriverTest, StartKeepsTheDisksStatusAndCopiesItsTraits) {
  constexpr ULONG kCopied = FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE | FILE_FLOPPY_DISKETTE;
  struct Case {
    const char* what;
    NTSTATUS start;
    ULONG lower;
    bool pend;
  } cases[] = {
      {"failed start of a read-only floppy", STATUS_INSUFFICIENT_RESOURCES,
       FILE_READ_ONLY_DEVICE | FILE_FLOPPY_DISKETTE | FILE_REMOTE_DEVICE, false},
      {"failed start, pended below", STATUS_UNSUCCESSFUL, FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE, true},
      {"started read-only disk", STATUS_SUCCESS, FILE_READ_ONLY_DEVICE, false},
      {"started disk with no traits", STATUS_SUCCESS, FILE_REMOTE_DEVICE, true},
  };
  for (const Case& c : cases) {
    vx::host::FakeDisk& disk = AddDisk(vx::host::kBusTypeUsbDisk, UsbKeyName(u"Acme", u"Flash", u"1", u"A1"));
    disk.SetCharacteristics(c.lower);
    disk.SetStartStatus(c.start);
    disk.SetPendRequests(c.pend);
    EXPECT_EQ(driver_->Plug(disk), c.start) << c.what;
    ASSERT_TRUE(disk.Filtered()) << c.what;
    EXPECT_EQ(disk.Top()->Characteristics & ~FILE_DEVICE_SECURE_OPEN, c.lower & kCopied) << c.what;
    EXPECT_TRUE(disk.Top()->Characteristics & FILE_DEVICE_SECURE_OPEN) << c.what;
    EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS) << c.what;
  }
  EXPECT_EQ(TakeLogs().size(), 4u);
}

struct EnforcementCase {
  int action;
  NTSTATUS read, write, writable, otherControl;
};

TEST_F(FilterDriverTest, ReadsWritesAndTheWritabilityQueryFollowTheAction) {
  const EnforcementCase cases[] = {
      {ACTION_BLOCK, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED, STATUS_MEDIA_WRITE_PROTECTED, STATUS_SUCCESS},
      {ACTION_READ_ONLY, STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_MEDIA_WRITE_PROTECTED, STATUS_SUCCESS},
      {ACTION_ALLOW, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
      {42, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},  // unknown codes allow
  };
  vx::host::FakeDisk& disk = PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", u"S1"));
  for (const EnforcementCase& c : cases) {
    ASSERT_EQ(SetRules({MakeRule(RULE_CHECK_VENDOR, c.action, "acme")}).status, STATUS_SUCCESS);
    disk.ClearSeen();
    const IoResult read = vx::host::SendRead(disk.Top(), 4096);
    const IoResult write = vx::host::SendWrite(disk.Top(), 4096);
    const IoResult writable = vx::host::SendDeviceControl(disk.Top(), kIoctlDiskIsWritable, nullptr, 0, nullptr, 0);
    const IoResult other = vx::host::SendDeviceControl(disk.Top(), kIoctlDiskGetGeometry, nullptr, 0, nullptr, 0);
    EXPECT_EQ(read.status, c.read) << "action " << c.action;
    EXPECT_EQ(write.status, c.write) << "action " << c.action;
    EXPECT_EQ(writable.status, c.writable) << "action " << c.action;
    EXPECT_EQ(other.status, c.otherControl) << "action " << c.action;
    // A passed request reached the disk with its length; a refused one did
    // not and reports no bytes.
    EXPECT_EQ(read.information, c.read == STATUS_SUCCESS ? 4096u : 0u);
    EXPECT_EQ(write.information, c.write == STATUS_SUCCESS ? 4096u : 0u);
    EXPECT_EQ(disk.CountSeen(IRP_MJ_READ), c.read == STATUS_SUCCESS ? 1u : 0u);
    EXPECT_EQ(disk.CountSeen(IRP_MJ_WRITE), c.write == STATUS_SUCCESS ? 1u : 0u);
    EXPECT_EQ(disk.CountSeen(IRP_MJ_DEVICE_CONTROL), c.writable == STATUS_SUCCESS ? 2u : 1u);
  }
}

TEST_F(FilterDriverTest, BlockedDiskStillOpensAndPassesPowerAndOtherRequests) {
  ASSERT_EQ(SetRules({MakeRule(0, ACTION_BLOCK)}).status, STATUS_SUCCESS);
  vx::host::FakeDisk& disk = PlugUsb(UsbKeyName(u"A", u"B", u"C", u"D"));
  disk.ClearSeen();
  EXPECT_EQ(vx::host::SendRequest(disk.Top(), IRP_MJ_CREATE).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.CountSeen(IRP_MJ_CREATE), 0u) << "create is completed by the filter";
  EXPECT_EQ(vx::host::SendRequest(disk.Top(), IRP_MJ_POWER, IRP_MN_SET_POWER).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.CountSeen(IRP_MJ_POWER), 1u);
  for (UCHAR major : {IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN, IRP_MJ_CLEANUP, IRP_MJ_SYSTEM_CONTROL}) {
    EXPECT_EQ(vx::host::SendRequest(disk.Top(), major).status, STATUS_SUCCESS);
    EXPECT_EQ(disk.CountSeen(major), 1u) << "major " << int(major);
  }
  EXPECT_EQ(vx::host::SendRequest(disk.Top(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES).status, STATUS_SUCCESS);
  EXPECT_EQ(disk.CountSeen(IRP_MJ_PNP), 1u);
}

TEST_F(FilterDriverTest, NewRuleListIsAppliedOnTheNextRequestWithOneEntryPerChange) {
  vx::host::FakeDisk& kingston = PlugUsb(UsbKeyName(u"Kingston", u"DT", u"1", u"K1"));
  vx::host::FakeDisk& acme = PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", u"A1"));
  ASSERT_EQ(TakeLogs().size(), 2u);

  const std::vector<USB_RULE> blockKingston = {MakeRule(RULE_CHECK_VENDOR, ACTION_BLOCK, "king")};
  ASSERT_EQ(SetRules(blockKingston).status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeLogs().empty()) << "nothing is judged before a request";

  EXPECT_EQ(vx::host::SendRead(kingston.Top(), 512).status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(vx::host::SendRead(kingston.Top(), 512).status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(vx::host::SendRead(acme.Top(), 512).status, STATUS_SUCCESS);
  std::vector<USB_LOG> logs = TakeLogs();
  ASSERT_EQ(logs.size(), 1u) << "one entry for the change, none for the unchanged disk";
  EXPECT_STREQ(logs[0].vendor, "Kingston");
  EXPECT_EQ(logs[0].action, ACTION_BLOCK);

  // The same list again: a new generation, but no verdict changes.
  ASSERT_EQ(SetRules(blockKingston).status, STATUS_SUCCESS);
  EXPECT_EQ(vx::host::SendWrite(kingston.Top(), 512).status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(vx::host::SendWrite(acme.Top(), 512).status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeLogs().empty());

  // Any device control request sets off the re-evaluation, and an empty
  // list allows everything again.
  ASSERT_EQ(SetRules({}).status, STATUS_SUCCESS);
  EXPECT_EQ(vx::host::SendDeviceControl(kingston.Top(), kIoctlDiskGetGeometry, nullptr, 0, nullptr, 0).status,
            STATUS_SUCCESS);
  logs = TakeLogs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].action, ACTION_ALLOW);
  EXPECT_EQ(vx::host::SendRead(kingston.Top(), 512).status, STATUS_SUCCESS);
}

TEST_F(FilterDriverTest, SetRuleListChecksLengthAndPrintsItsLines) {
  std::vector<USB_RULE> rules(129, MakeRule(0, ACTION_BLOCK));
  vx::host::FakeDisk& disk = PlugUsb(UsbKeyName(u"A", u"B", u"C", u"D"));
  TakeLogs();
  struct Case {
    ULONG bytes;
    NTSTATUS status;
    const char* line;
  } cases[] = {
      {128 * 264, STATUS_SUCCESS, "SetRuleList: inputLen 33792 count 128 sizeof USB_RULE 264\r\n"},
      {0, STATUS_SUCCESS, "SetRuleList: inputLen 0 count 0 sizeof USB_RULE 264\r\n"},
      {129 * 264, STATUS_ACCESS_DENIED, "SetRuleList: inputLen 34056 count 129 sizeof USB_RULE 264\r\n"},
      {265, STATUS_ACCESS_DENIED, "SetRuleList: inputLen 265 count 1 sizeof USB_RULE 264\r\n"},
  };
  for (const Case& c : cases) {
    vx::host::TakeDebugLines();
    const IoResult result = SetRuleBytes(rules.data(), c.bytes);
    EXPECT_EQ(result.status, c.status) << c.bytes;
    EXPECT_EQ(result.information, 0u);
    std::vector<std::string> expected = {c.line};
    if (c.status == STATUS_SUCCESS) expected.push_back("Do Copy\r\n");
    EXPECT_EQ(vx::host::TakeDebugLines(), expected);
  }
  // The refusals left the empty list of the second case: the disk is allowed.
  EXPECT_EQ(vx::host::SendRead(disk.Top(), 512).status, STATUS_SUCCESS);
}

TEST_F(FilterDriverTest, GetLogsChecksRoomAndHandsOutEveryEntryOnceInOrder) {
  std::vector<unsigned char> buffer(129 * sizeof(USB_LOG));
  auto getLogs = [&](ULONG bytes) {
    return vx::host::SendDeviceControl(control_, IOCTL_GET_LOGS, nullptr, 0, buffer.data(), bytes);
  };
  // Empty log: 100 bytes refused, 0 bytes fine, and no lines at all.
  EXPECT_EQ(getLogs(100).status, STATUS_ACCESS_DENIED);
  IoResult result = getLogs(0);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_TRUE(vx::host::TakeDebugLines().empty());

  // 130 arrivals: the first 128 are kept.
  for (int i = 0; i < 130; ++i) {
    vx::host::FakeDisk& disk = PlugUsb(UsbKeyName(u"V", u"P", u"R", std::u16string(u"S") + char16_t(u'0' + i % 10)));
    EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS);
  }
  EXPECT_EQ(vx::driver::DroppedLogEntries(), 2u);
  vx::host::TakeDebugLines();
  result = getLogs(127 * sizeof(USB_LOG));
  EXPECT_EQ(result.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(vx::host::TakeDebugLines(),
            std::vector<std::string>{"GetLogs: outputLen 34036 count 127 logCount 128 sizeof USB_LOG 268\r\n"});
  result = getLogs(128 * sizeof(USB_LOG));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(result.information, 128 * sizeof(USB_LOG));
  EXPECT_EQ(vx::host::TakeDebugLines(),
            (std::vector<std::string>{"GetLogs: outputLen 34304 count 128 logCount 128 sizeof USB_LOG 268\r\n",
                                      "Do Copy\r\n"}));
  const auto* logs = reinterpret_cast<const USB_LOG*>(buffer.data());
  for (int i = 0; i < 128; ++i) EXPECT_EQ(logs[i].serial[1], '0' + i % 10) << "entry " << i;
  // Nothing happened since: the next call returns nothing.
  result = getLogs(128 * sizeof(USB_LOG));
  EXPECT_EQ(result.information, 0u);
}

TEST_F(FilterDriverTest, ControlDeviceCompletesOtherRequestsAndRefusesUnknownCodes) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_POWER, IRP_MJ_FLUSH_BUFFERS,
                      IRP_MJ_SHUTDOWN, IRP_MJ_CLEANUP, IRP_MJ_PNP}) {
    EXPECT_EQ(vx::host::SendRequest(control_, major).status, STATUS_SUCCESS) << "major " << int(major);
  }
  // Unknown codes of every transfer type are refused without touching a
  // buffer. Regression case: the fuzzer sent code 0x0B (METHOD_NEITHER),
  // which the kernel stand-in could not yet carry.
  const struct {
    const char* what;
    ULONG code;
  } unknown[] = {
      {"buffered", 0x00222008},
      {"in direct", 0x00222009},
      {"out direct", 0x0022200A},
      {"neither", 0x0022200B},
      {"neither, device type 0", 0x0000000B},
      {"the disks' writability query", kIoctlDiskIsWritable},
  };
  unsigned char input[16] = {1, 2, 3};
  unsigned char output[16] = {};
  for (const auto& c : unknown) {
    const IoResult result = vx::host::SendDeviceControl(control_, c.code, input, sizeof input, output, sizeof output);
    EXPECT_EQ(result.status, STATUS_ACCESS_DENIED) << c.what;
    EXPECT_EQ(result.information, 0u) << c.what;
  }
  EXPECT_EQ(output[0], 0) << "nothing was written";
}

// Whoever opens the control device can replace the rule list, so it opens
// only for LocalSystem (the service) and administrators in force; the token
// the create carries decides, the impersonation token first.
struct CallerCase {
  const char* what;
  Caller process;
  std::optional<Caller> impersonated;
  NTSTATUS status;
};

const CallerCase kCallerCases[] = {
    {"LocalSystem, as the service runs", Caller::kLocalSystem, std::nullopt, STATUS_SUCCESS},
    {"elevated administrator", Caller::kAdministrator, std::nullopt, STATUS_SUCCESS},
    {"administrator without elevation", Caller::kFilteredAdministrator, std::nullopt, STATUS_ACCESS_DENIED},
    {"standard user", Caller::kStandardUser, std::nullopt, STATUS_ACCESS_DENIED},
    {"LocalSystem impersonating a user", Caller::kLocalSystem, Caller::kStandardUser, STATUS_ACCESS_DENIED},
    {"LocalSystem impersonating anonymously", Caller::kLocalSystem, Caller::kAnonymous, STATUS_ACCESS_DENIED},
    {"user impersonating LocalSystem", Caller::kStandardUser, Caller::kLocalSystem, STATUS_SUCCESS},
};

TEST_F(FilterDriverTest, ControlDeviceOpensOnlyForLocalSystemAndAdministrators) {
  for (const CallerCase& c : kCallerCases) {
    const IoResult result = vx::host::SendCreate(u"\\\\.\\VXDevFltr", c.process, c.impersonated);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.information, 0u) << c.what;
  }
  EXPECT_EQ(vx::host::TokenHandlesOutstanding(), 0u);
}

TEST_F(FilterDriverTest, RefusedCallerGetsNoHandleAndTheRulesStand) {
  ASSERT_EQ(SetRules({MakeRule(0, ACTION_BLOCK)}).status, STATUS_SUCCESS);
  vx::host::FakeDisk& disk = PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", u"A1"));
  EXPECT_EQ(vx::host::OpenDevice(u"\\\\.\\VXDevFltr", Caller::kStandardUser), nullptr)
      << "no handle, so no empty list can be pushed";
  EXPECT_EQ(vx::host::SendRead(disk.Top(), 512).status, STATUS_ACCESS_DENIED);
  // Opening the disk itself is not the control device's business: any
  // caller opens it (reads are judged by the rules).
  vx::host::CallerScope user(Caller::kStandardUser);
  EXPECT_EQ(vx::host::SendRequest(disk.Top(), IRP_MJ_CREATE).status, STATUS_SUCCESS);
}

// A token answer that cannot be read counts for nothing: the check fails
// closed, one query at a time.
TEST_F(FilterDriverTest, ControlDeviceCountsOnlyTheTokenAnswersItCouldRead) {
  struct Case {
    const char* what;
    Caller caller;
    int successes;  // pool allocations that succeed before one fails
    NTSTATUS status;
  } cases[] = {
      {"administrator whose groups cannot be read", Caller::kAdministrator, 1, STATUS_ACCESS_DENIED},
      {"LocalSystem whose user cannot be read: its Administrators group decides", Caller::kLocalSystem, 0,
       STATUS_SUCCESS},
      {"standard user whose user cannot be read", Caller::kStandardUser, 0, STATUS_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    vx::host::FailAllocationAfter(c.successes);
    EXPECT_EQ(vx::host::SendCreate(u"\\\\.\\VXDevFltr", c.caller).status, c.status) << c.what;
    vx::host::FailAllocationAfter(-1);
    EXPECT_EQ(vx::host::PoolAllocationsOutstanding(), 0u) << c.what;
  }
  EXPECT_EQ(vx::host::TokenHandlesOutstanding(), 0u);
}

struct KeyCase {
  const char* what;
  std::u16string name;
  KeyAccess access;
  const char* vendor;
  const char* serial;
};

TEST_F(FilterDriverTest, IdentityComesFromTheKeyNameOrIsTheDefault) {
  const KeyCase cases[] = {
      {"key object", UsbKeyName(u"Acme", u"X", u"1", u"S9"), KeyAccess::kNormal, "Acme", "S9"},
      {"key query fallback", UsbKeyName(u"Acme", u"X", u"1", u"S8"), KeyAccess::kNoKeyObject, "Acme", "S8"},
      {"key cannot be opened", UsbKeyName(u"Acme", u"X", u"1", u"S7"), KeyAccess::kOpenFails, "Generic", "1"},
      {"handle of -1", UsbKeyName(u"Acme", u"X", u"1", u"S6"), KeyAccess::kMinusOneHandle, "Generic", "1"},
      {"not a USB storage name", u"\\REGISTRY\\MACHINE\\SYSTEM\\Enum\\SCSI\\Disk", KeyAccess::kNormal, "Generic", "1"},
      {"name too long for the buffer", std::u16string(1100, u'x'), KeyAccess::kNormal, "Generic", "1"},
  };
  for (const KeyCase& c : cases) {
    vx::host::FakeDisk& disk = PlugUsb(c.name, c.access);
    EXPECT_TRUE(disk.Filtered()) << c.what;
    const std::vector<USB_LOG> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1u) << c.what;
    EXPECT_STREQ(logs[0].vendor, c.vendor) << c.what;
    EXPECT_STREQ(logs[0].serial, c.serial) << c.what;
    EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS);
  }
  // A rule can target the default identity.
  ASSERT_EQ(SetRules({MakeRule(RULE_CHECK_VENDOR | RULE_EXACT_VENDOR, ACTION_BLOCK, "generic")}).status,
            STATUS_SUCCESS);
  vx::host::FakeDisk& disk = PlugUsb(u"\\Enum\\SCSI\\Disk");
  EXPECT_EQ(vx::host::SendRead(disk.Top(), 512).status, STATUS_ACCESS_DENIED);
}

TEST_F(FilterDriverTest, ArrivalWithoutMemory) {
  struct Case {
    int successes;
    NTSTATUS plugged;
    bool filtered;
    const char* vendor;
  } cases[] = {
      {0, STATUS_SUCCESS, false, nullptr},                 // no query buffer: counts as not USB
      {1, STATUS_INSUFFICIENT_RESOURCES, false, nullptr},  // no filter device: AddDevice fails
      {2, STATUS_SUCCESS, true, "Generic"},                // no key name buffer: default identity
  };
  for (const Case& c : cases) {
    vx::host::FakeDisk& disk = AddDisk(vx::host::kBusTypeUsbDisk, UsbKeyName(u"Acme", u"B", u"C", u"D"));
    vx::host::FailAllocationAfter(c.successes);
    EXPECT_EQ(driver_->Plug(disk), c.plugged) << c.successes;
    EXPECT_EQ(disk.Filtered(), c.filtered) << c.successes;
    const std::vector<USB_LOG> logs = TakeLogs();
    ASSERT_EQ(logs.size(), c.filtered ? 1u : 0u) << c.successes;
    if (c.filtered) {
      EXPECT_STREQ(logs[0].vendor, c.vendor);
      EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS);
    }
    vx::host::FailAllocationAfter(-1);
    EXPECT_EQ(vx::host::PoolAllocationsOutstanding(), 0u) << c.successes;
  }
}

TEST_F(FilterDriverTest, FailedAttachDeletesTheFilterDeviceAndLogsNothing) {
  vx::host::FakeDisk& disk = AddDisk(vx::host::kBusTypeUsbDisk, UsbKeyName(u"Acme", u"B", u"C", u"D"));
  disk.RefuseAttach(true);
  EXPECT_EQ(driver_->Plug(disk), STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(disk.Filtered());
  EXPECT_EQ(driver_->Object()->DeviceObject, control_) << "only the control device is left";
  EXPECT_EQ(control_->NextDevice, nullptr);
  EXPECT_TRUE(TakeLogs().empty());
  EXPECT_EQ(vx::host::PoolAllocationsOutstanding(), 0u);
}

TEST_F(FilterDriverTest, UnplugAndReplugMakeTwoEntriesAndFreeEverything) {
  vx::host::FakeDisk& disk = AddDisk(vx::host::kBusTypeUsbDisk, UsbKeyName(u"Acme", u"Flash", u"1", u"A1"));
  ASSERT_EQ(driver_->Plug(disk), STATUS_SUCCESS);
  EXPECT_EQ(vx::host::PoolAllocationsOutstanding(vx::driver::kKeyNameTag), 1u);
  EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS);
  EXPECT_FALSE(disk.Filtered());
  EXPECT_EQ(vx::host::PoolAllocationsOutstanding(), 0u);
  ASSERT_EQ(driver_->Plug(disk), STATUS_SUCCESS);
  EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS);
  const std::vector<USB_LOG> logs = TakeLogs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(std::memcmp(&logs[0], &logs[1], 256), 0);
}

TEST_F(FilterDriverTest, LowerDriverThatPendsEverything) {
  vx::host::FakeDisk& disk = AddDisk(vx::host::kBusTypeUsbDisk, UsbKeyName(u"Acme", u"Flash", u"1", u"A1"));
  disk.SetPendRequests(true);
  ASSERT_EQ(driver_->Plug(disk), STATUS_SUCCESS);  // pended query and start: the waits
  ASSERT_TRUE(disk.Filtered());
  const IoResult read = vx::host::SendRead(disk.Top(), 512);
  EXPECT_EQ(read.returned, STATUS_PENDING);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.information, 512u);
  EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS);
  EXPECT_EQ(TakeLogs().size(), 1u);
}

// While removal waits for the requests inside the driver, a new request of
// any kind is refused with STATUS_DELETE_PENDING and never reaches the disk.
TEST_F(FilterDriverTest, RequestsArrivingWhileRemovalWaitsAreRefused) {
  vx::host::FakeDisk& disk = PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", u"A1"));
  PDEVICE_OBJECT top = disk.Top();
  disk.HoldReadsAndWrites();
  std::thread reader([&] { EXPECT_EQ(vx::host::SendRead(top, 512).status, STATUS_SUCCESS); });
  disk.WaitUntilHeld(1);
  std::thread remover([&] { EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS); });
  vx::host::WaitForEventWaiters(1);  // removal is waiting for the read
  disk.ClearSeen();

  struct Case {
    const char* what;
    std::function<IoResult()> send;
  } cases[] = {
      {"read", [&] { return vx::host::SendRead(top, 512); }},
      {"write", [&] { return vx::host::SendWrite(top, 512); }},
      {"writability query",
       [&] { return vx::host::SendDeviceControl(top, kIoctlDiskIsWritable, nullptr, 0, nullptr, 0); }},
      {"other device control",
       [&] { return vx::host::SendDeviceControl(top, kIoctlDiskGetGeometry, nullptr, 0, nullptr, 0); }},
      {"flush", [&] { return vx::host::SendRequest(top, IRP_MJ_FLUSH_BUFFERS); }},
      {"power", [&] { return vx::host::SendRequest(top, IRP_MJ_POWER, IRP_MN_SET_POWER); }},
      {"Plug and Play", [&] { return vx::host::SendRequest(top, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES); }},
  };
  for (const Case& c : cases) {
    const IoResult result = c.send();
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING) << c.what;
    EXPECT_EQ(result.information, 0u) << c.what;
  }
  EXPECT_TRUE(disk.Seen().empty()) << "a refused request reached the disk";

  disk.ReleaseReadsAndWrites();
  reader.join();
  remover.join();
  EXPECT_FALSE(disk.Filtered());
}

TEST_F(FilterDriverTest, RemovalWaitsForRequestsStillInsideTheDriver) {
  vx::host::FakeDisk& disk = PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", u"A1"));
  PDEVICE_OBJECT top = disk.Top();
  disk.HoldReadsAndWrites();
  constexpr int kReaders = 4;
  std::atomic<int> succeeded{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      const IoResult result = i % 2 ? vx::host::SendRead(top, 512) : vx::host::SendWrite(top, 512);
      succeeded += result.status == STATUS_SUCCESS;
    });
  }
  disk.WaitUntilHeld(kReaders);
  std::atomic<bool> removed{false};
  std::thread remover([&] {
    EXPECT_EQ(driver_->Unplug(disk).status, STATUS_SUCCESS);
    removed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed) << "removal must wait for the requests inside the driver";
  disk.ReleaseReadsAndWrites();
  for (std::thread& reader : readers) reader.join();
  remover.join();
  EXPECT_TRUE(removed);
  EXPECT_EQ(succeeded, kReaders);
}

}  // namespace
