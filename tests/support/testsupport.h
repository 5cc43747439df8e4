#pragma once
// Helpers shared by every test folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace yux::test {

// A fresh folder under the system temp folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::filesystem::path BuildDir();
std::filesystem::path SourceDir();
// A program built by this project (yux, winrar), beside each other in app/.
std::filesystem::path BuiltProgram(const std::string& name);

// Whole-file helpers.
std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& data);

// True when running under continuous integration (CI=true): a missing
// outside program is then a failure, not a skip.
bool InCi();
// Full path of an outside program on PATH, or empty.
std::string FindProgram(const std::string& name);

// A namespace value for YUX_NS that no other test process uses.
std::string UniqueNamespace();

struct ProcessResult {
  int exitCode = -1;  // -1 when it did not end in time (it is then killed)
  std::string out;
  std::string err;
};
// Runs a program to its end with extra environment values (an empty value
// removes the variable), capturing its output.
ProcessResult RunProgram(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         int timeoutMs = 60000, const std::string& input = {});

// Handles the thread's messages until `done` holds or `ms` have passed;
// whether it holds.
bool PumpUntil(const std::function<bool()>& done, int ms = 20000);

}  // namespace yux::test

// Skips the test when a needed outside program is missing, except in CI
// where every peer must be installed by the setup script.
#define YUX_REQUIRE_PROGRAM(name)                                          \
  do {                                                                     \
    if (::yux::test::FindProgram(name).empty()) {                          \
      if (::yux::test::InCi()) FAIL() << "missing program in CI: " << name; \
      GTEST_SKIP() << "missing program: " << name;                         \
    }                                                                      \
  } while (0)
