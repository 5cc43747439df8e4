// Replays saved inputs through a fuzz target without libFuzzer: every
// argument is a file or a folder of files (run in name order).  A target
// that finds a fault aborts, which fails the run; a folder without files is
// an error too, so that a mistyped corpus path never passes unnoticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
  // An empty vector's data() may be null; libFuzzer always passes a valid
  // pointer, so do the same.
  static const uint8_t kEmpty = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &kEmpty : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <file or folder>...\n", argv[0]);
    return 2;
  }
  std::size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& e : std::filesystem::directory_iterator(arg, ec))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
      if (files.empty()) {
        std::fprintf(stderr, "no inputs in %s\n", arg.c_str());
        return 1;
      }
    } else {
      files.push_back(arg);
    }
    for (const auto& f : files) {
      if (!RunFile(f)) return 1;
      ++runs;
    }
  }
  std::fprintf(stderr, "%zu inputs replayed\n", runs);
  return 0;
}
