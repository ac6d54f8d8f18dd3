// The management client's whole session fed by a fuzzed server: the input
// is every byte the server sends on one connection, cut into pieces with a
// would-block report between them. The client runs its real thread routine
// over the real policy owner (configdb.dat) and report store (reportdb.dat)
// on a fake clock, and the stream is served from memory so every input is
// replayed exactly. Checks:
// - every message the client sends is well formed (a known type with a
//   valid checksum and the body its type calls for; a rows block decodes
//   and holds at most 131,072 bytes);
// - once the server stops sending without closing, the client is back in
//   its turn loop (or has closed) within the bounds: 30 s without progress
//   for the hello reply and a policySet body, 2000 empty polls otherwise;
// - no leak (LeakSanitizer), and no single allocation above 2 MiB (a
//   policySet body is at most 1 MiB, whatever length its header claims).
//
// The first input byte chooses: bit 0, the harness answers the hello itself
// (else the input must); bit 1, the end of the input closes the connection
// (else the server goes silent); bit 2, sends move at most 5 bytes a call
// with a would-block between calls; bits 4-7, the piece size.
#include <unistd.h>
#include <cstddef>
#include <cstdint>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "management/client_context.h"
#include "management/protocol/message_catalogue.h"
#include "management/protocol/message_header.h"
#include "management/protocol/rows_block.h"
#include "management/protocol/status_record.h"
#include "management/session_loop.h"
#include "monitor/report_store.h"
#include "policy/policy_store.h"
#include "tests/management/support/fake_session_clock.h"

namespace {

using namespace vx::management;

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr std::size_t kLargestAllocation = 2u << 20;
// Set while the client runs; the fuzzer's own allocations are not bounded.
bool boundAllocations = false;

void* Allocate(std::size_t size) {
  Check(!boundAllocations || size <= kLargestAllocation);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

constexpr SocketHandle kTheSocket = 3;
constexpr int64_t kStalledBoundMs = 31000 + 1000;  // 30 s without progress, counted in whole seconds, and a turn

class StreamSockets final : public SocketLayer {
 public:
  StreamSockets(const uint8_t* data, std::size_t size, vx::management::test::FakeSessionClock& clock,
                std::atomic<bool>& running)
      : clock_(clock), running_(running) {
    const uint8_t mode = size > 0 ? data[0] : 0;
    if (size > 0) ++data, --size;
    if (mode & 1) stream_ = {0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x01};
    stream_.insert(stream_.end(), data, data + size);
    closeAtEnd_ = (mode & 2) != 0;
    smallSends_ = (mode & 4) != 0;
    piece_ = 1 + (mode >> 4) * 97;
  }

  bool StartUp() override { return true; }
  void CleanUp() override {}
  std::vector<uint32_t> ResolveIpv4(const std::string&) override { return {0x7F000001}; }
  SocketHandle ConnectBlocking(uint32_t, uint16_t) override {
    // One connection: the input is its whole stream. A second attempt ends
    // the run.
    if (connected_++ > 0) {
      running_.store(false);
      return kInvalidSocket;
    }
    return kTheSocket;
  }
  bool SetNonBlocking(SocketHandle socket) override { return socket == kTheSocket; }
  int Send(SocketHandle socket, const uint8_t* bytes, int count) override {
    Check(socket == kTheSocket && !closed_ && count > 0);
    if (smallSends_ && (sendCalls_++ % 2) == 1) return WouldBlock();
    const int taken = smallSends_ && count > 5 ? 5 : count;
    sent_.insert(sent_.end(), bytes, bytes + taken);
    CheckSent();
    return taken;
  }
  int Receive(SocketHandle socket, uint8_t* buffer, int count) override {
    Check(socket == kTheSocket && !closed_ && count > 0);
    if (offset_ == stream_.size()) {
      if (closeAtEnd_) return 0;
      if (stalledAtMs_ < 0) stalledAtMs_ = clock_.NowMs();
      Check(clock_.NowMs() - stalledAtMs_ <= kStalledBoundMs);
      return WouldBlock();
    }
    // A would-block report between pieces.
    if (pieceLeft_ == 0) {
      pieceLeft_ = piece_;
      return WouldBlock();
    }
    std::size_t take = static_cast<std::size_t>(count);
    take = std::min({take, pieceLeft_, stream_.size() - offset_});
    std::copy(stream_.begin() + static_cast<std::ptrdiff_t>(offset_),
              stream_.begin() + static_cast<std::ptrdiff_t>(offset_ + take), buffer);
    offset_ += take;
    pieceLeft_ -= take;
    return static_cast<int>(take);
  }
  bool LastCallWouldBlock() override { return wouldBlock_; }
  WaitResult WaitWritable(SocketHandle, uint32_t) override { return WaitResult::Ready; }
  void Close(SocketHandle socket) override {
    Check(socket == kTheSocket && !closed_);
    closed_ = true;
    running_.store(false);
  }

  // Called for each turn's sleep: once the stream is silent and the client
  // is back in its loop, the run is over.
  void TurnSlept() {
    if (offset_ == stream_.size() && !closeAtEnd_) running_.store(false);
  }

 private:
  int WouldBlock() {
    wouldBlock_ = true;
    return -1;
  }

  // Parses what the client sent so far; every complete message must be one
  // the client may send, whole and well formed.
  void CheckSent() {
    wouldBlock_ = false;
    for (;;) {
      if (sent_.size() - parsed_ < kHeaderSize) return;
      const uint8_t* at = sent_.data() + parsed_;
      const auto header = DecodeHeader(at);
      Check(header.has_value());
      const MessageKind* kind = FindMessage(header->type);
      Check(kind != nullptr && kind->direction == Direction::ClientToServer);
      std::size_t body = kind->fixedBodySize;
      if (kind->lengthField == LengthField::BodySize) {
        Check(header->length <= kMaxRowsBlockSize);
        body = header->length;
      } else {
        Check(header->length == 0);
      }
      if (sent_.size() - parsed_ - kHeaderSize < body) return;
      if (header->type == kReportRowsReply) Check(DecodeRowsBlock(at + kHeaderSize, body).has_value());
      if (header->type == kStatusReply) Check(DecodeStatusRecord(at + kHeaderSize, body).has_value());
      parsed_ += kHeaderSize + body;
      // Keep memory flat over long runs.
      if (parsed_ == sent_.size()) {
        sent_.clear();
        parsed_ = 0;
      }
    }
  }

  vx::management::test::FakeSessionClock& clock_;
  std::atomic<bool>& running_;
  std::vector<uint8_t> stream_;
  std::size_t offset_ = 0;
  std::size_t piece_ = 1;
  std::size_t pieceLeft_ = 0;
  bool closeAtEnd_ = false;
  bool smallSends_ = false;
  bool wouldBlock_ = false;
  bool closed_ = false;
  int connected_ = 0;
  uint64_t sendCalls_ = 0;
  int64_t stalledAtMs_ = -1;
  std::vector<uint8_t> sent_;
  std::size_t parsed_ = 0;
};

class FixedStatus final : public StatusSource {
 public:
  uint32_t TickCount() override { return 4000000000u; }
  std::u16string ComputerName() override { return u"FUZZ-PC"; }
  uint8_t AcLineStatus() override { return 0; }
  uint32_t Version() override { return 0x1DB10106; }
};

// The pushed installer kept in memory; a start is only counted.
class MemoryInstaller final : public UpdateInstaller {
 public:
  class File final : public UpdateFile {
   public:
    explicit File(std::size_t& size) : size_(size) {}
    bool Write(const uint8_t*, std::size_t count) override {
      Check(count > 0 && count <= 65536);
      size_ += count;
      return true;
    }
    bool Close() override { return true; }

   private:
    std::size_t& size_;
  };
  std::unique_ptr<UpdateFile> CreateTarget(const std::wstring&) override {
    size_ = 0;
    return std::make_unique<File>(size_);
  }
  bool StartProcess(const std::wstring& commandLine, const std::wstring&) override {
    Check(!commandLine.empty() && commandLine.front() == L'"' && commandLine.back() == L'"');
    return true;
  }

 private:
  std::size_t size_ = 0;
};

// The install directory on a memory file system when there is one, so the
// policy's saves cost little.
const std::filesystem::path& InstallDir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                     : std::filesystem::temp_directory_path();
    std::filesystem::path path = base / ("vx-session-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    vx::ReportStore store(path / "reportdb.dat");
    std::vector<vx::ReportRow> rows;
    for (int i = 0; i < 40; ++i)
      rows.push_back({1700000000 + i, i % 5 ? "Kingston" : std::string(120, 'K'), "DataTraveler",
                      "SN" + std::to_string(i), i % 3});
    Check(store.StoreBatch(rows) == rows.size());
    return path;
  }();
  return dir;
}

class TurnClock final : public SessionClock {
 public:
  TurnClock(vx::management::test::FakeSessionClock& inner, StreamSockets*& sockets)
      : inner_(inner), sockets_(sockets) {}
  int64_t WallSeconds() override { return inner_.WallSeconds(); }
  void SleepMilliseconds(uint32_t milliseconds) override {
    inner_.SleepMilliseconds(milliseconds);
    if (milliseconds == 100 && sockets_) sockets_->TurnSlept();
  }
  void YieldTimeSlice() override { inner_.YieldTimeSlice(); }

 private:
  vx::management::test::FakeSessionClock& inner_;
  StreamSockets*& sockets_;
};

}  // namespace

// Every allocation of the client's C++ code goes through the bound.
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
  const std::filesystem::path& dir = InstallDir();
  std::filesystem::remove(dir / "configdb.dat");  // each input starts from the default policy
  vx::PolicyStore policy(dir / "configdb.dat");
  policy.LoadPolicy();

  std::atomic<bool> running{true};
  std::atomic<int32_t> reportsStored{1};
  vx::management::test::FakeSessionClock fakeClock;
  StreamSockets* current = nullptr;
  TurnClock clock(fakeClock, current);
  StreamSockets sockets(data, size, fakeClock, running);
  current = &sockets;
  FixedStatus status;
  MemoryInstaller installer;
  std::wstring installDir = dir.wstring() + L"/";
  ClientContext context{vx::ManagementSettings{1, "fuzz.server", {}},
                        running,
                        reportsStored,
                        policy,
                        installDir,
                        sockets,
                        clock,
                        status,
                        installer,
                        {}};
  boundAllocations = true;
  const int result = ManagementClientThread(context);
  boundAllocations = false;
  Check(result == 0);
  return 0;
}
