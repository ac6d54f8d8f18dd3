// Any key name, of any length and content: the parser stays inside the
// counted name (ASan checks the exact-size copy) and always yields four
// terminated texts of at most 63 characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/core/identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t length = size / 2;
  std::vector<uint16_t> name(length);
  if (length > 0) std::memcpy(name.data(), data, length * 2);
  vx::driver::DEVICE_IDENTITY identity;
  std::memset(&identity, 0xAB, sizeof identity);
  vx::driver::ParseDeviceIdentity(length ? name.data() : nullptr, length, &identity);
  for (const char* text : {identity.vendor, identity.product, identity.revision, identity.serial}) {
    if (std::memchr(text, 0, 64) == nullptr) std::abort();
    // Zero bytes after the terminator.
    const size_t end = std::strlen(text);
    for (size_t i = end; i < 64; ++i) {
      if (text[i] != 0) std::abort();
    }
  }
  return 0;
}
