// Replays a fuzzer's kept inputs: every file of the folder named on the
// command line goes through LLVMFuzzerTestOneInput once, in name order. A
// fault stops the program as it would stop the fuzzer (abort, sanitizer
// report); an empty or missing folder fails, so a lost corpus is noticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  std::error_code error;
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1], error))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  if (error || inputs.empty()) {
    std::fprintf(stderr, "no inputs in %s\n", argv[1]);
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    std::printf("%s (%zu bytes)\n", path.filename().c_str(), bytes.size());
    std::fflush(stdout);
    // libFuzzer never passes a null pointer, even for an empty input.
    static const uint8_t empty = 0;
    (void)LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());  // always 0
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
