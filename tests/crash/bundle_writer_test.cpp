#include "service/crash/bundle_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "tests/crash/bundle_reader.h"
#include "tests/support/temp_dir.h"

namespace {

using vx::test::Bundle;
using vx::test::ReadBundleFile;
using vx::test::ReadWholeFile;
using vx::test::TempDir;
using VXSecureBundle::BundleWriter;
using VXSecureBundle::kBundleChunkSize;

constexpr uint8_t kKey = 0x5C;

// Partly compressible contents, different for each seed.
std::vector<uint8_t> SampleBytes(std::size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = (i / 4096) % 2 ? static_cast<uint8_t>(random()) : uint8_t(i % 7);
  return bytes;
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bundle ReadBack(const std::filesystem::path& path, std::span<const uint8_t> key = {&kKey, 1}) {
  std::string error;
  std::optional<Bundle> bundle = ReadBundleFile(path, key, error);
  EXPECT_TRUE(bundle.has_value()) << error;
  return bundle.value_or(Bundle{});
}

std::vector<std::string> NamesOf(const Bundle& bundle) {
  std::vector<std::string> names;
  for (const auto& entry : bundle.entries) names.push_back(entry.name);
  return names;
}

class BundleWriterTest : public ::testing::Test {
 protected:
  BundleWriterTest() { EXPECT_TRUE(writer.SetKey(&kKey, 1)); }
  TempDir dir;
  std::filesystem::path bundlePath = dir / "crash.clg";
  BundleWriter writer;
};

TEST_F(BundleWriterTest, EmptyBundleIsHeaderEndMarkAndDigest) {
  ASSERT_TRUE(writer.Open(bundlePath, 0x11223344u, 0, 2));
  ASSERT_TRUE(writer.Close());

  std::vector<uint8_t> bytes = ReadWholeFile(bundlePath);
  ASSERT_EQ(bytes.size(), 49u);
  const uint8_t header[25] = {'V',  'X',  'B',  'U',  'N', 'D', 'L', 'E', '!', '\r', '\n', 0, 1,
                              0x44, 0x33, 0x22, 0x11, 0,   0,   0,   0,   2,   0,    0,    0};
  EXPECT_TRUE(std::equal(std::begin(header), std::end(header), bytes.begin()));
  // The end mark is a scrambled 0; the digest covers it unscrambled.
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 25, bytes.begin() + 29), std::vector<uint8_t>(4, kKey));
  const uint8_t zeros[4] = {};
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 29, bytes.end()), vx::test::Sha1Of(zeros));
}

struct ChunkCase {
  std::size_t size;
  std::vector<uint32_t> rawLengths;
};

class BundleChunkTest : public BundleWriterTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(BundleChunkTest, SplitsIntoTwoMebibyteChunksAndRoundTrips) {
  const ChunkCase& c = GetParam();
  std::vector<uint8_t> contents = SampleBytes(c.size, static_cast<unsigned>(c.size));
  WriteFile(dir / "source", contents);
  ASSERT_TRUE(writer.Open(bundlePath, 1, 0, 2));
  ASSERT_TRUE(writer.AddFile(dir / "source", "dump"));
  ASSERT_TRUE(writer.Close());

  Bundle bundle = ReadBack(bundlePath);
  ASSERT_EQ(bundle.entries.size(), 1u);
  EXPECT_EQ(bundle.entries[0].name, "dump");
  EXPECT_EQ(bundle.entries[0].rawLengths, c.rawLengths);
  EXPECT_TRUE(bundle.entries[0].contents == contents);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BundleChunkTest,
                         ::testing::Values(ChunkCase{0, {}}, ChunkCase{1, {1}},
                                           ChunkCase{kBundleChunkSize, {kBundleChunkSize}},
                                           ChunkCase{kBundleChunkSize + 1, {kBundleChunkSize, 1}},
                                           ChunkCase{5 * 1024 * 1024, {kBundleChunkSize, kBundleChunkSize, 1048576}}));

TEST_F(BundleWriterTest, EmptySourceHasChunkCountZero) {
  WriteFile(dir / "empty", {});
  ASSERT_TRUE(writer.Open(bundlePath, 0, 0, 0));
  ASSERT_TRUE(writer.AddFile(dir / "empty", "e"));
  ASSERT_TRUE(writer.Close());
  Bundle bundle = ReadBack(bundlePath);
  // name length, "e\0", chunk count 0, end mark.
  const std::vector<uint8_t> plain = {2, 0, 0, 0, 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bundle.plainBody, plain);
}

TEST(BundleWriterKeyTest, FirstBytesAfterHeaderOfInfoEntryAreNameLengthXorKey) {
  for (int k : {0x00, 0x01, 0x5A, 0xA7, 0xFF}) {
    TempDir dir;
    WriteFile(dir / "info", SampleBytes(100, 1));
    BundleWriter writer;
    const uint8_t key = static_cast<uint8_t>(k);
    ASSERT_TRUE(writer.SetKey(&key, 1));
    ASSERT_TRUE(writer.Open(dir / "b.clg", 0, 0, 2));
    ASSERT_TRUE(writer.AddFile(dir / "info", "info"));
    ASSERT_TRUE(writer.Close());
    std::vector<uint8_t> bytes = ReadWholeFile(dir / "b.clg");
    ASSERT_GT(bytes.size(), 29u);
    EXPECT_EQ(bytes[25], 5 ^ key) << k;
    EXPECT_EQ(bytes[26], key) << k;
    EXPECT_EQ(bytes[27], key) << k;
    EXPECT_EQ(bytes[28], key) << k;
  }
}

TEST_F(BundleWriterTest, LongerKeyIsIndexedByFileOffset) {
  const uint8_t key[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  ASSERT_TRUE(writer.SetKey(key, sizeof key));
  WriteFile(dir / "a", SampleBytes(70000, 3));
  ASSERT_TRUE(writer.Open(bundlePath, 0, 0, 2));
  ASSERT_TRUE(writer.AddFile(dir / "a", "info"));
  ASSERT_TRUE(writer.Close());
  std::vector<uint8_t> bytes = ReadWholeFile(bundlePath);
  // Offset 25 uses key byte 25 % 11 = 3, offset 26 key byte 4.
  EXPECT_EQ(bytes[25], 5 ^ key[3]);
  EXPECT_EQ(bytes[26], key[4]);
  Bundle bundle = ReadBack(bundlePath, key);
  ASSERT_EQ(bundle.entries.size(), 1u);
  EXPECT_TRUE(bundle.entries[0].contents == SampleBytes(70000, 3));
}

TEST_F(BundleWriterTest, DigestIsSha1OfUnscrambledEntriesAndEndMark) {
  WriteFile(dir / "a", SampleBytes(3 * 1024 * 1024, 4));
  WriteFile(dir / "b", SampleBytes(1000, 5));
  ASSERT_TRUE(writer.Open(bundlePath, 7, 8, 9));
  ASSERT_TRUE(writer.AddFile(dir / "a", "info"));
  ASSERT_TRUE(writer.AddFile(dir / "b", "dump"));
  ASSERT_TRUE(writer.Close());

  std::vector<uint8_t> bytes = ReadWholeFile(bundlePath);
  std::vector<uint8_t> plain;
  for (std::size_t i = 25; i < bytes.size() - 20; ++i) plain.push_back(bytes[i] ^ kKey);
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 20, bytes.end()), vx::test::Sha1Of(plain));
  EXPECT_EQ(std::vector<uint8_t>(plain.end() - 4, plain.end()), std::vector<uint8_t>(4, 0));
  Bundle bundle = ReadBack(bundlePath);
  EXPECT_EQ(NamesOf(bundle), (std::vector<std::string>{"info", "dump"}));
  EXPECT_EQ(bundle.headerA, 7u);
  EXPECT_EQ(bundle.headerB, 8u);
  EXPECT_EQ(bundle.headerC, 9u);
}

TEST_F(BundleWriterTest, UnreadableSourceIsSkippedAndOthersStay) {
  WriteFile(dir / "a", SampleBytes(10, 6));
  WriteFile(dir / "c", SampleBytes(20, 7));
  ASSERT_TRUE(writer.Open(bundlePath, 0, 0, 2));
  EXPECT_TRUE(writer.AddFile(dir / "a", "a"));
  EXPECT_FALSE(writer.AddFile(dir / "missing", "b"));
  EXPECT_TRUE(writer.AddFile(dir / "c", "c"));
  ASSERT_TRUE(writer.Close());
  Bundle bundle = ReadBack(bundlePath);
  EXPECT_EQ(NamesOf(bundle), (std::vector<std::string>{"a", "c"}));
  EXPECT_TRUE(bundle.entries[1].contents == SampleBytes(20, 7));
}

// Fails only the call numbered `failingCall`.
int compressCalls = 0;
int failingCall = 0;
int FailingOneCall(uint8_t* destination, unsigned long* destinationLength, const uint8_t* source,
                   unsigned long sourceLength) {
  if (++compressCalls == failingCall) return -4;  // Z_MEM_ERROR
  return VXSecureBundle::ZlibCompress(destination, destinationLength, source, sourceLength);
}

TEST(BundleWriterFailureTest, CompressionFailureLeavesNoPartialEntry) {
  TempDir dir;
  WriteFile(dir / "small", SampleBytes(100, 8));
  WriteFile(dir / "big", SampleBytes(kBundleChunkSize + 10, 9));
  compressCalls = 0;
  failingCall = 3;  // the second chunk of "big", after its first chunk was written
  BundleWriter writer(&FailingOneCall);
  ASSERT_TRUE(writer.SetKey(&kKey, 1));
  ASSERT_TRUE(writer.Open(dir / "b.clg", 0, 0, 2));
  ASSERT_TRUE(writer.AddFile(dir / "small", "info"));   // call 1
  EXPECT_FALSE(writer.AddFile(dir / "big", "dump"));    // calls 2 and 3
  ASSERT_TRUE(writer.AddFile(dir / "small", "again"));  // call 4
  ASSERT_TRUE(writer.Close());

  // The failed entry, with its first chunk, is gone as if it had never been
  // added: the bundle parses and its digest covers only whole entries.
  Bundle bundle = ReadBack(dir / "b.clg");
  EXPECT_EQ(NamesOf(bundle), (std::vector<std::string>{"info", "again"}));
  EXPECT_TRUE(bundle.entries[1].contents == SampleBytes(100, 8));
}

TEST_F(BundleWriterTest, FailedReopenRemovesTheBundle) {
#ifdef _WIN32
  GTEST_SKIP() << "an open file cannot be replaced by a directory on Windows";
#endif
  ASSERT_TRUE(writer.Open(bundlePath, 0, 0, 2));
  WriteFile(dir / "a", SampleBytes(10, 10));
  ASSERT_TRUE(writer.AddFile(dir / "a", "a"));
  // The path can no longer be opened for appending: a directory stands there.
  std::filesystem::remove(bundlePath);
  std::filesystem::create_directory(bundlePath);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ERROR! Couldn't create bundle\n");
  EXPECT_FALSE(std::filesystem::exists(bundlePath));
}

TEST_F(BundleWriterTest, CallsOutOfOrderAreRefused) {
  EXPECT_FALSE(writer.AddFile(dir / "anything", "a"));
  EXPECT_FALSE(writer.Close());
  EXPECT_FALSE(writer.Open(dir / "no-such-dir" / "b.clg", 0, 0, 2));
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_FALSE(writer.Close());
}

TEST(BundleWriterKeyTest, KeyOfWrongLengthIsRefusedAndNoKeyMeansNoBundle) {
  TempDir dir;
  BundleWriter writer;
  const uint8_t key[12] = {};
  EXPECT_FALSE(writer.SetKey(key, 0));
  EXPECT_FALSE(writer.SetKey(key, 12));
  EXPECT_FALSE(writer.Open(dir / "b.clg", 0, 0, 2));
  EXPECT_FALSE(std::filesystem::exists(dir / "b.clg"));
  EXPECT_TRUE(writer.SetKey(key, 11));
  EXPECT_TRUE(writer.Open(dir / "b.clg", 0, 0, 2));
}

TEST_F(BundleWriterTest, ReopeningAndDestroyingCloseTheOpenBundle) {
  const std::filesystem::path second = dir / "second.clg";
  {
    BundleWriter scoped;
    ASSERT_TRUE(scoped.SetKey(&kKey, 1));
    ASSERT_TRUE(scoped.Open(bundlePath, 0, 0, 2));
    ASSERT_TRUE(scoped.Open(second, 0, 0, 2));  // closes the first
    EXPECT_EQ(std::filesystem::file_size(bundlePath), 49u);
  }  // the destructor closes the second
  EXPECT_EQ(std::filesystem::file_size(second), 49u);
  ReadBack(second);
}

}  // namespace
