// Every message type of the management connection, with its direction, its
// fixed body size and what its header's length field carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vx::management {

inline constexpr uint16_t kServerPort = 13911;
inline constexpr std::size_t kClientIdSize = 16;
// A larger policySet body ends the connection without being read.
inline constexpr uint32_t kMaxPolicySetBody = 1048576;
// The largest rows block a reportRowsReply carries (a block of exactly this
// size is allowed).
inline constexpr uint32_t kMaxRowsBlockSize = 131072;

enum MessageType : uint16_t {
  kKeepAlive = 1,
  kHello = 3,
  kHelloReply = 4,
  kStatusRequest = 5000,
  kStatusReply = 5001,
  kReportNoticeRequest = 5003,
  kReportNotice = 5004,
  kReportRowsRequest = 5005,
  kReportRowsReply = 5006,
  kPolicyDigestRequest = 5010,
  kPolicyDigestReply = 5011,
  kPolicySet = 5012,
  kUpdatePush = 5013,
};

enum class Direction { ClientToServer, ServerToClient };

// What a message's length field carries:
//   Zero     - always 0 (no body, or a fixed-size body);
//   NotRead  - the client ignores it and reads only the fixed body, if any;
//   BodySize - the byte count of the variable body that follows.
enum class LengthField { Zero, NotRead, BodySize };

struct MessageKind {
  uint16_t type;
  std::string_view name;  // "keepAlive", "hello", ...
  Direction direction;
  uint32_t fixedBodySize;  // 0 for none or variable
  LengthField lengthField;
};

// The thirteen message kinds, in ascending type order.
[[nodiscard]] std::span<const MessageKind> MessageCatalogue();

// nullptr for an unknown type.
[[nodiscard]] const MessageKind* FindMessage(uint16_t type);

}  // namespace vx::management
