// Bundling a 100 MiB file beside zlib's own compress on the same bytes.
//
// The data imitates a full memory dump: 64 KiB blocks of four kinds, in a
// fixed pseudo-random order, in these shares:
//   40 %  zero pages (reserved, never written memory)
//   25 %  pointer-like tables (8-byte values near a few bases, small strides)
//   20 %  text (ASCII and UTF-16 words from a small vocabulary)
//   15 %  random bytes (already compressed or encrypted heap contents)
// zlib reduces it to roughly a quarter to a third, much like real dumps.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <fstream>
#include <random>
#include <vector>

#include "service/crash/bundle_writer.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::size_t kDataSize = 100u * 1024 * 1024;
constexpr std::size_t kBlockSize = 64 * 1024;

void FillPointers(uint8_t* block, std::mt19937_64& random) {
  const uint64_t bases[] = {0x00007ff6a1200000ull, 0x000001d4c0000000ull, 0x00007ffd38e00000ull};
  uint64_t value = bases[random() % 3];
  for (std::size_t i = 0; i < kBlockSize; i += 8) {
    value += (random() % 4) * 8;
    uint64_t word = (random() % 8 == 0) ? random() % 65536 : value;
    for (int b = 0; b < 8; ++b) block[i + b] = static_cast<uint8_t>(word >> (8 * b));
  }
}

void FillText(uint8_t* block, std::mt19937_64& random) {
  static const char* const words[] = {"device",    "policy",       "\\Device\\Harddisk",   "USBSTOR",
                                      "Disk&Ven_", "reportdb.dat", "configdb.dat",         "kernel32.dll",
                                      "ntdll.dll", "error ",       "VestaraDeviceControl", "HKEY_LOCAL_MACHINE\\SYSTEM",
                                      "0x",        "thread "};
  const bool wide = random() % 2 == 0;
  std::size_t i = 0;
  while (i < kBlockSize) {
    for (const char* c = words[random() % std::size(words)]; *c != '\0' && i < kBlockSize; ++c) {
      block[i++] = static_cast<uint8_t>(*c);
      if (wide && i < kBlockSize) block[i++] = 0;
    }
  }
}

const std::vector<uint8_t>& DumpLikeData() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes(kDataSize, 0);
    std::mt19937_64 random(1155);
    for (std::size_t offset = 0; offset < kDataSize; offset += kBlockSize) {
      uint8_t* block = bytes.data() + offset;
      const unsigned kind = static_cast<unsigned>(random() % 100);
      if (kind < 40) continue;  // zero page
      if (kind < 65)
        FillPointers(block, random);
      else if (kind < 85)
        FillText(block, random);
      else
        for (std::size_t i = 0; i < kBlockSize; ++i) block[i] = static_cast<uint8_t>(random());
    }
    return bytes;
  }();
  return data;
}

void ReportRate(benchmark::State& state, double compressedBytes) {
  const double processed = static_cast<double>(state.iterations()) * static_cast<double>(kDataSize);
  state.SetBytesProcessed(static_cast<int64_t>(processed));
  state.counters["MB/s"] = benchmark::Counter(processed / 1e6, benchmark::Counter::kIsRate);
  state.counters["ratio"] = compressedBytes / static_cast<double>(kDataSize);
}

// The whole crash-bundle path: read the file, compress 2 MiB chunks, SHA-1,
// scramble, write, append the digest.
void BM_BundleFile(benchmark::State& state) {
  vx::test::TempDir dir;
  const auto source = dir / "dump";
  {
    const auto& data = DumpLikeData();
    std::ofstream out(source, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  const uint8_t key = 0xA7;
  double bundleSize = 0;
  for (auto _ : state) {
    VXSecureBundle::BundleWriter writer;
    if (!writer.SetKey(&key, 1) || !writer.Open(dir / "b.clg", 0, 0, 2) || !writer.AddFile(source, "dump") ||
        !writer.Close()) {
      state.SkipWithError("bundle failed");
      break;
    }
    bundleSize = static_cast<double>(std::filesystem::file_size(dir / "b.clg"));
  }
  ReportRate(state, bundleSize);
}

// zlib's compress over the same bytes in memory, in the bundle's 2 MiB chunks.
void BM_ZlibCompress2MiBChunks(benchmark::State& state) {
  const auto& data = DumpLikeData();
  std::vector<uint8_t> packed(compressBound(VXSecureBundle::kBundleChunkSize));
  double total = 0;
  for (auto _ : state) {
    total = 0;
    for (std::size_t offset = 0; offset < data.size(); offset += VXSecureBundle::kBundleChunkSize) {
      uLongf length = static_cast<uLongf>(packed.size());
      compress(packed.data(), &length, data.data() + offset,
               static_cast<uLong>(std::min<std::size_t>(VXSecureBundle::kBundleChunkSize, data.size() - offset)));
      total += static_cast<double>(length);
    }
    benchmark::DoNotOptimize(packed.data());
  }
  ReportRate(state, total);
}

// zlib's compress over the same bytes in memory, in one call.
void BM_ZlibCompressWhole(benchmark::State& state) {
  const auto& data = DumpLikeData();
  std::vector<uint8_t> packed(compressBound(static_cast<uLong>(data.size())));
  double total = 0;
  for (auto _ : state) {
    uLongf length = static_cast<uLongf>(packed.size());
    compress(packed.data(), &length, data.data(), static_cast<uLong>(data.size()));
    total = static_cast<double>(length);
    benchmark::DoNotOptimize(packed.data());
  }
  ReportRate(state, total);
}

BENCHMARK(BM_BundleFile)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ZlibCompress2MiBChunks)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ZlibCompressWhole)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
