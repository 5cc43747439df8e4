#include "net/socket/sslbase.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cstdio>

#include "platform/messages.h"

namespace yux::net {

namespace {
int g_refCount = 0;
bool g_started = false;

std::string Hex8(unsigned long v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08lX", v & 0xFFFFFFFFul);
  return buf;
}
}  // namespace

std::recursive_mutex& SslLibraryLock() {
  static std::recursive_mutex lock;
  return lock;
}

unsigned long SslLibraryVersionNumber() { return OpenSSL_version_num(); }

std::string SslLibraryVersionText() { return OpenSSL_version(OPENSSL_VERSION); }

bool SslVersionSupported(unsigned long version) {
  if (version >= 0x0090805Ful && version <= 0x100000AFul) return true;
  return version >= 0x30000000ul && version <= 0x3FFFFFFFul;
}

std::string UnsupportedSslVersionText(unsigned long version) {
  return "Unsupported OpenSSL version (0x" + Hex8(version) +
         ") !\r\nSupported versions are 0x0090805F - 0x100000AF and 3.x (0x30000000 - "
         "0x3FFFFFFF)\r\nFile: libssl.so.3";
}

void LoadSslLibraries() {
  std::lock_guard<std::recursive_mutex> g(SslLibraryLock());
  if (g_refCount > 0) {
    ++g_refCount;
    return;
  }
  unsigned long v = SslLibraryVersionNumber();
  if (!SslVersionSupported(v)) throw ENetSsleayException(UnsupportedSslVersionText(v));
  if (!g_started) {
    // The library initialises itself; the explicit call loads the error
    // texts that the old start-up sequence loaded.
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1)
      throw ENetSsleayException("Unable to initialize the SSL library");
    std::uint32_t tick = platform::GetTickCount();
    RAND_seed(&tick, sizeof tick);
    g_started = true;
  }
  g_refCount = 1;
}

void UnloadSslLibraries() {
  std::lock_guard<std::recursive_mutex> g(SslLibraryLock());
  if (g_refCount <= 0) return;
  // The per-thread and global clean-ups of old library versions are no-ops
  // now; the library frees itself at process exit and may be used again.
  --g_refCount;
}

int SslLibraryRefCount() {
  std::lock_guard<std::recursive_mutex> g(SslLibraryLock());
  return g_refCount;
}

std::string SslErrorQueueText(bool dumpAll) {
  std::string text;
  unsigned long e = ERR_get_error();
  char buf[121];
  if (e != 0) {
    ERR_error_string_n(e, buf, sizeof buf);
    text = buf;
  }
  if (dumpAll) {
    while ((e = ERR_get_error()) != 0) {
      ERR_error_string_n(e, buf, sizeof buf);
      text += "\r\n";
      text += buf;
    }
  }
  ERR_clear_error();
  return text;
}

void SslClearErrors() { ERR_clear_error(); }

std::string OpenSslErrorMessageText(bool dumpAll, const std::string& message,
                                    std::uint32_t& lastError) {
  lastError = std::uint32_t(ERR_peek_error());
  std::string errs = SslErrorQueueText(dumpAll);
  if (message.empty()) return "\r\n" + errs + "\r\n";
  return "\r\n" + message + "\r\n" + errs + "\r\n";
}

// ---------------------------------------------------------------------------

TSslBaseComponent::~TSslBaseComponent() {
  if (netLogger_) netLogger_->UnregisterLogUser(this);
  ReleaseLibraryRef();
}

void TSslBaseComponent::SetNetLogger(TNetLogger* v) {
  if (v == netLogger_) return;
  if (netLogger_) netLogger_->UnregisterLogUser(this);
  netLogger_ = v;
  if (netLogger_) netLogger_->RegisterLogUser(this);
}

void TSslBaseComponent::NetLoggerFreed(TNetLogger* logger) {
  if (logger == netLogger_) netLogger_ = nullptr;
}

void TSslBaseComponent::LogSslMessage(TLogOption option, const std::string& text) {
  if (netLogger_) netLogger_->LogMessage(this, option, text);
}

bool TSslBaseComponent::SslLogOptionActive(TLogOption option) {
  return netLogger_ && netLogger_->LogOptions().Contains(option);
}

std::string TSslBaseComponent::OpenSslErrorMessage(bool dumpAll, const std::string& message) {
  return OpenSslErrorMessageText(dumpAll, message, LastOpenSslError);
}

void TSslBaseComponent::TakeLibraryRef() {
  if (libRefHeld_) return;
  LoadSslLibraries();
  libRefHeld_ = true;
}

void TSslBaseComponent::ReleaseLibraryRef() {
  if (!libRefHeld_) return;
  libRefHeld_ = false;
  UnloadSslLibraries();
}

}  // namespace yux::net
