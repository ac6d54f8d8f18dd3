#include "service/service_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vx {
namespace {

// Records every platform call in order; can fail any one of them.
class FakeServicePlatform final : public ServicePlatform {
 public:
  std::vector<std::string> calls;
  std::vector<ServiceStatusReport> reports;
  std::function<void()> startedRoutine;
  bool failRegister = false, failEvent = false, failThread = false;
  int failReportNumber = 0;  // 1-based report that fails
  std::function<void()> onWait;
  std::function<void()> onThread;
  // The started thread ends during this wait for it (1-based); 0: never.
  uint32_t threadEndsAtWait = 1;
  uint32_t threadWaits = 0;

  bool RegisterControlHandler() override {
    calls.push_back("register");
    return !failRegister;
  }
  bool ReportStatus(const ServiceStatusReport& r) override {
    reports.push_back(r);
    calls.push_back("report " + std::to_string(r.state));
    return static_cast<int>(reports.size()) != failReportNumber;
  }
  bool CreateStopEvent() override {
    calls.push_back("create event");
    return !failEvent;
  }
  void WaitStopEvent() override {
    calls.push_back("wait");
    if (onWait) onWait();
  }
  void SignalStopEvent() override { calls.push_back("signal"); }
  void CloseStopEvent() override { calls.push_back("close event"); }
  bool StartThread(std::function<void()> routine) override {
    calls.push_back("thread");
    if (onThread) onThread();
    if (failThread) return false;
    startedRoutine = std::move(routine);
    return true;
  }
  bool WaitThreadEnd(uint32_t timeoutMs) override {
    calls.push_back("wait thread " + std::to_string(timeoutMs));
    ++threadWaits;
    return threadEndsAtWait != 0 && threadWaits >= threadEndsAtWait;
  }
  void SleepMilliseconds(uint32_t ms) override { calls.push_back("sleep " + std::to_string(ms)); }
};

class ServiceControlTest : public testing::Test {
 protected:
  FakeServicePlatform platform;
  std::atomic<bool> serviceRunning{false};
  int monitorRuns = 0;
  ServiceControl control{platform, serviceRunning, [this] { ++monitorRuns; },
                         [this] { platform.calls.push_back("stop serving"); }};
};

TEST_F(ServiceControlTest, StartRunAndStopReportEveryStatusAsWritten) {
  platform.onWait = [&] {
    EXPECT_TRUE(serviceRunning.load());
    EXPECT_EQ(control.ServiceState(), kStateRunning);
    control.ServiceCtrlHandler(4);  // interrogate
    control.ServiceCtrlHandler(kControlStop);
    EXPECT_FALSE(serviceRunning.load());
  };
  control.ServiceMain();
  EXPECT_EQ(platform.reports, (std::vector<ServiceStatusReport>{
                                  {2, 0, 1, 200},
                                  {2, 0, 2, 200},
                                  {4, 5, 0, 0},
                                  {4, 5, 0, 0},     // interrogate
                                  {3, 0, 1, 1000},  // stop pending
                                  {1, 5, 0, 0},
                              }));
  // After the stop event, the monitor's last pass and the control interface
  // end before the stopped report.
  EXPECT_EQ(platform.calls,
            (std::vector<std::string>{"register", "report 2", "create event", "report 2", "thread", "report 4", "wait",
                                      "report 4", "report 3", "sleep 1000", "signal", "wait thread 1000",
                                      "stop serving", "report 1", "close event", "sleep 200"}));
  ASSERT_TRUE(platform.startedRoutine);
  platform.startedRoutine();
  EXPECT_EQ(monitorRuns, 1);
  EXPECT_EQ(control.ServiceState(), kStateStopped);
}

TEST_F(ServiceControlTest, ShutdownIsHandledLikeStop) {
  control.ServiceMain();  // the fake wait returns at once
  platform.reports.clear();
  platform.calls.clear();
  serviceRunning = true;
  control.ServiceCtrlHandler(kControlShutdown);
  EXPECT_EQ(platform.reports, (std::vector<ServiceStatusReport>{{3, 0, 1, 1000}}));
  EXPECT_EQ(platform.calls, (std::vector<std::string>{"report 3", "sleep 1000", "signal"}));
  EXPECT_FALSE(serviceRunning.load());
}

TEST_F(ServiceControlTest, InterrogationRepeatsTheStateWithItsControls) {
  // Drive the state through a real start, a pending stop and a stop.
  platform.onWait = [&] {
    platform.reports.clear();
    control.ServiceCtrlHandler(4);
    EXPECT_EQ(platform.reports.back(), (ServiceStatusReport{4, 5, 0, 0}));
  };
  control.ServiceMain();
  platform.reports.clear();
  control.ServiceCtrlHandler(4);
  EXPECT_EQ(platform.reports.back(), (ServiceStatusReport{1, 5, 0, 0}));
  control.ServiceCtrlHandler(kControlStop);  // stop pending until ServiceMain reports again
  control.ServiceCtrlHandler(0x80);          // a user control
  EXPECT_EQ(platform.reports.back(), (ServiceStatusReport{3, 0, 0, 0}));
}

TEST_F(ServiceControlTest, InterrogationWhileStartPendingAcceptsNoControls) {
  platform.onThread = [&] { control.ServiceCtrlHandler(4); };
  control.ServiceMain();
  EXPECT_EQ(platform.reports[2], (ServiceStatusReport{2, 0, 0, 0}));
  EXPECT_EQ(platform.reports[3], (ServiceStatusReport{4, 5, 0, 0}));
}

// A monitor pass that outlasts the handler's second: the service stays stop
// pending, telling the manager each second with a new check point, until
// the monitor thread has ended; a monitor that never ends is given
// kMonitorEndWaits seconds. Only then is the control interface stopped and
// the stop reported.
TEST_F(ServiceControlTest, ASlowLastPassKeepsTheStopPendingUntilTheMonitorEnds) {
  const struct {
    const char* what;
    uint32_t threadEndsAtWait;
    uint32_t pendingReports;
  } cases[] = {
      {"ends during the third second", 3, 2},
      {"never ends", 0, kMonitorEndWaits},
  };
  for (const auto& c : cases) {
    FakeServicePlatform p;
    p.threadEndsAtWait = c.threadEndsAtWait;
    std::atomic<bool> running{false};
    ServiceControl service(
        p, running, [] {}, [&p] { p.calls.push_back("stop serving"); });
    p.onWait = [&] { service.ServiceCtrlHandler(kControlStop); };
    service.ServiceMain();
    SCOPED_TRACE(c.what);
    std::vector<ServiceStatusReport> expected = {{2, 0, 1, 200}, {2, 0, 2, 200}, {4, 5, 0, 0}, {3, 0, 1, 1000}};
    for (uint32_t i = 0; i < c.pendingReports; ++i) expected.push_back({3, 0, 2 + i, 1000});
    expected.push_back({1, 5, 0, 0});
    EXPECT_EQ(p.reports, expected);
    const auto stopServing = std::find(p.calls.begin(), p.calls.end(), "stop serving");
    ASSERT_NE(stopServing, p.calls.end());
    EXPECT_EQ(*(stopServing + 1), "report 1");  // the stopped report comes after
    EXPECT_EQ(std::count(p.calls.begin(), p.calls.end(), "wait thread 1000"),
              c.threadEndsAtWait ? c.threadEndsAtWait : kMonitorEndWaits);
    EXPECT_EQ(service.ServiceState(), kStateStopped);
  }
}

struct FailureCase {
  const char* what;
  std::function<void(FakeServicePlatform&)> arrange;
  std::vector<std::string> calls;
  bool monitorStarted;
};

TEST(ServiceControlFailures, EachStartFailureStopsAtOnceWithoutFurtherReports) {
  const std::vector<FailureCase> cases = {
      {"handler registration", [](FakeServicePlatform& p) { p.failRegister = true; }, {"register"}, false},
      {"first start-pending report",
       [](FakeServicePlatform& p) { p.failReportNumber = 1; },
       {"register", "report 2"},
       false},
      {"stop event",
       [](FakeServicePlatform& p) { p.failEvent = true; },
       {"register", "report 2", "create event"},
       false},
      {"second start-pending report",
       [](FakeServicePlatform& p) { p.failReportNumber = 2; },
       {"register", "report 2", "create event", "report 2"},
       false},
      {"monitor thread",
       [](FakeServicePlatform& p) { p.failThread = true; },
       {"register", "report 2", "create event", "report 2", "thread"},
       false},
      {"running report",
       [](FakeServicePlatform& p) { p.failReportNumber = 3; },
       {"register", "report 2", "create event", "report 2", "thread", "report 4"},
       true},
  };
  for (const auto& c : cases) {
    FakeServicePlatform platform;
    c.arrange(platform);
    std::atomic<bool> running{false};
    ServiceControl control(platform, running, [] {});
    control.ServiceMain();
    SCOPED_TRACE(c.what);
    EXPECT_EQ(platform.calls, c.calls);
    EXPECT_EQ(control.ServiceState(), kStateStopped);
    EXPECT_EQ(running.load(), c.monitorStarted);  // a started monitor keeps running
  }
}

}  // namespace
}  // namespace vx
