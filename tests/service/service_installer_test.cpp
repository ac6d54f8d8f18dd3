#include "service/service_installer.h"

#include <gtest/gtest.h>

#include "service/filter_list.h"
#include "tests/support/fake_registry.h"

namespace vx {
namespace {

struct FakeService {
  ServiceRegistration registration;
  std::optional<ServiceFailureActions> failureActions;
  std::u16string description;
  uint32_t state = 1;
  bool failQuery = false, failStop = false;
  int stops = 0;
  bool deleted = false;
};

// A service control manager that keeps its services in memory and records
// what it is asked.
class FakeInstallPlatform final : public InstallPlatform {
 public:
  std::map<std::u16string, FakeService> services;
  bool failOpen = false;
  std::optional<std::u16string> path = u"C:\\Program Files\\Vestara\\VestaraDeviceControl.exe";
  std::vector<uint32_t> sleeps;
  std::vector<std::string> calls;  // in order

  std::unique_ptr<ServiceManager> OpenServiceManager() override {
    calls.push_back("open manager");
    if (failOpen) return nullptr;
    return std::make_unique<Manager>(*this);
  }
  std::optional<std::u16string> ExecutablePath() override { return path; }
  void SleepMilliseconds(uint32_t ms) override {
    calls.push_back("sleep");
    sleeps.push_back(ms);
  }

 private:
  class Handle final : public ServiceHandle {
   public:
    Handle(FakeInstallPlatform& p, FakeService& s) : p_(p), s_(s) {}
    bool SetFailureActions(const ServiceFailureActions& a) override {
      s_.failureActions = a;
      return true;
    }
    bool SetDescription(const std::u16string& d) override {
      s_.description = d;
      return true;
    }
    std::optional<uint32_t> QueryState() override {
      if (s_.failQuery) return std::nullopt;
      return s_.state;
    }
    bool SendStop() override {
      p_.calls.push_back("stop");
      ++s_.stops;
      return !s_.failStop;
    }
    bool Delete() override {
      p_.calls.push_back("delete");
      s_.deleted = true;
      return true;
    }

   private:
    FakeInstallPlatform& p_;
    FakeService& s_;
  };
  class Manager final : public ServiceManager {
   public:
    explicit Manager(FakeInstallPlatform& p) : p_(p) {}
    std::unique_ptr<ServiceHandle> Create(const ServiceRegistration& r) override {
      if (p_.services.count(r.name)) return nullptr;  // already exists
      auto& s = p_.services[r.name];
      s.registration = r;
      return std::make_unique<Handle>(p_, s);
    }
    std::unique_ptr<ServiceHandle> Open(const std::u16string& name) override {
      auto it = p_.services.find(name);
      if (it == p_.services.end() || it->second.deleted) return nullptr;
      return std::make_unique<Handle>(p_, it->second);
    }

   private:
    FakeInstallPlatform& p_;
  };
};

// The UTF-16LE bytes of a text in upper-case hexadecimal.
std::string Utf16Hex(const std::u16string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (char16_t unit : text)
    for (int b : {unit & 0xFF, unit >> 8}) {
      hex.push_back(digits[b >> 4]);
      hex.push_back(digits[b & 15]);
    }
  return hex;
}

class ServiceInstallerTest : public testing::Test {
 protected:
  const std::wstring classKey{std::begin(kDiskClassKey), std::end(kDiskClassKey) - 1};

  void SetFilters(std::vector<std::u16string> entries) {
    registry.WriteValue(classKey, L"UpperFilters", RegistryValue{kRegistryMultiString, FormatMultiString(entries)});
  }
  std::optional<std::vector<std::u16string>> Filters() const {
    auto value = registry.ReadValue(classKey, L"UpperFilters", 1 << 20);
    if (!value) return std::nullopt;
    EXPECT_EQ(value->type, kRegistryMultiString);
    return ParseMultiString(value->data);
  }
  FakeService& Service() { return platform.services.at(kServiceName); }

  test::FakeRegistry registry;
  FakeInstallPlatform platform;
};

TEST_F(ServiceInstallerTest, InstallListsTheFilterAndRegistersTheService) {
  SetFilters({u"PartMgr"});
  EXPECT_EQ(InstallService(registry, platform), 0);
  EXPECT_EQ(Filters(), (std::vector<std::u16string>{u"PartMgr", u"VXDevFltr"}));
  const auto& r = Service().registration;
  EXPECT_EQ(r.name, u"VestaraDeviceControlWinService");
  EXPECT_EQ(Utf16Hex(r.displayName), "A90646062A06310644062000270628063206270631062000480633062A06270631062706");
  EXPECT_EQ(r.type, 0x110u);
  EXPECT_EQ(r.startType, 2u);
  EXPECT_EQ(r.errorControl, 1u);
  // The path holds a space: quoted, so the manager runs this program and
  // not "C:\Program".
  EXPECT_EQ(r.executablePath, u"\"C:\\Program Files\\Vestara\\VestaraDeviceControl.exe\"");
  EXPECT_EQ(r.loadOrderGroup, u"COM Infrastructure");
  EXPECT_EQ(r.dependencies, std::u16string(u"RpcSs\0\0", 7));
  ASSERT_TRUE(Service().failureActions);
  EXPECT_EQ(Service().failureActions->resetPeriodSeconds, 180u);
  EXPECT_EQ(Service().failureActions->actions, (std::vector<ServiceRestartAction>{{1, 200}, {1, 1000}, {1, 1000}}));
  EXPECT_EQ(Utf16Hex(Service().description),
            "2706CC0646062000330631064806CC063306200045062F06CC063106CC062A0620002706280632062706310647062706CC0620"
            "0045062A0635064406200034062F06470620002806470620003306CC0633062A0645062000310627062000280631062000390647"
            "062F06470620002F06270631062F06");
  // Written back as the list exactly: "PartMgr\0VXDevFltr\0\0".
  EXPECT_EQ(registry.ReadValue(classKey, L"UpperFilters", 1 << 20)->data.size(), 38u);
}

TEST(ServiceImagePath, QuotedWhenThePathHoldsABlankUnchangedOtherwise) {
  const struct {
    std::u16string path;
    std::u16string image;
  } cases[] = {
      {u"C:\\Vestara\\VestaraDeviceControl.exe", u"C:\\Vestara\\VestaraDeviceControl.exe"},
      {u"C:\\Program Files\\Vestara\\VestaraDeviceControl.exe",
       u"\"C:\\Program Files\\Vestara\\VestaraDeviceControl.exe\""},
      {u"C:\\A B\\C D\\VestaraDeviceControl.exe", u"\"C:\\A B\\C D\\VestaraDeviceControl.exe\""},
      {u"C:\\Tab\there\\VestaraDeviceControl.exe", u"\"C:\\Tab\there\\VestaraDeviceControl.exe\""},
      {u"\\\\?\\C:\\Vestara\\VestaraDeviceControl.exe", u"\\\\?\\C:\\Vestara\\VestaraDeviceControl.exe"},
      {u"C:\\\u0648\u0633\u062A\u0627\u0631\u0627\\VestaraDeviceControl.exe",
       u"C:\\\u0648\u0633\u062A\u0627\u0631\u0627\\VestaraDeviceControl.exe"},
  };
  for (const auto& c : cases) EXPECT_EQ(ServiceImagePath(c.path), c.image);
}

TEST_F(ServiceInstallerTest, APathWithoutABlankIsRegisteredAsItIs) {
  platform.path = u"C:\\Vestara\\VestaraDeviceControl.exe";
  ASSERT_EQ(InstallService(registry, platform), 0);
  EXPECT_EQ(Service().registration.executablePath, u"C:\\Vestara\\VestaraDeviceControl.exe");
}

TEST_F(ServiceInstallerTest, ASecondInstallFailsAndLeavesOneEntry) {
  SetFilters({u"PartMgr"});
  ASSERT_EQ(InstallService(registry, platform), 0);
  EXPECT_EQ(InstallService(registry, platform), -1);
  EXPECT_EQ(Filters(), (std::vector<std::u16string>{u"PartMgr", u"VXDevFltr"}));
}

// Service names ignore letter case, so an entry in any case already loads
// the filter: install adds none, and removal takes every spelling out
// (regression: a second entry stacked the filter twice on every disk).
TEST_F(ServiceInstallerTest, AnEntryInAnyLetterCaseIsTheFilter) {
  SetFilters({u"PartMgr", u"vxdevfltr"});
  ASSERT_EQ(InstallService(registry, platform), 0);
  EXPECT_EQ(Filters(), (std::vector<std::u16string>{u"PartMgr", u"vxdevfltr"}));
  SetFilters({u"VXDEVFLTR", u"PartMgr", u"VxDevFltr", u"VXDevFltr"});
  ASSERT_EQ(RemoveService(registry, platform), 0);
  EXPECT_EQ(Filters(), (std::vector<std::u16string>{u"PartMgr"}));
}

TEST_F(ServiceInstallerTest, AClassWithoutAFilterListStaysWithoutOne) {
  EXPECT_EQ(InstallService(registry, platform), 0);
  EXPECT_EQ(Filters(), std::nullopt);
  EXPECT_EQ(RemoveService(registry, platform), 0);
  EXPECT_EQ(Filters(), std::nullopt);
}

TEST_F(ServiceInstallerTest, TheRegistryEditComesFirstAndStays) {
  SetFilters({});
  platform.failOpen = true;
  EXPECT_EQ(InstallService(registry, platform), -1);
  EXPECT_EQ(Filters(), (std::vector<std::u16string>{u"VXDevFltr"}));
  platform.failOpen = false;
  platform.path.reset();
  EXPECT_EQ(InstallService(registry, platform), -1);
  EXPECT_TRUE(platform.services.empty());
}

TEST_F(ServiceInstallerTest, RemovalStopsARunningServiceWaitsASecondAndDeletesIt) {
  SetFilters({u"VXDevFltr", u"PartMgr", u"VXDevFltr"});
  ASSERT_EQ(InstallService(registry, platform), 0);
  Service().state = 4;
  platform.calls.clear();
  EXPECT_EQ(RemoveService(registry, platform), 0);
  EXPECT_EQ(Filters(), (std::vector<std::u16string>{u"PartMgr"}));
  EXPECT_EQ(platform.calls, (std::vector<std::string>{"open manager", "stop", "sleep", "delete"}));
  EXPECT_EQ(platform.sleeps, (std::vector<uint32_t>{1000}));
  EXPECT_TRUE(Service().deleted);
}

TEST_F(ServiceInstallerTest, RemovalOfAStoppedServiceSendsNoStop) {
  ASSERT_EQ(InstallService(registry, platform), 0);
  platform.calls.clear();
  EXPECT_EQ(RemoveService(registry, platform), 0);
  EXPECT_EQ(platform.calls, (std::vector<std::string>{"open manager", "delete"}));
}

TEST_F(ServiceInstallerTest, RemovalFailuresReturnMinusOneAfterTheFilterEntryIsGone) {
  SetFilters({u"PartMgr", u"VXDevFltr"});
  EXPECT_EQ(RemoveService(registry, platform), -1);  // no service
  EXPECT_EQ(Filters(), (std::vector<std::u16string>{u"PartMgr"}));

  ASSERT_EQ(InstallService(registry, platform), 0);
  Service().failQuery = true;
  EXPECT_EQ(RemoveService(registry, platform), -1);
  Service().failQuery = false;
  Service().state = 4;
  Service().failStop = true;
  EXPECT_EQ(RemoveService(registry, platform), -1);
  EXPECT_FALSE(Service().deleted);
  platform.failOpen = true;
  EXPECT_EQ(RemoveService(registry, platform), -1);
}

}  // namespace
}  // namespace vx
