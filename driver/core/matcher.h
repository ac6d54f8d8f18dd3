// Case-insensitive matching of rule patterns against a disk's identity.
//
// Both sides are prepared once: a pattern when the rule list is set, a disk's
// texts when the disk arrives. Preparing folds a to z onto A to Z (the same
// folding on every code page) and, for a text, records for every byte value
// the set of positions where it occurs. A search then keeps all candidate
// start positions in one 64-bit word and removes, for each pattern character,
// the starts where that character is not found: a few instructions per
// pattern character, and usually done after the first one or two.
#pragma once

#include <stdint.h>

#include "driver/core/identity.h"

namespace vx::driver {

// A rule pattern. `length` is what a search compares: the characters before
// the first zero, or all 64 when the field holds no zero. `exactLength` is
// what the exact comparison counts: 0 when the field holds no zero.
struct PREPARED_PATTERN {
  uint8_t length;
  uint8_t exactLength;
  uint8_t folded[USB_PATTERN_SIZE];
};

// A disk's text with the positions of each byte value (bit i of
// positions[c] is set when folded character i is c).
struct PREPARED_TEXT {
  uint8_t length;
  uint8_t exactLength;
  uint8_t folded[USB_PATTERN_SIZE];
  uint64_t positions[256];
};

struct PREPARED_IDENTITY {
  PREPARED_TEXT vendor;
  PREPARED_TEXT product;
  PREPARED_TEXT revision;
  PREPARED_TEXT serial;
};

uint8_t FoldChar(uint8_t c);

// Both read exactly the 64 bytes of the field and never past it.
void PreparePattern(const char* field, PREPARED_PATTERN* pattern);
void PrepareText(const char* field, PREPARED_TEXT* text);
void PrepareIdentity(const DEVICE_IDENTITY* identity, PREPARED_IDENTITY* prepared);

// Position of the first occurrence of the pattern in the text ignoring case,
// or -1. An empty text has no occurrence, even of an empty pattern; an empty
// pattern occurs at 0 in any other text.
int FindNoCase(const PREPARED_TEXT* text, const PREPARED_PATTERN* pattern);

// Not exact: the pattern occurs somewhere in the text. Exact: it occurs at 0
// and both have the same length, i.e. the texts are equal ignoring case.
bool MatchField(const PREPARED_TEXT* text, const PREPARED_PATTERN* pattern, bool exact);

}  // namespace vx::driver
