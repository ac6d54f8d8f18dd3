// A scripted management server for the client's native tests: real BSD
// sockets on 127.0.0.1 (a free port), its own thread, reactions written by
// each test, and a record of every message the client sent.
//
// The peer runs in lockstep with the client's FakeSessionClock: before the
// client's clock moves, the peer reads everything the client has sent so far
// and runs the reactions, so each record carries the exact virtual time of
// the send, and a reaction that sends bytes is seen by the client's next
// read. Sends are queued and made without blocking, so the lockstep never
// waits on a full socket.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "management/protocol/message_header.h"
#include "tests/management/support/fake_session_clock.h"

namespace vx::management::test {

struct PeerMessage {
  int connection = 0;  // index of the accepted connection, from 0
  MessageHeader header;
  bool checksumOk = true;
  std::vector<uint8_t> body;
  int64_t atMs = 0;  // the client's clock when it sent the message
};

struct PeerConnectionRecord {
  int64_t acceptedAtMs = -1;
  int64_t closedAtMs = -1;  // when the peer saw the client close it (or closed it itself)
};

class ScriptedPeer;

// What a reaction can do; valid only during the reaction.
class PeerLink {
 public:
  int Index() const { return index_; }
  int64_t NowMs() const;
  FakeSessionClock& Clock() const;
  void Send(std::span<const uint8_t> bytes);
  void SendHeader(uint16_t type, uint32_t length = 0);
  void SendMessage(uint16_t type, uint32_t length, std::span<const uint8_t> body);
  // Closes the connection once the queued bytes are sent.
  void Close();
  // Stops or resumes reading this connection (the client's sends then fill
  // the socket and block).
  void SetReading(bool reading);
  // Clears the client's serviceRunning.
  void StopClient();
  // No further connection is accepted (new attempts are refused).
  void CloseListener();

 private:
  friend class ScriptedPeer;
  PeerLink(ScriptedPeer& peer, int index) : peer_(peer), index_(index) {}
  ScriptedPeer& peer_;
  int index_;
};

class ScriptedPeer {
 public:
  // Binds and listens at once; the thread starts with Start. `serviceRunning`
  // is the client's flag, which the peer clears when told to stop it (and
  // after 60 seconds of real time, so a fault never hangs a test).
  ScriptedPeer(FakeSessionClock& clock, std::atomic<bool>& serviceRunning);
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;
  ~ScriptedPeer();

  uint16_t Port() const { return port_; }

  // Reactions, set before Start; all run on the peer's thread.
  std::function<void(PeerLink&)> onAccept;
  std::function<void(PeerLink&, const PeerMessage&)> onMessage;
  std::function<void(PeerLink&)> onStep;  // every step, for each open connection
  // The client is stopped at the first step at or after this time.
  int64_t stopClientAtMs = -1;

  void Start();
  void Stop();

  std::vector<PeerMessage> Messages() const;
  std::vector<PeerMessage> MessagesOfType(uint16_t type) const;
  std::vector<PeerConnectionRecord> Connections() const;
  bool WatchdogFired() const { return watchdogFired_.load(); }

  // Sends helloReply with status 1 when `message` is a hello.
  static void AcceptHello(PeerLink& link, const PeerMessage& message);

 private:
  friend class PeerLink;
  struct Connection;

  void Run();
  void Step();
  void AcceptPending();
  void ReadConnection(Connection& connection);
  void FlushConnection(Connection& connection);
  void CloseConnection(Connection& connection);
  void Settle();  // the clock's hook, on the client's thread

  FakeSessionClock& clock_;
  std::atomic<bool>& serviceRunning_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<Connection>> connections_;  // peer thread only

  mutable std::mutex recordsMutex_;
  std::vector<PeerMessage> messages_;
  std::vector<PeerConnectionRecord> connectionRecords_;

  std::mutex lockstepMutex_;
  std::condition_variable lockstepChanged_;
  uint64_t settleRequested_ = 0;
  uint64_t settleCompleted_ = 0;
  bool stopping_ = false;

  std::atomic<bool> watchdogFired_{false};
  std::thread thread_;
};

}  // namespace vx::management::test
