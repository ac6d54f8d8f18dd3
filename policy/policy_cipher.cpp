#include "policy/policy_cipher.h"

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/gcm.h>

#include <cstring>
#include <memory>
#include <vector>

namespace vx {
namespace {

// Each byte of `words` in turn, lowest first.
void AssembleWords(const uint32_t (&words)[4], uint8_t (&out)[16]) {
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t b = 0; b < 4; ++b) out[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
}

// Wipes through a volatile pointer, so the compiler keeps the stores.
void Wipe(uint8_t* bytes, std::size_t size) {
  volatile uint8_t* target = bytes;
  for (std::size_t i = 0; i < size; ++i) target[i] = 0;
}

void SealInto(std::span<const uint8_t> plaintext, uint8_t* out) {
  PolicyCipherKey parameters;
  CryptoPP::GCM<CryptoPP::AES>::Encryption cipher;
  cipher.SetKeyWithIV(parameters.key, kPolicyKeySize, parameters.nonce, kPolicyNonceSize);
  CryptoPP::AuthenticatedEncryptionFilter filter(
      cipher, new CryptoPP::ArraySink(out, plaintext.size() + kPolicyTagSize), false, static_cast<int>(kPolicyTagSize));
  filter.Put(plaintext.data(), plaintext.size());
  filter.MessageEnd();
}

}  // namespace

PolicyCipherKey::PolicyCipherKey() {
  AssembleWords({0x5E7A4C31u, 0xA9D2308Bu, 0x176BE4F0u, 0xC3085D92u}, key);
  AssembleWords({0x2B91F6D4u, 0x80E3175Au, 0x4FC6A209u, 0x6D5B38E1u}, nonce);
}

PolicyCipherKey::~PolicyCipherKey() {
  Wipe(key, sizeof key);
  Wipe(nonce, sizeof nonce);
}

void SealPolicy(const PolicyState& state, SealedPolicy& out) {
  SealInto({reinterpret_cast<const uint8_t*>(&state), sizeof state}, out.data());
}

std::vector<uint8_t> SealBytes(std::span<const uint8_t> plaintext) {
  std::vector<uint8_t> sealed(plaintext.size() + kPolicyTagSize);
  SealInto(plaintext, sealed.data());
  return sealed;
}

bool OpenSealedPolicy(std::span<const uint8_t> sealed, PolicyState& out) {
  // Any other length cannot hold one record and its tag; with a fixed key
  // and nonce it would fail the tag check or the length check below anyway.
  if (sealed.size() != kPolicyFileSize) return false;
  PolicyCipherKey parameters;
  auto plain = std::make_unique<PolicyState>();
  try {
    CryptoPP::GCM<CryptoPP::AES>::Decryption cipher;
    cipher.SetKeyWithIV(parameters.key, kPolicyKeySize, parameters.nonce, kPolicyNonceSize);
    auto* sink = new CryptoPP::ArraySink(reinterpret_cast<CryptoPP::byte*>(plain.get()), sizeof *plain);
    CryptoPP::AuthenticatedDecryptionFilter filter(
        cipher, sink,
        CryptoPP::AuthenticatedDecryptionFilter::MAC_AT_END | CryptoPP::AuthenticatedDecryptionFilter::THROW_EXCEPTION,
        static_cast<int>(kPolicyTagSize));
    filter.Put(sealed.data(), sealed.size());
    filter.MessageEnd();
    if (sink->TotalPutLength() != sizeof *plain) return false;
  } catch (const CryptoPP::Exception&) {
    return false;
  }
  std::memcpy(&out, plain.get(), sizeof out);
  return true;
}

}  // namespace vx
