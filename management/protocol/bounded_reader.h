// A reader over a received body that never reads past its end: every read
// says whether the bytes were there. Internal to the protocol library; the
// decoders of untrusted bodies read through it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "management/protocol/little_endian.h"

namespace vx::management::detail {

class BoundedReader {
 public:
  BoundedReader(const uint8_t* bytes, std::size_t size) : bytes_(bytes), remaining_(size) {}

  std::size_t Remaining() const { return remaining_; }
  bool AtEnd() const { return remaining_ == 0; }

  // The next `count` bytes, at `at`; false (nothing taken) when fewer remain.
  [[nodiscard]] bool Take(std::size_t count, const uint8_t*& at) {
    if (count > remaining_) return false;
    at = bytes_;
    bytes_ += count;
    remaining_ -= count;
    return true;
  }

  [[nodiscard]] bool ReadU32(uint32_t& value) {
    const uint8_t* at = nullptr;
    if (!Take(4, at)) return false;
    value = GetU32(at);
    return true;
  }

 private:
  const uint8_t* bytes_;
  std::size_t remaining_;
};

}  // namespace vx::management::detail
