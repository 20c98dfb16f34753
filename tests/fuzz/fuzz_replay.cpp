// A main for the fuzz targets where libFuzzer is not linked (g++ builds, the
// sanitizer build): runs the target once on every file named on the command
// line, or found in a named directory, in sorted order, so CTest replays the
// seeds and the corpus on every build. A broken promise aborts the program.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (fs::is_directory(argv[i], ec)) {
      for (const auto& item : fs::recursive_directory_iterator(argv[i])) {
        if (item.is_regular_file()) inputs.push_back(item.path());
      }
    } else if (fs::is_regular_file(argv[i], ec)) {
      inputs.emplace_back(argv[i]);
    } else {
      std::fprintf(stderr, "%s: no such file or directory\n", argv[i]);
      return 2;
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so the sanitizers see any overread.
    std::vector<uint8_t> exact(bytes);
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs replayed\n");
    return 2;
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
