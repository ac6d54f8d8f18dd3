#include "driver/core/identity.h"

namespace vx::driver {

namespace {

constexpr size_t kMaxText = USB_PATTERN_SIZE - 1;

void ZeroText(char* text) {
  for (size_t i = 0; i < USB_PATTERN_SIZE; ++i) text[i] = 0;
}

void CopyAscii(char* text, const char* source) {
  size_t i = 0;
  for (; source[i] != 0 && i < kMaxText; ++i) text[i] = source[i];
  for (; i < USB_PATTERN_SIZE; ++i) text[i] = 0;
}

bool StartsWith(const uint16_t* name, size_t length, size_t at, const char* prefix) {
  for (size_t k = 0; prefix[k] != 0; ++k) {
    if (at + k >= length || name[at + k] != static_cast<uint16_t>(prefix[k])) return false;
  }
  return true;
}

char StoredChar(uint16_t c) {
  const char low = static_cast<char>(c & 0xFF);
  return low == '_' ? ' ' : low;
}

bool IsSeparator(uint16_t c) { return c == '&' || c == '\\'; }

// A character whose low byte is 0 would be stored as a terminator: the text
// ends there, and nothing after it may follow the zero.
bool EndsText(uint16_t c) { return (c & 0xFF) == 0; }

// Replaces the whole field with the characters from `p` up to a separator or
// the end: keeps the first 63, or those before a character that ends the
// text, and passes over the rest so `p` still ends on the separator. Every
// byte after the stored text is zero, so a later part with the same prefix
// leaves nothing of an earlier, longer one behind.
size_t CopyField(const uint16_t* name, size_t length, size_t p, char* text) {
  ZeroText(text);
  size_t stored = 0;
  bool ended = false;
  for (; p < length && !IsSeparator(name[p]); ++p) {
    ended = ended || EndsText(name[p]);
    if (!ended && stored < kMaxText) text[stored++] = StoredChar(name[p]);
  }
  return p;
}

}  // namespace

void ParseDeviceIdentity(const uint16_t* name, size_t length, DEVICE_IDENTITY* identity) {
  ZeroText(identity->vendor);
  ZeroText(identity->product);
  ZeroText(identity->revision);
  ZeroText(identity->serial);

  static const char kMarker[] = "USBSTOR\\Disk&";
  constexpr size_t kMarkerLength = sizeof(kMarker) - 1;
  bool found = false;
  size_t p = 0;
  if (name != nullptr && length >= kMarkerLength) {
    for (size_t s = 0; s + kMarkerLength <= length && !found; ++s) {
      if (StartsWith(name, length, s, kMarker)) {
        found = true;
        p = s + kMarkerLength;
      }
    }
  }
  if (!found) {
    CopyAscii(identity->vendor, "Generic");
    CopyAscii(identity->product, "USB Disk");
    CopyAscii(identity->revision, "1.0");
    CopyAscii(identity->serial, "1");
    return;
  }

  while (p < length) {
    if (name[p] == '\\') break;
    char* field = nullptr;
    if (StartsWith(name, length, p, "Ven_")) {
      p += 4;
      field = identity->vendor;
    } else if (StartsWith(name, length, p, "Prod_")) {
      p += 5;
      field = identity->product;
    } else if (StartsWith(name, length, p, "Rev_")) {
      p += 4;
      field = identity->revision;
    }
    if (field == nullptr) {
      ++p;
      continue;
    }
    p = CopyField(name, length, p, field);
    if (p < length && name[p] == '&') ++p;
  }

  if (p < length && name[p] == '\\') {
    ++p;
    for (size_t stored = 0; p < length && !IsSeparator(name[p]) && !EndsText(name[p]) && stored < kMaxText; ++p) {
      identity->serial[stored++] = StoredChar(name[p]);
    }
  }
}

}  // namespace vx::driver
