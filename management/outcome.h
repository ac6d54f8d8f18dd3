// What a message handler tells the session loop.
#pragma once

namespace vx::management {

enum class Outcome {
  KeepConnection,
  EndConnection,  // a body or request did not arrive in full, a bound was hit, or a send failed
};

}  // namespace vx::management
