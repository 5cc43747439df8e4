#include "fuzz/fuzzsupport.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace yux::fuzz {

void EnsureCoreApplication() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "yux-fuzz";
  static char* argv[] = {name, nullptr};
  // Never destroyed: the parsers may keep Qt objects alive until exit.
  new QCoreApplication(argc, argv);
}

namespace {

struct Scratch {
  std::string path;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "yux-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    path = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

}  // namespace

const std::string& ScratchFolder() {
  static Scratch scratch;
  return scratch.path;
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write the scratch file", path);
}

std::string_view NextLine(std::string_view& rest) {
  const std::size_t lf = rest.find('\n');
  std::string_view line = rest.substr(0, lf);
  rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
  return line;
}

void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s\n", what);
  if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", int(detail.size()), detail.data());
  std::abort();
}

}  // namespace yux::fuzz
