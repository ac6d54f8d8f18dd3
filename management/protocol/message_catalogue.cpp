#include "management/protocol/message_catalogue.h"

#include <array>

namespace vx::management {
namespace {

using enum Direction;
using enum LengthField;

constexpr std::array<MessageKind, 13> kCatalogue{{
    {kKeepAlive, "keepAlive", ClientToServer, 0, Zero},
    {kHello, "hello", ClientToServer, kClientIdSize, Zero},
    {kHelloReply, "helloReply", ServerToClient, 1, NotRead},
    {kStatusRequest, "statusRequest", ServerToClient, 0, NotRead},
    {kStatusReply, "statusReply", ClientToServer, 404, Zero},
    {kReportNoticeRequest, "reportNoticeRequest", ServerToClient, 0, NotRead},
    {kReportNotice, "reportNotice", ClientToServer, 4, Zero},
    {kReportRowsRequest, "reportRowsRequest", ServerToClient, 8, NotRead},
    {kReportRowsReply, "reportRowsReply", ClientToServer, 0, BodySize},
    {kPolicyDigestRequest, "policyDigestRequest", ServerToClient, 0, NotRead},
    {kPolicyDigestReply, "policyDigestReply", ClientToServer, 4, Zero},
    {kPolicySet, "policySet", ServerToClient, 0, BodySize},
    {kUpdatePush, "updatePush", ServerToClient, 0, BodySize},
}};

}  // namespace

std::span<const MessageKind> MessageCatalogue() { return kCatalogue; }

const MessageKind* FindMessage(uint16_t type) {
  for (const MessageKind& kind : kCatalogue) {
    if (kind.type == type) return &kind;
  }
  return nullptr;
}

}  // namespace vx::management
