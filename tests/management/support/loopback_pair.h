// Two ends of one TCP connection on 127.0.0.1, made without a thread: the
// client end is non-blocking, as after the hello, and goes to the handler
// under test; the test plays the server on the other end.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "management/socket_layer.h"

namespace vx::management::test {

class LoopbackPair {
 public:
  LoopbackPair();
  LoopbackPair(const LoopbackPair&) = delete;
  LoopbackPair& operator=(const LoopbackPair&) = delete;
  ~LoopbackPair();

  SocketHandle ClientSocket() const { return client_; }

  // The server's side: sends all of `bytes` (blocking), reads what the
  // client sent so far (waiting up to `waitMs` for the first byte when there
  // is none yet), and closes.
  void ServerSend(std::span<const uint8_t> bytes);
  std::vector<uint8_t> ServerReceive(int waitMs = 0);
  // Blocks until `count` bytes arrived (fewer when the client closes).
  std::vector<uint8_t> ServerReceiveExactly(std::size_t count);
  void CloseServer();
  // Shrinks the server's receive buffer so the client's sends block early.
  void ShrinkServerReceiveBuffer();

 private:
  int client_ = -1;
  int server_ = -1;
};

}  // namespace vx::management::test
