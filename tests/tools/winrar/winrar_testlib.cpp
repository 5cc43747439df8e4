#include "tests/tools/winrar/winrar_testlib.h"

#include <sys/time.h>

#include <random>

#include "platform/cmdline.h"

namespace yux::test::winrar {

ProcessResult RunWinrar(const std::vector<std::string>& args) {
  std::vector<std::string> argv{BuiltProgram("winrar").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

ProcessResult RunWinrarText(const std::string& parameters) {
  return RunWinrar(yux::platform::SplitCommandLine(parameters));
}

std::set<std::string> BsdtarNames(const std::filesystem::path& archive,
                                  const std::string& passphrase) {
  std::vector<std::string> argv{"bsdtar"};
  if (!passphrase.empty()) argv.insert(argv.end(), {"--passphrase", passphrase});
  argv.insert(argv.end(), {"-tf", archive.string()});
  ProcessResult r = RunProgram(argv);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::set<std::string> names;
  size_t start = 0;
  while (start < r.out.size()) {
    size_t end = r.out.find('\n', start);
    if (end == std::string::npos) end = r.out.size();
    if (end > start) names.insert(r.out.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::string SevenZipExtract(const std::filesystem::path& archive, const std::string& entry,
                            const std::string& password, bool* ok) {
  ProcessResult r =
      RunProgram({"7z", "x", "-so", "-p" + password, archive.string(), entry});
  *ok = r.exitCode == 0;
  return r.out;
}

void SetAge(const std::filesystem::path& p, int daysAgo) {
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= static_cast<time_t>(daysAgo) * 86400;
  tv[1] = tv[0];
  ASSERT_EQ(utimes(p.c_str(), tv), 0);
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string Expand(std::string text, const std::string& folder) {
  for (size_t at; (at = text.find("{T}")) != std::string::npos;) text.replace(at, 3, folder);
  return text;
}

}  // namespace yux::test::winrar
