#pragma once
// HTTP servers and proxies on 127.0.0.1 for the HTTP client's tests: nginx
// (plain and https), lighttpd with Digest authentication, squid with Digest
// proxy authentication, and a scripted server built on Python's
// http.server for the answers no real server gives on demand.  Each is
// started on free ports with its own configuration in its own folder and
// stopped with the object.
#include <string>

#include "tests/peers/peers.h"
#include "tests/support/testsupport.h"

namespace yux::test {

// nginx serving <Dir>/www on Port, and with TLS (the test PKI's "server"
// certificate) on SslPort.  The access log has one line per request:
//   <connection number> <request of the connection> "<request line>" <status> "<TLS server name>"
class NginxPeer {
 public:
  // serverExtra: more lines inside the server block (locations, gzip,
  // authentication), where "{PORT}" and "{SSLPORT}" stand for the ports.  Files are put in Www() before or after the start.
  bool Start(const std::string& serverExtra = {});
  int Port = 0;
  int SslPort = 0;
  const TempDir& Dir() const { return dir_; }
  std::filesystem::path Www() const { return dir_ / "www"; }
  std::string AccessLog() const;
  std::string ErrorLog() const;

 private:
  enum class Launched { Listening, PortTaken, Failed };
  Launched Launch(const std::string& serverExtra);
  TempDir dir_;
  PeerProcess proc_;
};

// lighttpd serving <Dir>/www on Port, every path behind Digest
// authentication (realm "yux") for one user.
class LighttpdDigestPeer {
 public:
  bool Start(const std::string& user, const std::string& password);
  int Port = 0;
  std::filesystem::path Www() const { return dir_ / "www"; }

 private:
  TempDir dir_;
  PeerProcess proc_;
};

// squid as a forward proxy that asks for Digest proxy authentication
// (realm "yux") and allows CONNECT to any port.
class SquidDigestPeer {
 public:
  bool Start(const std::string& user, const std::string& password);
  int Port = 0;
  std::string CacheLog() const;

 private:
  TempDir dir_;
  PeerProcess proc_;
};

// The scripted HTTP server (Python http.server, HTTP/1.1 answers).  Paths:
//   POST /echo             the request's header lines, an empty line, the body
//   GET  /headers          the request's header lines
//   GET  /chunked?n=N      N bytes (byte i is i*7 mod 251) in chunks of varied sizes
//   GET  /continue         "100 Continue" first, then "after continue"
//   POST /r307             307 to /echo
//   GET  /relocate?to=URL  302 to URL, only with an Authorization header (else 401 Basic)
//   GET  /short            Content-Length 100, 50 bytes, close
//   GET  /chunk-cut        a chunked body without its last chunk, close
//   GET  /chunk-bad        a chunk size that is not hex
//   GET  /endless-header   a header line that never ends
//   GET  /huge-header      1200 header lines of 1 KB
//   GET  /noheader         a document without status line and header, close
//   GET  /silent           no answer at all
//   GET  /ntlm             NTLM authentication of user "alice", password
//                          "s3cret", domain "YUXDOM"; the type 3 message is
//                          checked with hashlib and hmac
//   GET  <any URL>/proxy-ntlm  the same as a proxy would ask for it (407,
//                          Proxy-Authenticate, Proxy-Authorization)
class PythonHttpPeer {
 public:
  bool Start();
  int Port = 0;

 private:
  TempDir dir_;
  PeerProcess proc_;
};

}  // namespace yux::test
