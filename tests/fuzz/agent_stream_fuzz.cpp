// The server's agent session fed by a fuzzed agent: the input is every byte
// the agent sends on one connection, cut into pieces with time passing and
// the session's tick between them. The session runs over a real SQLite store
// (a fresh one per input, on a memory file system when there is one) that
// holds a fleet policy and a queued update, so every path of the session can
// be reached. Checks:
// - the session never offers more read space than the message under way
//   may still need (at most a 131,072-byte rows block), and none once ended;
// - everything it sends is a well-formed server-to-client message (a known
//   type, the body its type calls for, a policySet that decodes whole);
// - the stored cursor is the highest id stored in the current epoch, and no
//   page mixes epochs;
// - no leak (LeakSanitizer), and no single allocation above 2 MiB.
//
// The first input byte chooses: bit 0, the harness says hello first (else
// the input must); bits 1-3, how much time passes between pieces (0 to 7 x
// 5 s); bits 4-7, the piece size (1 + n x 97 bytes).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/message_header.h"
#include "management/protocol/policy_list.h"
#include "server/agent_session.h"
#include "server/store/sqlite_store.h"

namespace {

using namespace vx::management;
using namespace vx::server;

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr std::size_t kLargestAllocation = 2u << 20;
bool boundAllocations = false;  // set while the session runs; the harness's own allocations are free

void* Allocate(std::size_t size) {
  Check(!boundAllocations || size <= kLargestAllocation);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

const AgentId kAgent{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

class FuzzClock final : public ServerClock {
 public:
  int64_t SteadyMs() override { return nowMs; }
  int64_t WallSeconds() override { return 1700000000 + nowMs / 1000; }
  int64_t nowMs = 0;
};

class QuietLog final : public SessionLog {
 public:
  void Write(LogLevel, const std::string&) override {}
};

class OneDirectory final : public AgentDirectory {
 public:
  bool Claim(const AgentId&, AgentSession&, std::string&) override { return true; }
  void Release(const AgentId&, const AgentSession&) override {}
};

const std::filesystem::path& WorkDir() {
  static const std::filesystem::path dir = [] {
    const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                           : std::filesystem::temp_directory_path();
    auto path = base / ("vx-agent-stream-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return dir;
}

// Parses what the session sent; every complete message must be one a server
// sends, whole and well formed.
class OutputChecker {
 public:
  void Add(std::span<const uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    for (;;) {
      if (pending_.size() < kHeaderSize) return;
      const auto header = DecodeHeader(pending_.data());
      Check(header.has_value());
      const MessageKind* kind = FindMessage(header->type);
      Check(kind != nullptr && kind->direction == Direction::ServerToClient);
      std::size_t body = kind->fixedBodySize;
      if (kind->lengthField == LengthField::BodySize) {
        Check(header->length <= (header->type == kPolicySet ? kMaxPolicySetBody : kMaxUpdateSize));
        body = header->length;
      } else {
        Check(header->length == 0);
      }
      if (header->type == kUpdatePush) {
        // File bytes are passed over as they come; they are the store's.
        updateLeft_ = body;
        pending_.erase(pending_.begin(), pending_.begin() + kHeaderSize);
        SkipUpdate();
        if (updateLeft_ > 0) return;
        continue;
      }
      if (pending_.size() - kHeaderSize < body) return;
      if (header->type == kPolicySet) Check(DecodePolicyList(pending_.data() + kHeaderSize, body).complete);
      if (header->type == kHelloReply) Check(pending_[kHeaderSize] == 0 || pending_[kHeaderSize] == 1);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + body));
    }
  }
  void SkipUpdate() {
    const std::size_t skip = std::min(updateLeft_, pending_.size());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(skip));
    updateLeft_ -= skip;
  }
  void Feed(std::span<const uint8_t> bytes) {
    if (updateLeft_ > 0) {
      const std::size_t skip = std::min(updateLeft_, bytes.size());
      updateLeft_ -= skip;
      bytes = bytes.subspan(skip);
    }
    if (!bytes.empty()) Add(bytes);
  }

 private:
  std::vector<uint8_t> pending_;
  std::size_t updateLeft_ = 0;
};

void Drain(AgentSession& session, OutputChecker& checker) {
  for (int i = 0; i < 64 && !session.Output().empty(); ++i) {
    const auto out = session.Output();
    checker.Feed(out);
    session.Sent(out.size());
  }
}

void CheckReadSpace(AgentSession& session) {
  const std::size_t space = session.ReadSpace().size();
  Check(space <= kMaxRowsBlockSize);
  if (session.Ended()) Check(space == 0);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  Check(!boundAllocations || size <= kLargestAllocation);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path database = WorkDir() / "vxmgmtd.db";
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(database.string() + suffix);
  auto opened = OpenSqliteStore(database, StoreOpenOptions{.readOnly = false, .durableCommits = false});
  Check(opened.ok());
  std::unique_ptr<Store> store = std::move(opened).value();
  ParentPolicy fleet;
  fleet.ruleUsb__Parent = std::string(528, '0');
  fleet.lockFloppy__Parent = 1;
  Check(store->SetFleetPolicy(fleet, 1).ok());
  Check(store->RecordHello(kAgent, EnrollMode::Open, "fuzz", 1).ok());
  Check(store->QueueUpdate(std::vector<AgentId>{kAgent}, "fuzz.exe", std::vector<uint8_t>(70000, 0x5A), 1).ok());
  const auto instance = store->RegisterInstance(InstanceInfo{"fuzz", "127.0.0.1:1", 1}, true, 1);
  Check(instance.ok());
  SessionSettings settings;
  settings.instanceId = *instance;

  const uint8_t mode = size > 0 ? data[0] : 0;
  std::vector<uint8_t> stream;
  if (mode & 1) {
    const auto hello = EncodeHeader(MessageHeader{kHello, 0});
    stream.assign(hello.begin(), hello.end());
    stream.insert(stream.end(), kAgent.begin(), kAgent.end());
  }
  if (size > 0) stream.insert(stream.end(), data + 1, data + size);
  const int64_t stepMs = ((mode >> 1) & 7) * 5000;
  const std::size_t piece = 1 + (mode >> 4) * 97;

  FuzzClock clock;
  QuietLog log;
  OneDirectory directory;
  OutputChecker checker;
  {
    boundAllocations = true;
    AssignmentEncodings encodings;
    AgentSession session(*store, clock, log, directory, encodings, settings, "127.0.0.1:1");
    std::span<const uint8_t> rest(stream);
    while (!rest.empty() && !session.Ended()) {
      const std::size_t count = std::min(piece, rest.size());
      session.Feed(rest.first(count));
      rest = rest.subspan(count);
      CheckReadSpace(session);
      Drain(session, checker);
      clock.nowMs += stepMs;
      session.Tick();
      Drain(session, checker);
      CheckReadSpace(session);
    }
    // Then silence: the bounds end the session.
    for (int i = 0; i < 40 && !session.Ended(); ++i) {
      clock.nowMs += 5000;
      session.Tick();
      Drain(session, checker);
    }
    Check(session.Ended());
    CheckReadSpace(session);
    boundAllocations = false;
  }

  // The cursor is the highest id stored in the current epoch.
  const auto cursor = store->GetReportCursor(kAgent);
  Check(cursor.ok());
  const auto newest =
      store->ListReports(ReportQuery{.agent = kAgent, .epoch = cursor->epoch, .newestFirst = true, .limit = 1});
  Check(newest.ok());
  Check(cursor->lastId == (newest->empty() ? 0 : newest->front().row.id));
  Check(!store->FindAgent(kAgent)->connected);
  return 0;
}
