// The four policy items a local administrator can make follow the parent
// policy, with their flags in DEVICE_POLICY, and the refusals of a local
// change that would not last.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "policy/device_policy.h"
#include "tools/vxctl/command_session.h"

namespace vx {

struct PolicyItem {
  const char* word;  // as follow-parent names it: "rules", "cdrom", "floppy", "password"
  const char* name;  // as a sentence names it: "rule list", "CD/DVD lock", "floppy lock", "password"
  uint8_t DEVICE_POLICY::*inherit;
  uint8_t DEVICE_POLICY::*lock;
};

inline constexpr PolicyItem kRulesItem{"rules", "rule list", &DEVICE_POLICY::ruleUsb__Inherit,
                                       &DEVICE_POLICY::ruleUsb__Lock};
inline constexpr PolicyItem kCdDvdItem{"cdrom", "CD/DVD lock", &DEVICE_POLICY::lockCdDvd__Inherit,
                                       &DEVICE_POLICY::lockCdDvd__Lock};
inline constexpr PolicyItem kFloppyItem{"floppy", "floppy lock", &DEVICE_POLICY::lockFloppy__Inherit,
                                        &DEVICE_POLICY::lockFloppy__Lock};
inline constexpr PolicyItem kPasswordItem{"password", "password", &DEVICE_POLICY::password__Inherit,
                                          &DEVICE_POLICY::password__Lock};

// The item follow-parent names `word`; nullptr for none.
[[nodiscard]] const PolicyItem* PolicyItemNamed(const std::string& word);

// Refused (kExitRefused) while the management server locks the item: the
// service puts the parent's value back after every local change.
[[nodiscard]] std::optional<Failure> RefuseWhileServerSets(const PolicyItem& item, const DEVICE_POLICY& policy);

// Refused while the server locks the item or while it follows the parent:
// a local value would not last in either case.
[[nodiscard]] std::optional<Failure> RefuseUnlessLocal(const PolicyItem& item, const DEVICE_POLICY& policy);

}  // namespace vx
