#pragma once
// The exit codes of the stand-in archiver, as the backup core judges them.
namespace yux::winrar {

enum ExitCode {
  kSuccess = 0,
  kWarning = 1,      // a source could not be read and was skipped
  kFatal = 2,
  kTestFailed = 3,
  kOpenError = 6,
  kBadCommandLine = 7,
  kCreateError = 9,
  kNoFiles = 10,
  kStopped = 255,    // SIGTERM or SIGINT; partial output removed
};

}  // namespace yux::winrar
