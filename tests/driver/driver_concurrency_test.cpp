// Appends from many disks, log drains and rule-list swaps from two setters,
// all at once: every entry is handed out exactly once, each disk's entries
// follow its verdicts, and entries lost to a full log are counted. And two
// rule lists that each allow a disk, but would block it if an evaluation
// mixed their halves, never refuse a read while they are swapped. And a
// request after an accepted replacement is judged against it. These are the
// invariants of the lock-free rule-list path (driver/driver_state.cpp).
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "driver/filter_driver.h"
#include "tests/driver/driver_fixture.h"
#include "tests/driver/rule_builder.h"

namespace {

using vx::test::MakeRule;
using vx::test::UsbKeyName;

class DriverConcurrencyTest : public vx::test::DriverFixture {
 protected:
  void TearDown() override {
    vx::host::SetClockStep(0);
    DriverFixture::TearDown();
  }
};

TEST_F(DriverConcurrencyTest, AppendsDrainsAndRuleSwapsAtOnce) {
  vx::host::SetClockStep(1);  // every entry gets a time stamp of its own
  constexpr int kDisks = 4;
  std::vector<vx::host::FakeDisk*> disks;
  for (int i = 0; i < kDisks; ++i) {
    disks.push_back(&PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", std::u16string(u"D") + char16_t(u'0' + i))));
  }
  vx::host::FakeDisk& hotPlugged = AddDisk(vx::host::kBusTypeUsbDisk, UsbKeyName(u"Hot", u"Plug", u"1", u"H"));
  const std::vector<USB_RULE> blockAcme = {MakeRule(RULE_CHECK_VENDOR, ACTION_BLOCK, "acme")};
  const std::vector<USB_RULE> readOnlyAll = {MakeRule(0, ACTION_READ_ONLY)};

  std::atomic<bool> stop{false};
  std::vector<USB_LOG> collected;
  std::thread drainer([&] {
    while (!stop) {
      for (const USB_LOG& entry : TakeLogs()) collected.push_back(entry);
    }
  });
  std::vector<std::thread> workers;
  for (vx::host::FakeDisk* disk : disks) {
    workers.emplace_back([disk] {
      for (int i = 0; i < 20000; ++i) {
        const NTSTATUS status =
            (i % 3 ? vx::host::SendRead(disk->Top(), 512) : vx::host::SendWrite(disk->Top(), 512)).status;
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_ACCESS_DENIED) << std::hex << status;
      }
    });
  }
  for (int setter = 0; setter < 2; ++setter) {
    workers.emplace_back([&] {
      for (int i = 0; i < 1500; ++i) {
        const std::vector<USB_RULE>& rules = i % 3 == 0   ? blockAcme
                                             : i % 3 == 1 ? readOnlyAll
                                                          : std::vector<USB_RULE>{};
        ASSERT_EQ(SetRules(rules).status, STATUS_SUCCESS);
      }
    });
  }
  workers.emplace_back([&] {
    for (int i = 0; i < 300; ++i) {
      ASSERT_EQ(driver_->Plug(hotPlugged), STATUS_SUCCESS);
      ASSERT_EQ(driver_->Unplug(hotPlugged).status, STATUS_SUCCESS);
      std::this_thread::yield();
    }
  });
  for (std::thread& worker : workers) worker.join();
  stop = true;
  drainer.join();
  // The final list blocks every Acme disk; one more read each settles them.
  ASSERT_EQ(SetRules(blockAcme).status, STATUS_SUCCESS);
  for (vx::host::FakeDisk* disk : disks) EXPECT_EQ(vx::host::SendRead(disk->Top(), 512).status, STATUS_ACCESS_DENIED);
  for (const USB_LOG& entry : TakeLogs()) collected.push_back(entry);

  const uint32_t dropped = vx::driver::DroppedLogEntries();
  RecordProperty("collected", static_cast<int>(collected.size()));
  RecordProperty("dropped", static_cast<int>(dropped));
  // Handed out once: every stamp appears once.
  std::set<std::pair<uint32_t, uint32_t>> stamps;
  for (const USB_LOG& entry : collected) {
    EXPECT_TRUE(stamps.insert({entry.date, entry.time}).second) << "entry handed out twice";
  }
  // Each disk's entries record changes: two entries in a row with the same
  // action are possible only where entries were dropped between them.
  std::map<std::string, std::vector<int>> actions;
  int hotArrivals = 0;
  for (const USB_LOG& entry : collected) {
    if (std::string(entry.vendor) == "Hot") {
      ++hotArrivals;
    } else {
      actions[entry.serial].push_back(entry.action);
    }
  }
  uint32_t repeats = 0;
  for (const auto& [serial, sequence] : actions) {
    for (size_t i = 1; i < sequence.size(); ++i) repeats += sequence[i] == sequence[i - 1];
    if (dropped == 0) {
      EXPECT_EQ(sequence.back(), ACTION_BLOCK) << serial;
    }
  }
  EXPECT_LE(repeats, dropped);
  EXPECT_EQ(actions.size(), static_cast<size_t>(kDisks));
  EXPECT_GE(static_cast<uint32_t>(hotArrivals) + dropped, 300u);
  if (dropped == 0) {
    EXPECT_EQ(hotArrivals, 300);
  }
}

// List A allows the disk with its first rule; its second half blocks
// everything. List B matches nothing in its first half and allows everything
// in its second. Whole, each allows the disk; B's first half with A's second
// blocks it, so a read that saw a mix of the two would be refused.
std::vector<USB_RULE> HalfList(bool first) {
  constexpr int kHalf = USB_MAX_RULES / 2;
  std::vector<USB_RULE> rules;
  for (int i = 0; i < kHalf; ++i) {
    const bool allowsAcme = first && i == 0;
    rules.push_back(MakeRule(RULE_CHECK_VENDOR, allowsAcme ? ACTION_ALLOW : ACTION_BLOCK,
                             allowsAcme ? "acme" : "nomatch" + std::to_string(i)));
  }
  for (int i = 0; i < kHalf; ++i) rules.push_back(MakeRule(0, first ? ACTION_BLOCK : ACTION_ALLOW));
  return rules;
}

TEST_F(DriverConcurrencyTest, SwappedListsWhoseMixedHalvesWouldRefuseNeverRefuseARead) {
  const std::vector<USB_RULE> listA = HalfList(true);
  const std::vector<USB_RULE> listB = HalfList(false);
  ASSERT_EQ(SetRules(listA).status, STATUS_SUCCESS);
  constexpr int kDisks = 3;
  std::vector<vx::host::FakeDisk*> disks;
  for (int i = 0; i < kDisks; ++i) {
    disks.push_back(&PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", std::u16string(u"M") + char16_t(u'0' + i))));
  }
  ASSERT_EQ(TakeLogs().size(), static_cast<size_t>(kDisks));  // the arrivals, all allowed

  std::atomic<bool> stop{false};
  std::atomic<int> refused{0};
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  for (vx::host::FakeDisk* disk : disks) {
    readers.emplace_back([&, disk] {
      while (!stop) {
        const NTSTATUS status =
            (reads % 2 ? vx::host::SendRead(disk->Top(), 512) : vx::host::SendWrite(disk->Top(), 512)).status;
        refused += status != STATUS_SUCCESS;
        ++reads;
      }
    });
  }
  std::vector<std::thread> setters;
  for (int setter = 0; setter < 2; ++setter) {
    setters.emplace_back([&, setter] {
      for (int i = 0; i < 1500; ++i) {
        ASSERT_EQ(SetRules((i + setter) % 2 ? listA : listB).status, STATUS_SUCCESS);
      }
    });
  }
  for (std::thread& setter : setters) setter.join();
  stop = true;
  for (std::thread& reader : readers) reader.join();
  RecordProperty("reads", reads.load());
  EXPECT_GT(reads, 0);
  EXPECT_EQ(refused, 0) << "a read was judged against a mix of two lists";
  EXPECT_TRUE(TakeLogs().empty()) << "no verdict changed, so no entry";
}

// Readers keep judging the disks while one setter alternates a list that
// blocks them with one that allows them. Whatever the readers' refreshes do
// meanwhile, the first request after each accepted replacement is judged
// against that replacement: the published generation is in place before the
// service is told the list was taken, and a disk's action is never older
// than the generation it carries.
TEST_F(DriverConcurrencyTest, TheFirstRequestAfterAnAcceptedReplacementIsJudgedAgainstIt) {
  constexpr int kDisks = 3;
  std::vector<vx::host::FakeDisk*> disks;
  for (int i = 0; i < kDisks; ++i) {
    disks.push_back(&PlugUsb(UsbKeyName(u"Acme", u"Flash", u"1", std::u16string(u"R") + char16_t(u'0' + i))));
  }
  const std::vector<USB_RULE> blockAcme = {MakeRule(RULE_CHECK_VENDOR, ACTION_BLOCK, "acme")};
  const std::vector<USB_RULE> allowAll = {};

  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (vx::host::FakeDisk* disk : disks) {
    readers.emplace_back([&, disk] {
      while (!stop) (void)vx::host::SendRead(disk->Top(), 512);  // only the refreshes matter here
    });
  }
  int stale = 0;
  for (int i = 0; i < 2000; ++i) {
    const bool blocking = i % 2 == 0;
    ASSERT_EQ(SetRules(blocking ? blockAcme : allowAll).status, STATUS_SUCCESS);
    for (vx::host::FakeDisk* disk : disks) {
      const NTSTATUS status = vx::host::SendRead(disk->Top(), 512).status;
      stale += status != (blocking ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
    }
    if (i % 32 == 0) (void)TakeLogs();  // keep the log from filling; its entries are checked above
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(stale, 0) << "a request after an accepted list was judged against an older one";
}

}  // namespace
