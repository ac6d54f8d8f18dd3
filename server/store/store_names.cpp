// The names of the store's enumerations, as shown and as stored.
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

}  // namespace vx::server
