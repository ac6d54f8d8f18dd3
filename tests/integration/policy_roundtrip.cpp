// Writes the reference policy through the real store to DIRECTORY/configdb.dat,
// starts a second store on it as a service restart would, and checks that
// the restart sees the same record. Prints what it did; exits 0 on success.
//
//   policy_roundtrip DIRECTORY
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "policy/policy_file.h"
#include "policy/policy_store.h"
#include "policy/rule_text.h"
#include "tests/support/reference_policy.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: policy_roundtrip DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path file = std::filesystem::path(argv[1]) / "configdb.dat";
  auto reference = std::make_unique<vx::PolicyState>();
  vx::test::BuildReferencePolicy(*reference);

  // A first start writes the default policy; the reference is then set as
  // the management server and the local interface would.
  vx::PolicyStore first(file);
  first.LoadPolicy();
  first.ChangeParentValues([&](vx::PolicyState& state) { std::memcpy(&state, reference.get(), sizeof state); });

  vx::PolicyStore restarted(file);
  restarted.LoadPolicy();
  const bool same = restarted.Read(
      [&](const vx::PolicyState& state) { return std::memcmp(&state, reference.get(), sizeof state) == 0; });
  const auto rules = restarted.Read([](const vx::PolicyState& s) { return vx::RuleCountOf(vx::FieldText(s.ruleUsb)); });
  std::printf("policy file %s: %ju bytes, %zu rules, drive locks %u, restart %s\n", file.string().c_str(),
              static_cast<uintmax_t>(std::filesystem::file_size(file)), rules, restarted.GetDriveLocks(),
              same ? "sees the same policy" : "SEES A DIFFERENT POLICY");
  return same ? 0 : 1;
}
