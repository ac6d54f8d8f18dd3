// A 32-bit millisecond count that wraps every 49.7 days (GetTickCount),
// extended to 64 bits by counting its wraps: the stand-in for the 64-bit
// count on systems that lack one (Windows XP, see
// platform/windows/xp_tick_count64.cpp). Portable, so it is tested natively.
//
// The state holds the wraps counted so far (high 32 bits) and the last count
// seen (low 32 bits). A count below the last one seen means the counter
// wrapped, so a wrap is missed only when no one asks for the count for
// 49.7 days. Safe for any number of threads at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace vx {

using TickCountState = std::atomic<uint64_t>;
static_assert(TickCountState::is_always_lock_free, "the count is read without a lock");

// The 64-bit count for the 32-bit one that `readCount()` returns, read after
// the state so that no thread stores a later count between the two readings.
template <typename ReadCount>
uint64_t ExtendTickCount(TickCountState& state, ReadCount&& readCount) {
  uint64_t seen = state.load(std::memory_order_acquire);
  for (;;) {
    const uint32_t now = readCount();
    const uint32_t last = static_cast<uint32_t>(seen);
    uint64_t wraps = seen >> 32;
    // A count less than half the range below the last one is no wrap but a
    // count from an earlier moment (a counter read out of order): the last
    // one stands, so the result never goes back.
    if (now < last && last - now < 0x80000000u) return seen;
    if (now < last) ++wraps;
    const uint64_t next = (wraps << 32) | now;
    if (state.compare_exchange_weak(seen, next, std::memory_order_acq_rel, std::memory_order_acquire)) return next;
    // Another thread stored a count meanwhile: `seen` now holds it; read again.
  }
}

}  // namespace vx
