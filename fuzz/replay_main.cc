// Replays saved inputs through a fuzz target without libFuzzer, so that the
// ordinary test builds (plain and under the sanitizers) run every seed and
// every saved reproducer as a regression test.
//
//   fuzz_<target>_replay PATH...
//
// Each PATH is a file or a folder, whose files are fed in name order (not
// recursing). A crash, a sanitizer report or a broken check ends the process
// as it would end a fuzzing run; otherwise it prints how many inputs ran.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/support.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> read_input(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path path = argv[i];
    std::vector<fs::path> inputs;
    if (fs::is_directory(path)) {
      for (const auto& entry : fs::directory_iterator(path)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
      std::sort(inputs.begin(), inputs.end());
    } else if (fs::is_regular_file(path)) {
      inputs.push_back(path);
    } else {
      std::fprintf(stderr, "no such input: %s\n", path.c_str());
      return 2;
    }
    for (const fs::path& input : inputs) {
      const std::vector<uint8_t> bytes = read_input(input);
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++runs;
    }
  }
  std::printf("replayed %zu inputs\n", runs);
  return runs > 0 ? 0 : 1;
}
