// The identity check of every TLS server the program talks to, and the
// file of the servers seen.
#include "core/run/tlsidentity.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "core/store/folders.h"
#include "net/protocols/ftpcli.h"
#include "net/protocols/smtpssl.h"
#include "net/socket/netresolve.h"
#include "net/socket/sslcontext.h"
#include "net/socket/sslpins.h"
#include "platform/safefile.h"

namespace fs = std::filesystem;

namespace yux {

namespace {

bool LineEndBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Fingerprint(ssl_st* ssl) { return net::SslCertFingerprint(ssl ? SSL_get0_peer_certificate(ssl) : nullptr); }

std::string HowToAcceptANewOne(const std::string& key, const std::string& file) {
  return "If the server's certificate was changed on purpose, remove the line of " + key + " from " + file +
         " to accept the new one. [!]";
}

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
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return {};
  if (ec) throw std::runtime_error("Cannot read " + path + ": " + ec.message());
  // Checked before the open: a FIFO in its place would block it.
  if (status.type() != fs::file_type::regular) throw std::runtime_error(path + " is not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot read " + path + ": " + std::strerror(errno));
  std::string text;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) text.append(buf, static_cast<std::size_t>(in.gcount()));
  if (in.bad()) throw std::runtime_error("Cannot read " + path);
  return text;
}

void AppendTlsPin(const std::string& path, std::string_view text, const std::string& hostPort,
                  const std::string& value) {
  if (!TlsPinFieldStorable(hostPort) || !TlsPinFieldStorable(value))
    throw std::runtime_error("The server \"" + hostPort + "\" cannot be recorded in " + path);
  const std::string addition = TlsPinAddition(text, hostPort, value);
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out) throw std::runtime_error("Cannot write " + path + ": " + std::strerror(errno));
  // Readable by its owner alone whatever the umask; an existing file is
  // narrowed to that before a line is added.
  if (!platform::SetFileMode(path, 0600)) throw std::runtime_error("Cannot make " + path + " private");
  out.write(addition.data(), static_cast<std::streamsize>(addition.size()));
  out.flush();
  if (!out) throw std::runtime_error("Cannot write " + path);
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
