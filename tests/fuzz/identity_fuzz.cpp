// Any key name, of any length and content: the parser stays inside the
// counted name (ASan checks the exact-size copy), always yields four
// terminated texts of at most 63 characters with zeros after the terminator,
// and gives the same identity as a plain reading of the rules written here
// with the standard library: the part after "USBSTOR\Disk&" is read part by
// part; a Ven_, Prod_ or Rev_ part replaces its text whole; a text ends at a
// separator, at a character whose low byte is 0, or after 63 characters; the
// serial follows the first `\`.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/core/identity.h"

namespace {

using Name = std::u16string;
using Identity = vx::driver::DEVICE_IDENTITY;

// The stored form of one part's characters, zero-padded to 64 bytes.
void Store(const Name& part, char* field) {
  std::memset(field, 0, 64);
  for (size_t i = 0; i < part.size() && i < 63; ++i) {
    const char low = static_cast<char>(part[i] & 0xFF);
    if (low == 0) break;
    field[i] = low == '_' ? ' ' : low;
  }
}

Identity ReferenceParse(const Name& name) {
  Identity id;
  std::memset(&id, 0, sizeof id);
  const Name marker = u"USBSTOR\\Disk&";
  const size_t found = name.find(marker);
  if (found == Name::npos) {
    std::strcpy(id.vendor, "Generic");
    std::strcpy(id.product, "USB Disk");
    std::strcpy(id.revision, "1.0");
    std::strcpy(id.serial, "1");
    return id;
  }
  const struct {
    Name prefix;
    char* field;
  } parts[] = {{u"Ven_", id.vendor}, {u"Prod_", id.product}, {u"Rev_", id.revision}};
  size_t p = found + marker.size();
  while (p < name.size() && name[p] != u'\\') {
    bool matched = false;
    for (const auto& part : parts) {
      if (name.compare(p, part.prefix.size(), part.prefix) != 0) continue;
      const size_t start = p + part.prefix.size();
      const size_t end = std::min(name.find_first_of(u"&\\", start), name.size());
      Store(name.substr(start, end - start), part.field);
      p = end < name.size() && name[end] == u'&' ? end + 1 : end;
      matched = true;
      break;
    }
    if (!matched) ++p;
  }
  if (p < name.size() && name[p] == u'\\') {
    const size_t start = p + 1;
    const size_t end = std::min(name.find_first_of(u"&\\", start), name.size());
    Store(name.substr(start, end - start), id.serial);
  }
  return id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t length = size / 2;
  std::vector<uint16_t> name(length);
  if (length > 0) std::memcpy(name.data(), data, length * 2);
  Identity identity;
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
  const Identity expected = ReferenceParse(Name(name.begin(), name.end()));
  if (std::memcmp(&identity, &expected, sizeof identity) != 0) std::abort();
  return 0;
}
