#pragma once
// A rename that fails as a test says: while a RenameFault lives, the
// renames RenameFile makes fail with `error` where `fails(from, to)` says
// so, and are done as usual elsewhere.  `failed` counts the failures.
#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <functional>
#include <string>

#include "platform/safefile.h"

namespace yux::test {

class RenameFault {
 public:
  using Rule = std::function<bool(const std::string& from, const std::string& to)>;
  RenameFault(int error, Rule fails) {
    platform::SetRenameCall([this, error, fails](const char* from, const char* to, unsigned flags) {
      if (fails(from, to)) {
        ++failed;
        errno = error;
        return -1;
      }
      return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
    });
  }
  ~RenameFault() { platform::SetRenameCall({}); }
  RenameFault(const RenameFault&) = delete;
  RenameFault& operator=(const RenameFault&) = delete;

  int failed = 0;
};

}  // namespace yux::test
