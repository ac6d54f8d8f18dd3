#include "tools/vxctl/policy_items.h"

namespace vx {

const PolicyItem* PolicyItemNamed(const std::string& word) {
  for (const PolicyItem* item : {&kRulesItem, &kCdDvdItem, &kFloppyItem, &kPasswordItem})
    if (word == item->word) return item;
  return nullptr;
}

std::optional<Failure> RefuseWhileServerSets(const PolicyItem& item, const DEVICE_POLICY& policy) {
  if (!(policy.*item.lock)) return std::nullopt;
  // The service itself refuses a password change while the server sets it,
  // so for the password there is no local change that would not last.
  const bool password = std::string(item.word) == kPasswordItem.word;
  return Failure{kExitRefused, std::string("the ") + item.name + " is set by the management server" +
                                   (password ? "" : "; local changes would not last")};
}

std::optional<Failure> RefuseUnlessLocal(const PolicyItem& item, const DEVICE_POLICY& policy) {
  if (auto failure = RefuseWhileServerSets(item, policy)) return failure;
  if (policy.*item.inherit)
    return Failure{kExitRefused, std::string("the ") + item.name +
                                     " follows the parent policy; run \"vxctl follow-parent " + item.word +
                                     " off\" first"};
  return std::nullopt;
}

}  // namespace vx
