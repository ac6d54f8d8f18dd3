// management_test_peer: a scripted management server for the Wine test of
// the installed service. Runs natively, listens on 127.0.0.1:<port>, and
// walks the service's client through two sessions:
//   1. hello with the expected client id, a keep-alive, the status record
//      (with the computer name), the digest of the default policy, a
//      policySet and the changed digest, the newest report id, every report
//      row by paging with the last received id, and an update push of the
//      given installer file;
//   2. after the service was restarted: hello, keep-alive, and the changed
//      digest again (read back from configdb.dat).
// Prints one line per step; "session 1 done" when the first session is
// through. Exit 0 when both sessions went as expected, 1 on a mismatch, 2
// when the run time is over (so a failure never hangs the test).
//
//   management_test_peer --port P --client-id HEX --installer FILE --rows N
//                        --seconds S [--computer-name NAME]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/message_header.h"
#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"
#include "management/protocol/rows_block.h"
#include "management/protocol/status_record.h"

namespace {

using namespace vx::management;
using Clock = std::chrono::steady_clock;

Clock::time_point deadline;

[[noreturn]] void Fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int RemainingMs(const char* waitingFor) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) {
    std::printf("TIMEOUT waiting for %s\n", waitingFor);
    std::fflush(stdout);
    std::exit(2);
  }
  return static_cast<int>(left);
}

void WaitReadable(int fd, const char* waitingFor) {
  pollfd entry{fd, POLLIN, 0};
  while (poll(&entry, 1, RemainingMs(waitingFor)) <= 0) {
  }
}

// false when the client closed the connection first.
bool ReadExact(int fd, uint8_t* buffer, std::size_t count, const char* waitingFor) {
  std::size_t got = 0;
  while (got < count) {
    WaitReadable(fd, waitingFor);
    const ssize_t result = recv(fd, buffer + got, count - got, 0);
    if (result <= 0) return false;
    got += static_cast<std::size_t>(result);
  }
  return true;
}

void SendAll(int fd, const std::vector<uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t result = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (result <= 0) Fail("send to the client failed");
    sent += static_cast<std::size_t>(result);
  }
}

void SendMessage(int fd, uint16_t type, const std::vector<uint8_t>& body = {}, uint32_t length = 0) {
  const auto header = EncodeHeader(MessageHeader{type, length});
  SendAll(fd, std::vector<uint8_t>(header.begin(), header.end()));
  if (!body.empty()) SendAll(fd, body);
}

std::vector<uint8_t> U32s(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> bytes;
  for (uint32_t value : values)
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
  return bytes;
}

uint32_t U32At(const std::vector<uint8_t>& bytes, std::size_t offset = 0) {
  return uint32_t{bytes[offset]} | (uint32_t{bytes[offset + 1]} << 8) | (uint32_t{bytes[offset + 2]} << 16) |
         (uint32_t{bytes[offset + 3]} << 24);
}

struct Message {
  MessageHeader header;
  std::vector<uint8_t> body;
};

std::optional<Message> ReadMessage(int fd, const char* waitingFor) {
  uint8_t bytes[kHeaderSize];
  if (!ReadExact(fd, bytes, kHeaderSize, waitingFor)) return std::nullopt;
  const auto header = DecodeHeader(bytes);
  if (!header) Fail("a header with a wrong checksum");
  const MessageKind* kind = FindMessage(header->type);
  if (!kind || kind->direction != Direction::ClientToServer) Fail("type " + std::to_string(header->type));
  Message message{*header, {}};
  message.body.resize(kind->lengthField == LengthField::BodySize ? header->length : kind->fixedBodySize);
  if (message.body.size() > kMaxRowsBlockSize) Fail("a body of " + std::to_string(message.body.size()) + " bytes");
  if (!ReadExact(fd, message.body.data(), message.body.size(), waitingFor)) return std::nullopt;
  return message;
}

// The next message of `type`; keep-alives and timed notices may come at any
// time and are passed over.
Message Expect(int fd, uint16_t type, const char* waitingFor) {
  for (;;) {
    auto message = ReadMessage(fd, waitingFor);
    if (!message) Fail(std::string("the connection closed while waiting for ") + waitingFor);
    if (message->header.type == type) return *message;
    if (message->header.type == kKeepAlive || message->header.type == kReportNotice) continue;
    Fail(std::string("type ") + std::to_string(message->header.type) + " while waiting for " + waitingFor);
  }
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char part[3];
  for (uint8_t byte : bytes) {
    std::snprintf(part, sizeof part, "%02X", byte);
    text += part;
  }
  return text;
}

std::string Narrow(const std::u16string& text) {
  std::string narrow;
  for (char16_t unit : text) narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return narrow;
}

int AcceptOne(int listener) {
  WaitReadable(listener, "a connection");
  const int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) Fail("accept failed");
  const int noDelay = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  return fd;
}

void Hello(int fd, const std::string& clientId) {
  const Message hello = Expect(fd, kHello, "the hello");
  if (Hex(hello.body) != clientId) Fail("hello with client id " + Hex(hello.body) + ", expected " + clientId);
  Say("hello with client id " + Hex(hello.body));
  SendMessage(fd, kHelloReply, {1});
  Expect(fd, kKeepAlive, "the first keep-alive");
  Say("keep-alive");
}

uint32_t Digest(int fd) {
  SendMessage(fd, kPolicyDigestRequest);
  return U32At(Expect(fd, kPolicyDigestReply, "the policy digest").body);
}

// The parent policy the server sets: every disk read-only, the floppy lock
// lifted, a password, the rule list locked by the parent.
ParentPolicy ServerParent() {
  ParentPolicy parent;
  parent.ruleUsb__Parent = std::string(528, '0');
  parent.ruleUsb__Parent[521] = '2';
  parent.ruleUsb__Lock = 1;
  parent.lockCdDvd__Parent = 1;
  parent.lockFloppy__Parent = 0;
  parent.password__Parent = "managed";
  return parent;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  for (const char* required : {"--port", "--client-id", "--installer", "--rows", "--seconds"})
    if (!options.count(required)) {
      std::fprintf(stderr, "missing %s\n", required);
      return 64;
    }
  deadline = Clock::now() + std::chrono::seconds(std::stoi(options["--seconds"]));
  const std::string clientId = options["--client-id"];
  const int rows = std::stoi(options["--rows"]);
  std::ifstream installerFile(options["--installer"], std::ios::binary);
  const std::vector<uint8_t> installer((std::istreambuf_iterator<char>(installerFile)),
                                       std::istreambuf_iterator<char>());
  if (installer.empty()) Fail("no installer file");

  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int reuse = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(options["--port"])));
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0)
    Fail("cannot listen on 127.0.0.1:" + options["--port"]);
  Say("listening on 127.0.0.1:" + options["--port"]);

  // Session 1.
  int fd = AcceptOne(listener);
  Hello(fd, clientId);

  SendMessage(fd, kStatusRequest);
  const Message status = Expect(fd, kStatusReply, "the status record");
  const auto record = DecodeStatusRecord(status.body.data(), status.body.size());
  if (!record) Fail("a status record of " + std::to_string(status.body.size()) + " bytes");
  Say("status: computer name " + Narrow(record->computerName) + ", uptime " + std::to_string(record->uptimeSeconds) +
      " s, locks cd/dvd " + std::to_string(record->lockCdDvd) + " floppy " + std::to_string(record->lockFloppy));
  if (record->computerName.empty()) Fail("an empty computer name");
  if (options.count("--computer-name") && Narrow(record->computerName) != options["--computer-name"])
    Fail("computer name " + Narrow(record->computerName) + ", expected " + options["--computer-name"]);
  if (!record->lockCdDvd || !record->lockFloppy) Fail("the default policy locks both drives");

  char digestText[16];
  const uint32_t before = Digest(fd);
  std::snprintf(digestText, sizeof digestText, "0x%08X", before);
  Say(std::string("digest of the default policy: ") + digestText);
  if (before != 0xBE9BB610u) Fail("expected 0xBE9BB610");

  const ParentPolicy parent = ServerParent();
  const std::vector<uint8_t> policySet = EncodePolicyList(PolicySetEntries(parent));
  SendMessage(fd, kPolicySet, policySet, static_cast<uint32_t>(policySet.size()));
  const uint32_t after = Digest(fd);
  std::snprintf(digestText, sizeof digestText, "0x%08X", after);
  Say(std::string("digest after the policy set: ") + digestText);
  if (after != ParentPolicyDigest(parent)) Fail("the digest does not match the policy set");

  SendMessage(fd, kReportNoticeRequest);
  const uint32_t newest = U32At(Expect(fd, kReportNotice, "the report notice").body);
  Say("newest report id " + std::to_string(newest));
  if (newest != static_cast<uint32_t>(rows)) Fail("expected " + std::to_string(rows));

  int32_t afterId = 0;
  int pages = 0;
  std::vector<int32_t> ids;
  for (;;) {
    SendMessage(fd, kReportRowsRequest, U32s({static_cast<uint32_t>(afterId), 0xFFFFFFFFu}));
    const Message reply = Expect(fd, kReportRowsReply, "a rows block");
    const auto block = DecodeRowsBlock(reply.body.data(), reply.body.size());
    if (!block) Fail("a malformed rows block");
    if (block->empty()) break;
    ++pages;
    for (const auto& row : *block) ids.push_back(row.id);
    afterId = block->back().id;
  }
  Say("rows drained: " + std::to_string(ids.size()) + " in " + std::to_string(pages) + " pages");
  if (static_cast<int>(ids.size()) != rows) Fail("expected " + std::to_string(rows) + " rows");
  for (int i = 0; i < rows; ++i)
    if (ids[static_cast<std::size_t>(i)] != i + 1) Fail("row " + std::to_string(i + 1) + " is missing");

  SendMessage(fd, kUpdatePush, installer, static_cast<uint32_t>(installer.size()));
  Say("update pushed: " + std::to_string(installer.size()) + " bytes");
  // A digest request after the push shows the client read all of it.
  if (Digest(fd) != after) Fail("the digest changed after the update push");
  Say("session 1 done");

  // The service is restarted: the connection ends, a new one comes.
  while (ReadMessage(fd, "the end of the first connection")) {
  }
  close(fd);
  Say("connection closed by the service");

  fd = AcceptOne(listener);
  Hello(fd, clientId);
  const uint32_t restarted = Digest(fd);
  std::snprintf(digestText, sizeof digestText, "0x%08X", restarted);
  Say(std::string("digest after the restart: ") + digestText);
  if (restarted != after) Fail("the policy set did not survive the restart");
  Say("session 2 done");
  close(fd);
  close(listener);
  return 0;
}
