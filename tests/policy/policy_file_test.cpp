#include "policy/policy_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/file_io.h"
#include "policy/policy_cipher.h"
#include "policy/policy_store.h"
#include "policy/rule_text.h"
#include "tests/support/reference_policy.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vx {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::filesystem::path& path) { return platform::ReadFilePrefix(path, 4 << 20).value_or(Bytes{}); }

void WriteAll(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::unique_ptr<PolicyState> Reference() {
  auto state = std::make_unique<PolicyState>();
  test::BuildReferencePolicy(*state);
  return state;
}

std::unique_ptr<PolicyState> Default() {
  auto state = std::make_unique<PolicyState>();
  BuildDefaultPolicy(*state);
  CopyParentValues(*state);
  return state;
}

bool SameRecord(const PolicyState& a, const PolicyState& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class PolicyFileTest : public testing::Test {
 protected:
  std::filesystem::path File() const { return dir_ / "configdb.dat"; }

  // What a service start makes of the file now on disk.
  std::unique_ptr<PolicyState> StartService() {
    PolicyStore store(File());
    store.LoadPolicy();
    auto state = std::make_unique<PolicyState>();
    store.Read([&](const PolicyState& s) { std::memcpy(state.get(), &s, sizeof s); });
    return state;
  }

  test::TempDir dir_;
};

TEST_F(PolicyFileTest, SavedFileIsOneSealedRecordAndDeterministic) {
  const auto state = Reference();
  ASSERT_TRUE(WritePolicyFile(File(), *state));
  const Bytes first = ReadAll(File());
  EXPECT_EQ(first.size(), 131360u);
  ASSERT_TRUE(WritePolicyFile(File(), *state));
  EXPECT_EQ(ReadAll(File()), first);
  EXPECT_FALSE(std::filesystem::exists(platform::ReplacementFileFor(File())));

  auto loaded = std::make_unique<PolicyState>();
  ASSERT_TRUE(ReadPolicyFile(File(), *loaded));
  EXPECT_TRUE(SameRecord(*loaded, *state));
}

// The same record seals to these bytes in every build; a change of key,
// nonce or layout would make every existing policy file unreadable.
TEST_F(PolicyFileTest, MatchesTheReferenceFileOfEveryBuild) {
  const Bytes golden = ReadAll(std::filesystem::path(VX_TEST_DATA_DIR) / "reference_configdb.dat");
  ASSERT_EQ(golden.size(), 131360u) << "reference file missing";
  ASSERT_TRUE(WritePolicyFile(File(), *Reference()));
  EXPECT_EQ(ReadAll(File()), golden);
}

TEST_F(PolicyFileTest, FirstStartWithoutAFileWritesTheDefaultPolicy) {
  const auto state = StartService();
  EXPECT_TRUE(SameRecord(*state, *Default()));
  auto onDisk = std::make_unique<PolicyState>();
  ASSERT_TRUE(ReadPolicyFile(File(), *onDisk));
  EXPECT_TRUE(SameRecord(*onDisk, *Default()));
}

TEST_F(PolicyFileTest, AValidFileIsLoadedAndRewrittenUnchanged) {
  ASSERT_TRUE(WritePolicyFile(File(), *Reference()));
  const Bytes before = ReadAll(File());
  EXPECT_TRUE(SameRecord(*StartService(), *Reference()));
  EXPECT_EQ(ReadAll(File()), before);
}

TEST_F(PolicyFileTest, AMissingFileAfterARunGivesTheDefaultNotTheLastPolicy) {
  ASSERT_TRUE(WritePolicyFile(File(), *Reference()));
  std::filesystem::remove(File());
  EXPECT_TRUE(SameRecord(*StartService(), *Default()));
}

// Every damaged file is replaced by the default policy at the next start.
TEST_F(PolicyFileTest, UnusableFilesFallBackToTheDefaultAndAreRewritten) {
  ASSERT_TRUE(WritePolicyFile(File(), *Reference()));
  const Bytes good = ReadAll(File());
  ASSERT_TRUE(WritePolicyFile(File(), *Default()));
  const Bytes defaultFile = ReadAll(File());
  const auto reference = Reference();
  const auto* referenceBytes = reinterpret_cast<const uint8_t*>(reference.get());
  Bytes plain(referenceBytes, referenceBytes + sizeof(PolicyState));

  struct Case {
    const char* what;
    Bytes bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}});
  cases.push_back({"15 bytes", Bytes(good.begin(), good.begin() + 15)});
  cases.push_back({"tag only", Bytes(good.end() - 16, good.end())});
  cases.push_back({"cut to 131,359 bytes", Bytes(good.begin(), good.end() - 1)});
  Bytes longer = good;
  longer.push_back(0);
  cases.push_back({"one byte longer", longer});
  Bytes huge = good;
  huge.resize((1 << 20) + 100, 0);
  cases.push_back({"longer than 1 MiB", huge});
  Bytes plainShort(plain.begin(), plain.end() - 1);
  cases.push_back({"plaintext of 131,343 bytes", SealBytes(plainShort)});
  Bytes plainLong = plain;
  plainLong.push_back(0);
  cases.push_back({"plaintext of 131,345 bytes", SealBytes(plainLong)});
  Bytes zeroTag = good;
  std::fill(zeroTag.end() - 16, zeroTag.end(), 0);
  cases.push_back({"zero tag", zeroTag});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteAll(File(), c.bytes);
    EXPECT_TRUE(SameRecord(*StartService(), *Default()));
    EXPECT_EQ(ReadAll(File()), defaultFile);
  }
}

// Any single flipped bit fails the tag. Every bit of the tag and of the
// first and last record bytes, and one byte in 1,009 elsewhere.
TEST_F(PolicyFileTest, AnySingleFlippedBitFailsAuthentication) {
  ASSERT_TRUE(WritePolicyFile(File(), *Reference()));
  const Bytes good = ReadAll(File());
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < good.size(); i += 1009) positions.push_back(i);
  for (std::size_t i : {std::size_t{1}, std::size_t{65536}, std::size_t{131340}, std::size_t{131343}})
    positions.push_back(i);
  for (std::size_t i = 131344; i < good.size(); ++i) positions.push_back(i);
  auto state = Reference();
  for (std::size_t position : positions) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes damaged = good;
      damaged[position] ^= static_cast<uint8_t>(1 << bit);
      ASSERT_FALSE(OpenSealedPolicy(damaged, *state)) << "byte " << position << " bit " << bit;
    }
  }
  EXPECT_TRUE(SameRecord(*state, *Reference()));  // untouched by the failures
  WriteAll(File(), [&] {
    Bytes damaged = good;
    damaged[70000] ^= 0x10;
    return damaged;
  }());
  EXPECT_TRUE(SameRecord(*StartService(), *Default()));
}

TEST_F(PolicyFileTest, AStaleReplacementFileIsHarmless) {
  ASSERT_TRUE(WritePolicyFile(File(), *Reference()));
  WriteAll(platform::ReplacementFileFor(File()), Bytes(1000, 0xAB));  // left by a crash
  EXPECT_TRUE(SameRecord(*StartService(), *Reference()));
  EXPECT_FALSE(std::filesystem::exists(platform::ReplacementFileFor(File())));
}

TEST_F(PolicyFileTest, AFailedWriteKeepsThePreviousFile) {
  ASSERT_TRUE(WritePolicyFile(File(), *Reference()));
  const Bytes before = ReadAll(File());
  // The replacement file cannot be created: a directory stands in its place.
  std::filesystem::create_directory(platform::ReplacementFileFor(File()));
  EXPECT_FALSE(WritePolicyFile(File(), *Default()));
  EXPECT_EQ(ReadAll(File()), before);
}

TEST_F(PolicyFileTest, WideCharacterPathsWork) {
  const auto directory = dir_.path() / std::filesystem::path(u8"دستگاه-Σ-装置");
  ASSERT_TRUE(std::filesystem::create_directory(directory));
  const auto file = directory / "configdb.dat";
  ASSERT_TRUE(WritePolicyFile(file, *Reference()));
  auto loaded = std::make_unique<PolicyState>();
  ASSERT_TRUE(ReadPolicyFile(file, *loaded));
  EXPECT_TRUE(SameRecord(*loaded, *Reference()));
}

#ifndef _WIN32
// A save killed at any moment leaves either the previous or the new policy,
// never a short file that would fall back to the allow-all default.
TEST_F(PolicyFileTest, AKilledSaveLeavesAWholePolicy) {
  auto first = Reference();
  auto second = Reference();
  second->lockCdDvd = 9;
  second->statusWord = 77;
  ASSERT_TRUE(WritePolicyFile(File(), *first));
  for (int round = 0; round < 12; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Killed at some moment of some save; the parent checks the file.
      for (int i = 0;; ++i) (void)WritePolicyFile(File(), (i % 2) ? *first : *second);
    }
    usleep(2000 + 3000 * round);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    auto loaded = std::make_unique<PolicyState>();
    ASSERT_TRUE(ReadPolicyFile(File(), *loaded)) << "round " << round;
    EXPECT_TRUE(SameRecord(*loaded, *first) || SameRecord(*loaded, *second));
  }
}
#endif

}  // namespace
}  // namespace vx
