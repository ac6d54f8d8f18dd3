// The names of the store's enumerations, as shown and as stored, and what a
// stored assignment may hold: shared by both engines.
#include "server/store/store.h"

namespace vx::server {

const char* EnrollmentName(Enrollment enrollment) {
  switch (enrollment) {
    case Enrollment::Approved:
      return "approved";
    case Enrollment::Pending:
      return "pending";
    case Enrollment::Revoked:
      return "revoked";
  }
  return "revoked";
}

std::optional<Enrollment> ParseEnrollment(std::string_view name) {
  for (Enrollment enrollment : {Enrollment::Approved, Enrollment::Pending, Enrollment::Revoked})
    if (name == EnrollmentName(enrollment)) return enrollment;
  return std::nullopt;
}

const char* PolicySyncName(PolicySync sync) {
  switch (sync) {
    case PolicySync::Unknown:
      return "unknown";
    case PolicySync::Unmanaged:
      return "unmanaged";
    case PolicySync::InSync:
      return "in-sync";
    case PolicySync::Setting:
      return "setting";
    case PolicySync::Drifted:
      return "drifted";
  }
  return "unknown";
}

PolicySync PolicySyncOfStoredName(std::string_view name) {
  for (PolicySync sync :
       {PolicySync::Unknown, PolicySync::Unmanaged, PolicySync::InSync, PolicySync::Setting, PolicySync::Drifted})
    if (name == PolicySyncName(sync)) return sync;
  return PolicySync::Unknown;
}

std::optional<std::string> AssignmentProblem(const management::ParentPolicy& policy) {
  if (policy.ruleUsb__Parent.size() > management::kMaxParentRuleText)
    return "the rule text has " + std::to_string(policy.ruleUsb__Parent.size()) + " bytes; an agent holds at most " +
           std::to_string(management::kMaxParentRuleText);
  if (policy.password__Parent.size() > management::kMaxParentPassword)
    return "the password has " + std::to_string(policy.password__Parent.size()) + " bytes; an agent holds at most " +
           std::to_string(management::kMaxParentPassword);
  if (policy.ruleUsb__Parent.find('\0') != std::string::npos) return "the rule text holds a zero byte";
  if (policy.password__Parent.find('\0') != std::string::npos) return "the password holds a zero byte";
  return std::nullopt;
}

}  // namespace vx::server
