// The caller of the control interface as a test scripts it: an
// administrator, LocalSystem or an ordinary user. The Windows seam answers
// from the caller's token; this one from what the test set. Counts the
// questions, so a test can tell that a routine asked.
#pragma once

#include <atomic>

#include "control_rpc/caller_identity.h"

namespace vx::test {

enum class Caller { Administrator, LocalSystem, User };

class ScriptedCaller final : public CallerIdentity {
 public:
  explicit ScriptedCaller(Caller caller = Caller::Administrator) : caller_(caller) {}

  void Become(Caller caller) { caller_ = caller; }
  int Questions() const { return questions_.load(); }

  bool MayChangePolicy() const override {
    ++questions_;
    return caller_.load() != Caller::User;
  }

 private:
  std::atomic<Caller> caller_;
  mutable std::atomic<int> questions_{0};
};

}  // namespace vx::test
