// The policy file against OpenSSL's AES-128-GCM: the file is standard GCM
// under the program's key and nonce, not merely what our own code wrote
// before. OpenSSL opens the reference file and a freshly written one, and a
// file that OpenSSL seals is loaded by the product.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>

#include "platform/file_io.h"
#include "policy/policy_cipher.h"
#include "policy/policy_file.h"
#include "policy/policy_store.h"
#include "tests/support/reference_policy.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using Bytes = std::vector<uint8_t>;

struct ContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

// Decrypts ciphertext followed by its 16-byte tag; nullopt unless the tag checks.
std::optional<Bytes> OpenSslOpen(const Bytes& file) {
  if (file.size() < kPolicyTagSize) return std::nullopt;
  const PolicyCipherKey parameters;
  CipherContext context(EVP_CIPHER_CTX_new());
  const int length = static_cast<int>(file.size() - kPolicyTagSize);
  Bytes plain(static_cast<std::size_t>(length) + 16);
  Bytes tag(file.end() - kPolicyTagSize, file.end());
  int written = 0, finalWritten = 0;
  if (!context || EVP_DecryptInit_ex(context.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kPolicyNonceSize, nullptr) != 1 ||
      EVP_DecryptInit_ex(context.get(), nullptr, nullptr, parameters.key, parameters.nonce) != 1 ||
      EVP_DecryptUpdate(context.get(), plain.data(), &written, file.data(), length) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kPolicyTagSize, tag.data()) != 1 ||
      EVP_DecryptFinal_ex(context.get(), plain.data() + written, &finalWritten) != 1)
    return std::nullopt;
  plain.resize(static_cast<std::size_t>(written + finalWritten));
  return plain;
}

// Encrypts and appends the 16-byte tag.
Bytes OpenSslSeal(const Bytes& plain) {
  const PolicyCipherKey parameters;
  CipherContext context(EVP_CIPHER_CTX_new());
  Bytes file(plain.size() + 16 + kPolicyTagSize);
  int written = 0, finalWritten = 0;
  const bool ok =
      context && EVP_EncryptInit_ex(context.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kPolicyNonceSize, nullptr) == 1 &&
      EVP_EncryptInit_ex(context.get(), nullptr, nullptr, parameters.key, parameters.nonce) == 1 &&
      EVP_EncryptUpdate(context.get(), file.data(), &written, plain.data(), static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(context.get(), file.data() + written, &finalWritten) == 1;
  EXPECT_TRUE(ok);
  const std::size_t cipherLength = static_cast<std::size_t>(written + finalWritten);
  EXPECT_EQ(cipherLength, plain.size());  // GCM is a stream mode: no padding
  EXPECT_EQ(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kPolicyTagSize, file.data() + cipherLength), 1);
  file.resize(cipherLength + kPolicyTagSize);
  return file;
}

Bytes ReadAll(const std::filesystem::path& path) { return platform::ReadFilePrefix(path, 4 << 20).value_or(Bytes{}); }

Bytes BytesOf(const PolicyState& state) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&state);
  return Bytes(bytes, bytes + sizeof state);
}

std::unique_ptr<PolicyState> Reference() {
  auto state = std::make_unique<PolicyState>();
  test::BuildReferencePolicy(*state);
  return state;
}

TEST(PolicyFileOpenSsl, OpensTheReferenceFileAndItHoldsTheReferenceRecord) {
  const Bytes golden = ReadAll(std::filesystem::path(VX_TEST_DATA_DIR) / "reference_configdb.dat");
  ASSERT_EQ(golden.size(), kPolicyFileSize) << "reference file missing";
  const auto plain = OpenSslOpen(golden);
  ASSERT_TRUE(plain.has_value()) << "OpenSSL refused the tag";
  EXPECT_EQ(*plain, BytesOf(*Reference()));

  // The helper really checks the tag: one flipped tag bit is refused.
  Bytes damaged = golden;
  damaged.back() ^= 0x01;
  EXPECT_FALSE(OpenSslOpen(damaged).has_value());
}

TEST(PolicyFileOpenSsl, OpensAFreshlyWrittenFile) {
  test::TempDir dir;
  auto state = Reference();
  state->lockCdDvd = 0;
  state->statusWord = 0xA5A5F00D;
  StoreFieldText(state->password, "another one");
  ASSERT_TRUE(WritePolicyFile(dir / "configdb.dat", *state));
  const auto plain = OpenSslOpen(ReadAll(dir / "configdb.dat"));
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(*plain, BytesOf(*state));
}

TEST(PolicyFileOpenSsl, AFileSealedByOpenSslIsLoadedByTheService) {
  test::TempDir dir;
  auto state = Reference();
  state->statusWord = 0x11223344;
  const Bytes sealed = OpenSslSeal(BytesOf(*state));
  ASSERT_EQ(sealed.size(), kPolicyFileSize);
  {
    std::ofstream out(dir / "configdb.dat", std::ios::binary);
    out.write(reinterpret_cast<const char*>(sealed.data()), static_cast<std::streamsize>(sealed.size()));
  }
  auto loaded = std::make_unique<PolicyState>();
  ASSERT_TRUE(ReadPolicyFile(dir / "configdb.dat", *loaded));
  EXPECT_EQ(BytesOf(*loaded), BytesOf(*state));

  // A service start takes it as it is (the reference record follows no
  // parent value that would change it) and writes back the same bytes.
  PolicyStore store(dir / "configdb.dat");
  store.LoadPolicy();
  EXPECT_EQ(store.Read([](const PolicyState& s) { return s.statusWord; }), 0x11223344u);
  EXPECT_EQ(ReadAll(dir / "configdb.dat"), sealed);
}

}  // namespace
}  // namespace vx
