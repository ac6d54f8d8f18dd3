// VestaraDeviceControl.exe against Wine's real service control manager and
// registry: install, removal, the dispatcher outside the manager, the status
// a running service reports, a program installed from a folder with a blank
// in its name, and a stop while vxctl keeps calling.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vx {
namespace {

constexpr wchar_t kClassKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e967-e325-11ce-bfc1-08002be10318}";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\VestaraDeviceControlWinService";
constexpr wchar_t kServiceName[] = L"VestaraDeviceControlWinService";
constexpr wchar_t kProductKey[] = L"Software\\Vestara\\DeviceControl";

// Runs the service program (or another) with a command-line tail and returns
// its exit code. A quiet run sends the program's output nowhere.
DWORD RunProgram(const std::wstring& tail, const wchar_t* program = VX_SERVICE_EXE, bool quiet = false) {
  std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
  if (!tail.empty()) commandLine += L" " + tail;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  HANDLE nowhere = INVALID_HANDLE_VALUE;
  if (quiet) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    nowhere = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, 0, nullptr);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nowhere;
  }
  PROCESS_INFORMATION process{};
  const BOOL created =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, quiet, 0, nullptr, nullptr, &startup, &process);
  if (nowhere != INVALID_HANDLE_VALUE) CloseHandle(nowhere);
  if (!created) return 0xDEADBEEF;
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0xDEADBEEF;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

std::optional<std::vector<std::wstring>> ReadMultiString(const wchar_t* key, const wchar_t* name) {
  HKEY handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return std::nullopt;
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer - 4, type = 0;
  const LONG status = RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(handle);
  if (status != ERROR_SUCCESS) return std::nullopt;
  std::vector<std::wstring> entries;
  for (const wchar_t* p = buffer; *p; p += wcslen(p) + 1) entries.emplace_back(p);
  return entries;
}

std::optional<std::wstring> ReadText(const wchar_t* key, const wchar_t* name) {
  auto entries = ReadMultiString(key, name);
  if (!entries) return std::nullopt;
  return entries->empty() ? std::wstring() : entries->front();
}

std::optional<DWORD> ReadDword(const wchar_t* key, const wchar_t* name) {
  DWORD value = 0, size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
    return std::nullopt;
  return value;
}

void SetFilters(const std::vector<std::wstring>& entries) {
  HKEY handle;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
            ERROR_SUCCESS);
  std::wstring data;
  for (const auto& e : entries) data += e + L'\0';
  data += L'\0';
  RegSetValueExW(handle, L"UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                 static_cast<DWORD>(data.size() * sizeof(wchar_t)));
  RegCloseKey(handle);
}

void DeleteFilters() {
  HKEY handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return;
  RegDeleteValueW(handle, L"UpperFilters");
  RegCloseKey(handle);
}

bool ServiceExists() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return service != nullptr;
}

// The service program copied into `folder`, so that it runs (and writes any
// crash bundle) from there.
std::filesystem::path CopyOfTheProgram(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  const std::filesystem::path copy = folder / L"VestaraDeviceControl.exe";
  std::filesystem::copy_file(VX_SERVICE_EXE, copy, std::filesystem::copy_options::overwrite_existing);
  return copy;
}

// Starts the installed service and waits until it runs and its control
// interface answers; returns the service's handle (null on failure).
SC_HANDLE StartAndWaitRunning(SC_HANDLE manager) {
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
  if (!service || !StartServiceW(service, 0, nullptr)) return service;
  SERVICE_STATUS status{};
  for (int i = 0; i < 200 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING; ++i)
    Sleep(50);
  for (int i = 0; i < 100 && RunProgram(L"ping", VX_VXCTL_EXE) != 0; ++i) Sleep(100);
  return service;
}

DWORD WaitForState(SC_HANDLE service, DWORD state, int tenthsOfSeconds) {
  SERVICE_STATUS status{};
  for (int i = 0; i < tenthsOfSeconds && QueryServiceStatus(service, &status) && status.dwCurrentState != state; ++i)
    Sleep(100);
  return status.dwCurrentState;
}

class ServiceProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    // The service's data files go to a directory of the test's own.
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::wstring path = installDir_.path().wstring() + L"\\";
    RegSetValueExW(key, L"InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    RunProgram(L"/u");  // nothing left from an interrupted run
  }
  void TearDown() override {
    RunProgram(L"/u");
    DeleteFilters();
  }
  test::TempDir installDir_;
};

TEST_F(ServiceProgramTest, InstallListsTheFilterAndRegistersTheServiceRemoveUndoesBoth) {
  SetFilters({L"PartMgr"});
  EXPECT_EQ(RunProgram(L"/i"), 0u);
  EXPECT_EQ(ReadMultiString(kClassKey, L"UpperFilters"), (std::vector<std::wstring>{L"PartMgr", L"VXDevFltr"}));
  EXPECT_EQ(ReadDword(kServiceKey, L"Start"), 2u);
  EXPECT_EQ(ReadDword(kServiceKey, L"Type"), 0x110u);
  EXPECT_EQ(ReadDword(kServiceKey, L"ErrorControl"), 1u);
  EXPECT_EQ(ReadText(kServiceKey, L"Group"), L"COM Infrastructure");
  EXPECT_EQ(ReadMultiString(kServiceKey, L"DependOnService"), (std::vector<std::wstring>{L"RpcSs"}));
  EXPECT_EQ(ReadText(kServiceKey, L"DisplayName"),
            L"\u06A9\u0646\u062A\u0631\u0644 \u0627\u0628\u0632\u0627\u0631 \u0648\u0633\u062A\u0627\u0631\u0627");
  const auto description = ReadText(kServiceKey, L"Description");
  ASSERT_TRUE(description);
  EXPECT_EQ(description->size(), 59u);
  EXPECT_EQ(description->substr(0, 3), L"\u0627\u06CC\u0646");
  const auto image = ReadText(kServiceKey, L"ImagePath");
  ASSERT_TRUE(image);
  EXPECT_NE(image->find(L"VestaraDeviceControl.exe"), std::wstring::npos);
  EXPECT_EQ(image->front(), L'Z');  // the full path, no quotes

  EXPECT_EQ(RunProgram(L"/I"), 0xFFFFFFFFu);  // the service exists already
  EXPECT_EQ(ReadMultiString(kClassKey, L"UpperFilters"), (std::vector<std::wstring>{L"PartMgr", L"VXDevFltr"}));

  EXPECT_EQ(RunProgram(L"/u"), 0u);
  EXPECT_EQ(ReadMultiString(kClassKey, L"UpperFilters"), (std::vector<std::wstring>{L"PartMgr"}));
  EXPECT_FALSE(ServiceExists());
}

// The filter list holds service names, compared without letter case: an
// entry in another case is the filter already, and removal takes it out.
TEST_F(ServiceProgramTest, AFilterEntryInAnyLetterCaseIsTheFilter) {
  SetFilters({L"PartMgr", L"vxdevfltr"});
  EXPECT_EQ(RunProgram(L"/i"), 0u);
  EXPECT_EQ(ReadMultiString(kClassKey, L"UpperFilters"), (std::vector<std::wstring>{L"PartMgr", L"vxdevfltr"}));
  SetFilters({L"VXDEVFLTR", L"PartMgr", L"VXDevFltr"});
  EXPECT_EQ(RunProgram(L"/u"), 0u);
  EXPECT_EQ(ReadMultiString(kClassKey, L"UpperFilters"), (std::vector<std::wstring>{L"PartMgr"}));
}

// Installed from a folder whose name holds a blank, the program's path is
// registered in quotes, so the manager does not take "...\\Vestara" for a
// program; the service starts from there and answers.
TEST_F(ServiceProgramTest, APathWithABlankIsRegisteredInQuotesAndTheServiceStarts) {
  const std::filesystem::path program = CopyOfTheProgram(installDir_ / L"Vestara Device Control");
  ASSERT_EQ(RunProgram(L"/i", program.c_str()), 0u);
  const auto image = ReadText(kServiceKey, L"ImagePath");
  ASSERT_TRUE(image);
  ASSERT_GE(image->size(), 2u);
  EXPECT_EQ(image->front(), L'"') << *image;
  EXPECT_EQ(image->back(), L'"') << *image;
  EXPECT_EQ(std::filesystem::equivalent(image->substr(1, image->size() - 2), program), true) << *image;

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = StartAndWaitRunning(manager);
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(WaitForState(service, SERVICE_RUNNING, 100), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(RunProgram(L"ping", VX_VXCTL_EXE), 0u);
  SERVICE_STATUS stopping{};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &stopping));
  EXPECT_EQ(WaitForState(service, SERVICE_STOPPED, 200), static_cast<DWORD>(SERVICE_STOPPED));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  EXPECT_EQ(RunProgram(L"/u", program.c_str()), 0u);
}

// A stop while administration calls keep coming: the monitor ends its pass,
// the control interface ends its calls, and only then does the process end,
// so nothing the calls use is freed under them (regression: the process-wide
// state was destroyed at exit while call threads still used it). The
// service reports stopped, its process ends with 0, and no crash bundle
// appears beside the program; every vxctl run either did its work or found
// the service gone.
TEST_F(ServiceProgramTest, AStopDuringALoopOfVxctlCallsEndsCleanly) {
  const std::filesystem::path folder = installDir_ / L"program";
  const std::filesystem::path program = CopyOfTheProgram(folder);
  ASSERT_EQ(RunProgram(L"/i", program.c_str()), 0u);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = StartAndWaitRunning(manager);
  ASSERT_NE(service, nullptr);
  ASSERT_EQ(RunProgram(L"follow-parent cdrom off", VX_VXCTL_EXE), 0u);  // lock changes then last

  SERVICE_STATUS_PROCESS running{};
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running), sizeof running,
                                   &needed));
  HANDLE serviceProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, running.dwProcessId);
  ASSERT_NE(serviceProcess, nullptr);

  // Reads and writes, several at once, until told to end.
  std::atomic<bool> done{false};
  std::mutex outcomesMutex;
  std::map<DWORD, int> outcomes;  // vxctl exit code -> runs
  std::vector<std::thread> loops;
  const wchar_t* commands[] = {L"policy show --json", L"locks set --cdrom on", L"locks set --cdrom off", L"ping"};
  for (int loop = 0; loop < 3; ++loop) {
    loops.emplace_back([&, loop] {
      for (int i = loop; !done; ++i) {
        const DWORD code = RunProgram(commands[i % 4], VX_VXCTL_EXE, true);
        std::lock_guard<std::mutex> lock(outcomesMutex);
        ++outcomes[code];
      }
    });
  }
  // And many calls at once from one client, so that calls are in progress
  // at every moment of the stop.
  std::wstring loadLine = L"\"" + std::wstring(VX_LOAD_CLIENT_EXE) + L"\" 100 8 1 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION load{};
  ASSERT_TRUE(CreateProcessW(nullptr, loadLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &load));
  Sleep(1500);
  SERVICE_STATUS stopping{};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &stopping));
  EXPECT_EQ(WaitForState(service, SERVICE_STOPPED, 300), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(WaitForSingleObject(serviceProcess, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD exitCode = 0xDEADBEEF;
  GetExitCodeProcess(serviceProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u) << "the service process did not end normally";
  CloseHandle(serviceProcess);
  Sleep(1000);  // calls after the stop find no service
  done = true;
  for (auto& loop : loops) loop.join();
  // The load client's calls fail once the service is gone: its result does
  // not matter, only that it ends.
  EXPECT_EQ(WaitForSingleObject(load.hProcess, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(load.hThread);
  CloseHandle(load.hProcess);

  std::vector<std::wstring> crashFiles;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const auto extension = entry.path().extension();
    if (extension == L".clg" || extension == L".dmp" || extension == L".ifo") crashFiles.push_back(entry.path());
  }
  EXPECT_TRUE(crashFiles.empty()) << "crash files beside the program: " << crashFiles.size();
  EXPECT_GT(outcomes[0], 0) << "no call reached the running service";
  EXPECT_GT(outcomes[3], 0) << "no call came after the stop";
  for (const auto& [code, runs] : outcomes) {
    std::cout << "vxctl runs that exited with " << code << ": " << runs << "\n";
    EXPECT_TRUE(code == 0 || code == 3) << runs << " vxctl run(s) ended with " << code;
  }

  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  EXPECT_EQ(RunProgram(L"/u", program.c_str()), 0u);
}

TEST_F(ServiceProgramTest, AClassWithoutAFilterListStaysWithoutOne) {
  DeleteFilters();
  EXPECT_EQ(RunProgram(L"/i"), 0u);
  EXPECT_EQ(ReadMultiString(kClassKey, L"UpperFilters"), std::nullopt);
  EXPECT_TRUE(ServiceExists());
}

TEST_F(ServiceProgramTest, RemovalWithoutAServiceFailsAfterTheFilterEntryIsGone) {
  SetFilters({L"VXDevFltr", L"PartMgr"});
  EXPECT_EQ(RunProgram(L"/u"), 0xFFFFFFFFu);
  EXPECT_EQ(ReadMultiString(kClassKey, L"UpperFilters"), (std::vector<std::wstring>{L"PartMgr"}));
}

TEST_F(ServiceProgramTest, StartedByHandTheDispatcherFails) {
  // Outside the service control manager the dispatcher refuses to run (under
  // Wine only after a wait of about ten seconds).
  EXPECT_EQ(RunProgram(L""), 0xFFFFFFFFu);
}

// Polls the service's status through handles of its own and keeps every
// distinct report.
class StatusRecorder {
 public:
  StatusRecorder() : thread_([this] { Poll(); }) {
    for (int i = 0; i < 2000 && samples_ == 0; ++i) Sleep(1);
  }
  ~StatusRecorder() { Stop(); }
  std::vector<SERVICE_STATUS> Stop() {
    const int taken = samples_;
    for (int i = 0; i < 2000 && samples_ < taken + 2; ++i) Sleep(1);  // a sample after the caller's last look
    done_ = true;
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

 private:
  void Poll() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
    while (!done_) {
      SERVICE_STATUS status{};
      if (service && QueryServiceStatus(service, &status) &&
          (seen_.empty() || status.dwCurrentState != seen_.back().dwCurrentState ||
           status.dwControlsAccepted != seen_.back().dwControlsAccepted))
        seen_.push_back(status);
      ++samples_;  // every poll counts, changed or not
      Sleep(5);
    }
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  std::atomic<bool> done_{false};
  std::atomic<int> samples_{0};
  std::vector<SERVICE_STATUS> seen_;
  std::thread thread_;
};

TEST_F(ServiceProgramTest, ARunningServiceReportsItsStatesAndIsRemovedWhileRunning) {
  ASSERT_EQ(RunProgram(L"/i"), 0u);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  std::vector<SERVICE_STATUS> seen;
  {
    StatusRecorder recorder;
    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    SERVICE_STATUS status{};
    for (int i = 0; i < 200 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_RUNNING; ++i)
      Sleep(50);
    ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    SERVICE_STATUS interrogated{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &interrogated));
    EXPECT_EQ(interrogated.dwCurrentState, 4u);
    EXPECT_EQ(interrogated.dwControlsAccepted, 5u);
    EXPECT_EQ(interrogated.dwServiceType, 0x110u);
    // The monitor runs: the policy file is written in the install directory,
    // and the control interface answers the administration tool.
    for (int i = 0; i < 100 && !std::filesystem::exists(installDir_ / "configdb.dat"); ++i) Sleep(50);
    EXPECT_EQ(std::filesystem::file_size(installDir_ / "configdb.dat"), 131360u);
    EXPECT_EQ(RunProgram(L"ping", VX_VXCTL_EXE), 0u);

    SERVICE_STATUS stopping{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &stopping));
    for (int i = 0; i < 100 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
      Sleep(50);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    seen = recorder.Stop();
  }
  std::vector<DWORD> states;
  for (const auto& s : seen) states.push_back(s.dwCurrentState);
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                        SERVICE_STOPPED}));
  for (const auto& s : seen) {
    if (s.dwCurrentState == SERVICE_RUNNING) {
      EXPECT_EQ(s.dwControlsAccepted, 5u);
    }
    if (s.dwCurrentState == SERVICE_STOP_PENDING) {
      EXPECT_EQ(s.dwWaitHint, 1000u);
      EXPECT_EQ(s.dwControlsAccepted, 0u);
    }
  }

  // Started again, then removed while it runs: stopped and deleted.
  ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  Sleep(500);
  EXPECT_EQ(RunProgram(L"/u"), 0u);
  for (int i = 0; i < 100 && ServiceExists(); ++i) Sleep(50);
  EXPECT_FALSE(ServiceExists());
}

}  // namespace
}  // namespace vx
