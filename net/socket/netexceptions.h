#pragma once
// The exception family of the network suite.  std::exception stands for the
// general exception class: event-handler failures of that class go to the
// background-exception policy, anything else is passed on.
#include <stdexcept>
#include <string>

namespace yux::net {

class ENetException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ESocketException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetTimerException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ELoggerException : public ENetException {
 public:
  using ENetException::ENetException;
};

class EBufferedStreamError : public ENetException {
 public:
  using ENetException::ENetException;
};

// File-stream failures (creating and opening a file).
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// The silent exception: raised to leave an operation without an error report.
class EAbort : public std::runtime_error {
 public:
  EAbort() : std::runtime_error("Operation aborted") {}
  using std::runtime_error::runtime_error;
};

}  // namespace yux::net
