// The identity check of every TLS server the program talks to, and the
// file of the servers seen.
#include "core/run/tlsidentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "core/store/folders.h"
#include "net/protocols/ftpcli.h"
#include "net/protocols/smtpssl.h"
#include "net/socket/netresolve.h"
#include "net/socket/sslcontext.h"
#include "net/socket/sslpins.h"


namespace yux {

namespace {

bool LineEndBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Fingerprint(ssl_st* ssl) { return net::SslCertFingerprint(ssl ? SSL_get0_peer_certificate(ssl) : nullptr); }

std::string HowToAcceptANewOne(const std::string& key, const std::string& file) {
  return "If the server's certificate was changed on purpose, remove the line of " + key + " from " + file +
         " to accept the new one. [!]";
}

// Opens the file of the servers seen as it stands at its path: a symbolic
// link planted there is refused, never followed (reading through it would
// take someone else's list of servers, writing would change another
// file), and a FIFO in its place does not hold the open up.  The open file
// must be a regular file.  -1 when there is no file (without O_CREAT).
int OpenServersFile(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  if (fd < 0) {
    const int err = errno;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        throw std::runtime_error(path + " is a symbolic link" +
                                 (n > 0 ? " (to " + std::string(target, std::size_t(n)) + ")" : std::string()) +
                                 ", not a regular file");
      }
      if (!S_ISREG(st.st_mode)) throw std::runtime_error(path + " is not a regular file");
    } else if (err == ENOENT && reading) {
      return -1;
    }
    throw std::runtime_error((reading ? "Cannot read " : "Cannot write ") + path + ": " + std::strerror(err));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw std::runtime_error(path + " is not a regular file");
  }
  return fd;
}

// Closes the descriptor when it goes out of scope.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

net::TSslContext& ClientSslContext() {
  static std::unique_ptr<net::TSslContext> ctx;
  if (!ctx) {
    ctx = std::make_unique<net::TSslContext>();
    ctx->SetSslVerifyPeer(false);
    ctx->InitContext();
  }
  return *ctx;
}

std::string TlsServersFile() { return PathJoin(SettingsFolder, "tlsservers.txt"); }

bool TlsPinFieldStorable(std::string_view field) {
  return !field.empty() && field.find_first_of(std::string_view(" \t\r\n\0", 5)) == std::string_view::npos;
}

std::optional<std::string> FindTlsPin(std::string_view text, std::string_view hostPort) {
  while (!text.empty()) {
    const auto lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos || line.substr(0, blank) != hostPort) continue;
    std::string_view value = line.substr(blank + 1);
    while (!value.empty() && LineEndBlank(value.back())) value.remove_suffix(1);
    return std::string(value);
  }
  return std::nullopt;
}

std::string TlsPinAddition(std::string_view text, std::string_view hostPort, std::string_view value) {
  std::string out;
  if (!text.empty() && text.back() != '\n') out += '\n';
  out.append(hostPort);
  out += ' ';
  out.append(value);
  out += '\n';
  return out;
}

std::string ReadTlsPinFile(const std::string& path) {
  FdCloser file{OpenServersFile(path, O_RDONLY)};
  if (file.fd < 0) return {};
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(file.fd, buf, sizeof buf);
    if (n == 0) return text;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("Cannot read " + path + ": " + std::strerror(errno));
    text.append(buf, static_cast<std::size_t>(n));
  }
}

void AppendTlsPin(const std::string& path, std::string_view text, const std::string& hostPort,
                  const std::string& value) {
  if (!TlsPinFieldStorable(hostPort) || !TlsPinFieldStorable(value))
    throw std::runtime_error("The server \"" + hostPort + "\" cannot be recorded in " + path);
  const std::string addition = TlsPinAddition(text, hostPort, value);
  FdCloser file{OpenServersFile(path, O_WRONLY | O_APPEND | O_CREAT)};
  // Readable by its owner alone whatever the umask; an existing file is
  // narrowed to that before a line is added.
  if (::fchmod(file.fd, 0600) != 0) throw std::runtime_error("Cannot make " + path + " private");
  for (std::size_t done = 0; done < addition.size();) {
    const ssize_t n = ::write(file.fd, addition.data() + done, addition.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("Cannot write " + path + ": " + std::strerror(n < 0 ? errno : EIO));
    done += static_cast<std::size_t>(n);
  }
  const int fd = file.fd;
  file.fd = -1;
  if (::close(fd) != 0) throw std::runtime_error("Cannot write " + path + ": " + std::strerror(errno));
}

bool AcceptTlsPeer(const TlsPeer& peer, const std::string& file, const TlsLogLine& log) {
  const auto say = [&](const std::string& line) {
    if (log) log(line);
  };
  const std::string& key = peer.key;
  if (peer.fingerprint.empty()) {
    say("TLS server " + key + " sent no certificate: session ended. [!]");
    return false;
  }
  std::optional<std::string> known;
  try {
    const std::string text = ReadTlsPinFile(file);
    known = FindTlsPin(text, key);
    if (!known) {
      AppendTlsPin(file, text, key, peer.vouched ? kTlsPinAuthority : peer.fingerprint);
      say(peer.vouched ? "TLS server " + key +
                             " seen for the first time, with a certificate a certificate authority vouches for: "
                             "from now on only such a certificate is accepted there (remembered in " + file + ")."
                       : "TLS server " + key + " seen for the first time (" + peer.why + "): its certificate " +
                             peer.fingerprint + " is remembered in " + file + ".");
      return true;
    }
  } catch (const std::exception& e) {
    say(std::string(e.what()) + ": the certificate of TLS server " + key +
        " cannot be checked, session ended before the login. [!]");
    return false;
  }
  // An authority's word counts wherever the file has a line, and a
  // remembered certificate where it has that one.
  if (peer.vouched || *known == peer.fingerprint) return true;
  if (*known == kTlsPinAuthority) {
    say("TLS server " + key + " presents the certificate " + peer.fingerprint +
        ", which no certificate authority vouches for (" + peer.why +
        "), where an authority vouched for the server's certificate before: session ended before the login. " +
        HowToAcceptANewOne(key, file));
    return false;
  }
  say("TLS server " + key + " presents the certificate " + peer.fingerprint + " instead of the one remembered, " +
      *known + ", and no certificate authority vouches for it (" + peer.why + "): session ended before the login. " +
      HowToAcceptANewOne(key, file));
  return false;
}

std::string TlsServerKey(const std::string& host, const std::string& port) {
  std::string key = host;
  for (char& ch : key) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  // The services the program's own defaults name, whatever the system's
  // service list says.
  std::string number = port;
  if (port == "ftp") {
    number = "21";
  } else if (port == "smtp") {
    number = "25";
  } else {
    try {
      number = std::to_string(net::ResolvePortText(port, "tcp"));
    } catch (const std::exception&) {
      // The client cannot reach it either; the text stands.
    }
  }
  return key + ":" + number;
}

bool TlsServerCheck::AcceptServer(ssl_st* ssl, const std::string& host, const std::string& port) {
  TlsPeer peer;
  peer.key = TlsServerKey(host, port);
  peer.fingerprint = Fingerprint(ssl);
  peer.vouched = net::SslPeerValidForHost(ssl, host, peer.why);
  refused_ = !AcceptTlsPeer(peer, TlsServersFile(), log_);
  fingerprint_ = refused_ ? std::string() : peer.fingerprint;
  return !refused_;
}

bool TlsServerCheck::AcceptDataServer(ssl_st* ssl, const std::string& host, const std::string& port) const {
  std::string why;
  if (net::SslPeerValidForHost(ssl, host, why)) return true;
  const std::string fingerprint = Fingerprint(ssl);
  if (!fingerprint.empty() && fingerprint == fingerprint_) return true;
  if (log_)
    log_("TLS data connection of " + TlsServerKey(host, port) + " presents the certificate " + fingerprint +
         ", not the control connection's " + fingerprint_ + ": transfer ended. [!]");
  return false;
}

void TlsServerCheck::Guard(net::TSslFtpClient& client) {
  client.OnSslPeerCheck = [this](net::TCustomFtpCli* sender, net::TWSocket& s, bool control) {
    return control ? AcceptServer(s.Ssl(), sender->HostName, sender->Port)
                   : AcceptDataServer(s.Ssl(), sender->HostName, sender->Port);
  };
}

void TlsServerCheck::Guard(net::TSslSmtpCli& client) {
  client.OnSslHandshakeDone = [this, &client](net::TCustomWSocket*, net::WORD error, net::TX509Base*,
                                              bool& disconnect) {
    if (error == 0 && !disconnect && !AcceptServer(client.CtrlSocket()->Ssl(), client.Host, client.Port))
      disconnect = true;
  };
}

}  // namespace yux
