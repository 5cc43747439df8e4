#pragma once
// An SMTP server on 127.0.0.1 for the SMTP client's tests: aiosmtpd run by
// Debian's Python with an authenticator that checks one user and password,
// a chosen set of AUTH mechanisms (CRAM-MD5 added here), STARTTLS or
// implicit TLS with the test certificates, and a message size limit.
// Every message it accepts is stored as <n>.eml beside <n>.json (envelope
// and the login that sent it).
#include <string>
#include <vector>

#include "tests/peers/peers.h"
#include "tests/support/testsupport.h"

namespace yux::test {

struct SmtpPeerOptions {
  std::string user;      // empty: no authenticator (AUTH fails)
  std::string password;
  // Mechanisms taken away from LOGIN and PLAIN (aiosmtpd's own).
  std::vector<std::string> exclude;
  bool cramMd5 = false;  // offer CRAM-MD5 too
  enum Tls { kPlain, kStartTls, kImplicit } tls = kPlain;
  long sizeLimit = 0;  // 0: aiosmtpd's default
  bool refuseFirstMail = false;  // 451 to the first MAIL FROM of the server's life
  bool refuseEhlo = false;       // 550 to every EHLO (HELO still works)
  bool refuseRcpt = false;       // 550 to every RCPT TO
  // The TLS certificate and key; empty: the test PKI's server certificate.
  std::string cert, key;
  int port = 0;  // 0: a free port (a server started again keeps its old one)
};

class SmtpPeer {
 public:
  SmtpPeer() = default;
  SmtpPeer(const SmtpPeer&) = delete;
  SmtpPeer& operator=(const SmtpPeer&) = delete;
  // False when the server could not be started (the reason in Error()).
  bool Start(const SmtpPeerOptions& options);
  int Port() const { return port_; }
  const std::string& Error() const { return error_; }
  // The stored messages, oldest first: raw message bytes and envelope JSON.
  int MessageCount() const;
  std::string Message(int index) const;
  std::string Envelope(int index) const;
  std::string Log() const;
  // The commands the server read, in order, one per line: the client's
  // port, a blank and the command word ("51234 EHLO").
  std::string Commands() const;

 private:
  TempDir dir_;
  PeerProcess process_;
  int port_ = 0;
  std::string error_;
};

// For scripted SMTP servers: the next CR LF line of a connection (without
// its CR LF), with `pending` holding what was read past it; false at the end
// of the connection or after ms without a whole line.
bool ReadSmtpLine(int fd, std::string& pending, std::string& line, int ms);

// Runs Python's email package over a stored message (parse_mail.py) and
// returns its JSON report, empty when it could not run.
std::string ParseMailWithPython(const std::string& file);

// The path of Debian's interpreter, which has aiosmtpd.
inline constexpr const char* kDebianPython = "/usr/bin/python3";

}  // namespace yux::test
