// Built into the Windows builds' Crypto++ archive beside the library's own
// files for AES-GCM and SHA (scripts/build_third_party.sh). Two things the
// full library gets from files the subset leaves out:
//   - the explicit instances of the stream-cipher templates (CTR under GCM),
//     which the full build makes in dll.cpp, a file that draws in every
//     public-key algorithm;
//   - the two helpers of integer.cpp that the parameter and error-text code
//     names: no parameter of AES, GCM or SHA is a big integer, so an int is
//     never asked for as one, and IntToString<word64> is the library's own
//     digit loop.
#define CRYPTOPP_MANUALLY_INSTANTIATE_TEMPLATES
#define CRYPTOPP_DEFAULT_NO_DLL
#include "algparam.h"
#include "misc.h"
#include "modes.h"
#include "strciphr.h"

NAMESPACE_BEGIN(CryptoPP)

bool AssignIntToInteger(const std::type_info&, void*, const void*) { return false; }

template <>
std::string IntToString<word64>(word64 value, unsigned int base) {
  // The high bit of the base asks for upper-case letters.
  const unsigned int kUpperCase = 1U << 31;
  const char letter = (base & kUpperCase) ? 'A' : 'a';
  base &= ~kUpperCase;
  if (value == 0) return "0";
  std::string result;
  while (value > 0) {
    const word64 digit = value % base;
    result = char((digit < 10 ? '0' : (letter - 10)) + digit) + result;
    value /= base;
  }
  return result;
}

NAMESPACE_END
