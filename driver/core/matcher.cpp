#include "driver/core/matcher.h"

namespace vx::driver {

namespace {

// Reads a 64-byte field: the search length runs to the first zero (64 when
// there is none) and the exact length is 0 for a field without a zero.
void FoldField(const char* field, uint8_t* folded, uint8_t* length, uint8_t* exactLength) {
  uint8_t n = 0;
  while (n < USB_PATTERN_SIZE && field[n] != 0) {
    folded[n] = FoldChar(static_cast<uint8_t>(field[n]));
    ++n;
  }
  for (uint8_t i = n; i < USB_PATTERN_SIZE; ++i) folded[i] = 0;
  *length = n;
  *exactLength = n < USB_PATTERN_SIZE ? n : 0;
}

// Whether `count` folded bytes are equal, eight at a time. Both sides are
// 64-byte fields and callers stay within them.
bool EqualBytes(const uint8_t* a, const uint8_t* b, unsigned count) {
  unsigned i = 0;
  for (; i + 8 <= count; i += 8) {
    uint64_t wordA;
    uint64_t wordB;
    __builtin_memcpy(&wordA, a + i, 8);
    __builtin_memcpy(&wordB, b + i, 8);
    if (wordA != wordB) return false;
  }
  for (; i < count; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

uint8_t FoldChar(uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - ('a' - 'A')) : c; }

void PreparePattern(const char* field, PREPARED_PATTERN* pattern) {
  FoldField(field, pattern->folded, &pattern->length, &pattern->exactLength);
}

void PrepareText(const char* field, PREPARED_TEXT* text) {
  FoldField(field, text->folded, &text->length, &text->exactLength);
  for (uint64_t& mask : text->positions) mask = 0;
  for (uint8_t i = 0; i < text->length; ++i) text->positions[text->folded[i]] |= uint64_t{1} << i;
}

void PrepareIdentity(const DEVICE_IDENTITY* identity, PREPARED_IDENTITY* prepared) {
  PrepareText(identity->vendor, &prepared->vendor);
  PrepareText(identity->product, &prepared->product);
  PrepareText(identity->revision, &prepared->revision);
  PrepareText(identity->serial, &prepared->serial);
}

int FindNoCase(const PREPARED_TEXT* text, const PREPARED_PATTERN* pattern) {
  const unsigned n = text->length;
  const unsigned m = pattern->length;
  if (n == 0 || m > n) return -1;
  if (m == 0) return 0;
  // Bit s stands for "the pattern may start at s"; only starts that leave
  // room for the whole pattern are candidates. The last character thins
  // them out first, then each character in turn.
  const unsigned starts = n - m + 1;
  uint64_t candidates = starts >= 64 ? ~uint64_t{0} : (uint64_t{1} << starts) - 1;
  candidates &= text->positions[pattern->folded[m - 1]] >> (m - 1);
  for (unsigned k = 0; k < m; ++k) {
    candidates &= text->positions[pattern->folded[k]] >> k;
    if (candidates == 0) return -1;
    if ((candidates & (candidates - 1)) == 0) {
      // One start left: compare the rest of the pattern directly.
      const unsigned s = static_cast<unsigned>(__builtin_ctzll(candidates));
      return EqualBytes(text->folded + s + k + 1, pattern->folded + k + 1, m - k - 1) ? static_cast<int>(s) : -1;
    }
  }
  return __builtin_ctzll(candidates);
}

bool MatchField(const PREPARED_TEXT* text, const PREPARED_PATTERN* pattern, bool exact) {
  if (!exact) return FindNoCase(text, pattern) >= 0;
  if (text->exactLength != pattern->exactLength) return false;
  // Equal exact lengths: an occurrence at 0 means equal texts.
  const unsigned m = pattern->length;
  if (text->length == 0 || m > text->length) return false;
  return EqualBytes(text->folded, pattern->folded, m);
}

}  // namespace vx::driver
