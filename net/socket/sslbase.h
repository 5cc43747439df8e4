#pragma once
// Process-wide use of the TLS library and the base of the TLS components:
// a logger reference, the last library error, and one reference on the
// library held from first need until destruction.
#include <cstdint>
#include <mutex>
#include <string>

#include "net/socket/netexceptions.h"
#include "net/socket/netlogger.h"

namespace yux::net {

class ESslContextException : public ENetException {
 public:
  using ENetException::ENetException;
};
class EX509Exception : public ENetException {
 public:
  using ENetException::ENetException;
};
class EOpenSslError : public ENetException {
 public:
  using ENetException::ENetException;
};
class ENetLibeayException : public ENetException {
 public:
  using ENetException::ENetException;
};
class ENetSsleayException : public ENetException {
 public:
  using ENetException::ENetException;
};
// The general class for library failures that name no class of their own.
class ESslGeneralException : public ENetException {
 public:
  using ENetException::ENetException;
};

// ---- Process-wide library state ----

// The library's version number (major, minor, patch in the OpenSSL 3
// layout 0xMNN00PP0) and its version text.
unsigned long SslLibraryVersionNumber();
std::string SslLibraryVersionText();
// Versions the suite works with: the old 0.9.8e..1.0.0j range of the
// original design and every 3.x release.
bool SslVersionSupported(unsigned long version);
// "Unsupported OpenSSL version (0x........) !" with the supported range.
std::string UnsupportedSslVersionText(unsigned long version);

// First reference initialises the library (error texts, seed); further
// references only count.  Raises ENetSsleayException for an unsupported
// library.  Release gives one reference back.
void LoadSslLibraries();
void UnloadSslLibraries();
int SslLibraryRefCount();
// The lock around the reference count, library start and connection
// creation; the client new-session event also runs under it.
std::recursive_mutex& SslLibraryLock();

// The first queued library error as text (at most 120 characters); with
// dumpAll every further queued error on its own line.  Empties the queue.
std::string SslErrorQueueText(bool dumpAll);
// The exception text "CR LF message CR LF errors CR LF" (without message:
// "CR LF errors CR LF"); lastError receives the first queued error code.
std::string OpenSslErrorMessageText(bool dumpAll, const std::string& message,
                                    std::uint32_t& lastError);
// Discards queued library errors.
void SslClearErrors();

class TSslBaseComponent : public INetLogUser {
 public:
  TSslBaseComponent() = default;
  virtual ~TSslBaseComponent();
  TSslBaseComponent(const TSslBaseComponent&) = delete;
  TSslBaseComponent& operator=(const TSslBaseComponent&) = delete;

  TNetLogger* NetLogger() const { return netLogger_; }
  virtual void SetNetLogger(TNetLogger* v);
  virtual void LogSslMessage(TLogOption option, const std::string& text);
  virtual bool SslLogOptionActive(TLogOption option);
  // Builds the exception text "CR LF message CR LF errors CR LF" from the
  // library's error queue, remembering the first error code.
  virtual std::string OpenSslErrorMessage(bool dumpAll, const std::string& message);
  template <class E>
  [[noreturn]] void RaiseLastOpenSslError(bool dumpAll, const std::string& message) {
    throw E(OpenSslErrorMessage(dumpAll, message));
  }

  std::uint32_t LastOpenSslError = 0;
  bool LibraryRefHeld() const { return libRefHeld_; }

  void NetLoggerFreed(TNetLogger* logger) override;

 protected:
  // Takes the one library reference of this component (once).
  void TakeLibraryRef();
  void ReleaseLibraryRef();

 private:
  TNetLogger* netLogger_ = nullptr;
  bool libRefHeld_ = false;
};

}  // namespace yux::net
