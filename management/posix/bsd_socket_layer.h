// The socket seam over BSD sockets, for the native builds: the client's
// tests run it on loopback, where the same client code meets a real peer.
#pragma once

#include "management/socket_layer.h"

namespace vx::management {

class BsdSocketLayer : public SocketLayer {
 public:
  bool StartUp() override { return true; }
  void CleanUp() override {}
  std::vector<uint32_t> ResolveIpv4(const std::string& hostName) override;
  SocketHandle ConnectBlocking(uint32_t address, uint16_t port) override;
  bool SetNonBlocking(SocketHandle socket) override;
  int Send(SocketHandle socket, const uint8_t* bytes, int count) override;
  int Receive(SocketHandle socket, uint8_t* buffer, int count) override;
  bool LastCallWouldBlock() override;
  WaitResult WaitWritable(SocketHandle socket, uint32_t timeoutMs) override;
  void Close(SocketHandle socket) override;
};

}  // namespace vx::management
