// A stop that arrives while the real monitor is in the middle of a pass: the
// service waits for the monitor thread through the platform seam, reporting
// stop pending while it waits, and only once the thread has ended (its last
// pass stored, its loop left) does it stop serving and report itself
// stopped.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor_loop.h"
#include "service/service_control.h"
#include "tests/monitor/monitor_test_support.h"

namespace vx {
namespace {

// One-way gate between the test's threads.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void WaitOpen() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// A channel whose filter driver holds the monitor's first filter step until
// the test lets it go, so that the stop arrives mid-pass.
class HeldChannel final : public DeviceChannel {
 public:
  explicit HeldChannel(test::FakeDeviceChannel& inner) : inner_(inner) {}
  std::unique_ptr<DeviceHandle> Open(std::wstring_view path) override {
    if (path == VX_FILTER_USER_PATH && !held_) {
      held_ = true;
      inPass.Open();
      released.WaitOpen();
    }
    return inner_.Open(path);
  }
  Gate inPass;
  Gate released;

 private:
  test::FakeDeviceChannel& inner_;
  bool held_ = false;  // the monitor thread's own
};

// The service platform with a real thread behind StartThread and
// WaitThreadEnd. Its first wait for the thread lets the held pass go on and
// answers "not yet", as a wait whose second ran out would; later waits return
// once the thread has ended.
class ThreadServicePlatform final : public ServicePlatform {
 public:
  ~ThreadServicePlatform() override {
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> calls;
  std::vector<ServiceStatusReport> reports;
  std::function<void()> onWaitStopEvent;
  std::function<void()> onFirstThreadWait;

  bool RegisterControlHandler() override { return true; }
  bool ReportStatus(const ServiceStatusReport& report) override {
    reports.push_back(report);
    calls.push_back("report " + std::to_string(report.state));
    return true;
  }
  bool CreateStopEvent() override { return true; }
  void WaitStopEvent() override { onWaitStopEvent(); }
  void SignalStopEvent() override { calls.push_back("signal"); }
  void CloseStopEvent() override {}
  bool StartThread(std::function<void()> routine) override {
    thread_ = std::thread([this, routine = std::move(routine)] {
      routine();
      ended_.set_value();
    });
    return true;
  }
  bool WaitThreadEnd(uint32_t timeoutMs) override {
    calls.push_back("wait thread");
    if (++threadWaits_ == 1) {
      onFirstThreadWait();
      return false;
    }
    // A bound for a broken monitor only; a sound one ends in milliseconds.
    const bool ended = endedFuture_.wait_for(std::chrono::milliseconds(timeoutMs) * 10) == std::future_status::ready;
    if (ended) calls.push_back("thread ended");
    return ended;
  }
  void SleepMilliseconds(uint32_t) override {}

 private:
  std::thread thread_;
  std::promise<void> ended_;
  std::future<void> endedFuture_ = ended_.get_future();
  int threadWaits_ = 0;
};

class ServiceStopTest : public testing::Test, protected test::MonitorFixture {};

TEST_F(ServiceStopTest, AStopDuringAPassWaitsForTheMonitorThreadThroughTheSeamThenStops) {
  test::FakeDeviceChannel devices;
  for (int i = 0; i < 3; ++i) devices.filter.filterLog.push_back(test::MakeFilterEntry("Acme", "Stick", "S", 1));
  HeldChannel channel(devices);
  ThreadServicePlatform platform;
  size_t rowsWhenServingStopped = 0;
  int passesWhenServingStopped = -1;
  ServiceControl control(
      platform, shared.serviceRunning, [&] { (void)MonitorThread(Environment(channel), shared); },
      [&] {
        platform.calls.push_back("stop serving");
        rowsWhenServingStopped = ReportsAfter(dir / "reportdb.dat", 0, 100).size();
        passesWhenServingStopped = clock.sleeps;
      });
  platform.onWaitStopEvent = [&] {
    channel.inPass.WaitOpen();  // the monitor is in its first pass
    control.ServiceCtrlHandler(kControlStop);
  };
  platform.onFirstThreadWait = [&] { channel.released.Open(); };

  control.ServiceMain();

  EXPECT_EQ(platform.reports, (std::vector<ServiceStatusReport>{
                                  {2, 0, 1, 200},
                                  {2, 0, 2, 200},
                                  {4, 5, 0, 0},
                                  {3, 0, 1, 1000},  // the handler's
                                  {3, 0, 2, 1000},  // still waiting for the monitor
                                  {1, 5, 0, 0},
                              }));
  EXPECT_EQ(platform.calls,
            (std::vector<std::string>{"report 2", "report 2", "report 4", "report 3", "signal", "wait thread",
                                      "report 3", "wait thread", "thread ended", "stop serving", "report 1"}));
  // The pass under way when the stop came finished, rows stored, and no
  // other pass began: the monitor saw the flag at its next test.
  EXPECT_EQ(rowsWhenServingStopped, 3u);
  EXPECT_EQ(passesWhenServingStopped, 1);
  EXPECT_EQ(control.ServiceState(), kStateStopped);
}

}  // namespace
}  // namespace vx
