#pragma once
// Sets an environment variable for the length of a test (children started
// meanwhile inherit it); an empty optional unsets it.
#include <cstdlib>
#include <optional>
#include <string>

namespace yux::test {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_.c_str(), old_->c_str(), 1);
    else unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace yux::test

#include "platform/namedobjects.h"
#include "tests/support/testsupport.h"

#include <filesystem>

namespace yux::test {

// A fresh YUX_NS for the test; its runtime folder is removed afterwards.
class ScopedNamespace {
 public:
  ScopedNamespace() : env_("YUX_NS", UniqueNamespace()) {}
  ~ScopedNamespace() {
    std::string dir = yux::platform::RuntimeFolder();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }

 private:
  ScopedEnv env_;
};

}  // namespace yux::test
