// locks show, locks set: the CD/DVD and floppy drive locks.
#include <ostream>

#include "tools/vxctl/commands.h"
#include "tools/vxctl/policy_items.h"

namespace vx {

std::optional<Failure> LocksShowCommand(CommandSession& session) {
  int mask = 0;
  if (auto failure = session.Check(session.Service().GetDriveLocks(mask))) return failure;
  const bool cdrom = mask & static_cast<int>(kDriveLockCdDvd);
  const bool floppy = mask & static_cast<int>(kDriveLockFloppy);
  if (session.Json())
    session.Out() << "{\"mask\": " << mask << ", \"cdrom\": " << FlagJson(cdrom) << ", \"floppy\": " << FlagJson(floppy)
                  << "}\n";
  else
    session.Out() << "CD/DVD drives:  " << (cdrom ? "locked" : "unlocked")
                  << "\nFloppy drives:  " << (floppy ? "locked" : "unlocked") << "\n";
  return std::nullopt;
}

std::optional<Failure> LocksSetCommand(CommandSession& session) {
  std::optional<bool> cdrom, floppy;
  if (session.Given("cdrom") && !(cdrom = ParseOnOff(session.Value("cdrom"))))
    return Failure{kExitBadArguments, "--cdrom takes on or off"};
  if (session.Given("floppy") && !(floppy = ParseOnOff(session.Value("floppy"))))
    return Failure{kExitBadArguments, "--floppy takes on or off"};
  if (!cdrom && !floppy) return Failure{kExitBadArguments, "locks set needs --cdrom on|off or --floppy on|off"};

  DEVICE_POLICY policy;
  if (auto failure = session.ReadPolicy(policy)) return failure;
  if (cdrom)
    if (auto failure = RefuseUnlessLocal(kCdDvdItem, policy)) return failure;
  if (floppy)
    if (auto failure = RefuseUnlessLocal(kFloppyItem, policy)) return failure;
  // A kind not named keeps the value in force.
  uint32_t mask = 0;
  if (cdrom.value_or(policy.lockCdDvd != 0)) mask |= kDriveLockCdDvd;
  if (floppy.value_or(policy.lockFloppy != 0)) mask |= kDriveLockFloppy;
  int result = 0;
  if (auto failure = session.Check(session.Service().SetDriveLocks(mask, result))) return failure;
  if (result != 1) return session.Refused("the service refused the lock change");
  return LocksShowCommand(session);
}

}  // namespace vx
