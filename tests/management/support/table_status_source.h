// Status values from a table, for tests; counts the calls so a test can
// check their order.
#pragma once

#include <string>
#include <vector>

#include "management/status_source.h"

namespace vx::management::test {

class TableStatusSource final : public StatusSource {
 public:
  uint32_t tickCount = 0;
  std::u16string computerName = u"VX-TEST-PC";
  uint8_t acLineStatus = 1;
  uint32_t version = 0x1DB10106;  // 6.1 build 7601, as GetVersion gives it
  std::vector<std::string> calls;

  uint32_t TickCount() override {
    calls.push_back("TickCount");
    return tickCount;
  }
  std::u16string ComputerName() override {
    calls.push_back("ComputerName");
    return computerName;
  }
  uint8_t AcLineStatus() override {
    calls.push_back("AcLineStatus");
    return acLineStatus;
  }
  uint32_t Version() override {
    calls.push_back("Version");
    return version;
  }
};

}  // namespace vx::management::test
