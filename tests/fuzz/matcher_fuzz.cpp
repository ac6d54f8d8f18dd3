// Any rule list and any identity: the fast matcher gives the verdict of the
// plain one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/core/rule_table.h"
#include "tests/driver/reference_matcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vx::driver;
  if (size < sizeof(DEVICE_IDENTITY)) return 0;
  DEVICE_IDENTITY identity;
  std::memcpy(&identity, data, sizeof identity);
  // Device texts always end within their field.
  identity.vendor[63] = identity.product[63] = identity.revision[63] = identity.serial[63] = 0;
  data += sizeof identity;
  size -= sizeof identity;
  const size_t count = size / sizeof(USB_RULE) > USB_MAX_RULES ? USB_MAX_RULES : size / sizeof(USB_RULE);
  static auto table = std::make_unique<RULE_TABLE>();
  InitRuleTable(table.get());
  if (!SetRules(table.get(), data, static_cast<uint32_t>(count * sizeof(USB_RULE)))) std::abort();
  PREPARED_IDENTITY prepared;
  PrepareIdentity(&identity, &prepared);
  auto rules = std::make_unique<USB_RULE[]>(count + 1);
  if (count > 0) std::memcpy(rules.get(), data, count * sizeof(USB_RULE));
  if (EvaluateRules(table.get(), &prepared) !=
      vx::test::ReferenceEvaluateRules(rules.get(), static_cast<unsigned>(count), identity)) {
    std::abort();
  }
  return 0;
}
