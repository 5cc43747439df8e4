#pragma once
// Who the program's TLS clients talk to.  Every server reached over TLS
// (the run's FTP and e-mail deliveries, the report mails, the FTP windows)
// is judged by one check right after the handshake, before anything else
// goes over the connection, against one file of the servers seen before:
// nothing, the login least of all, goes to a server that shows another
// kind of certificate than it did at the first contact.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct ssl_st;

namespace yux {

namespace net {
class TSslContext;
class TSslFtpClient;
class TSslSmtpCli;
}  // namespace net

// The TLS context of the program's FTP and mail clients.  It does not
// refuse a certificate during the handshake: the servers of backup targets
// mostly carry self-made certificates, which TlsServerCheck judges.
net::TSslContext& ClientSslContext();

// The file of the servers seen (in the settings folder, readable by its
// owner alone): one "host:port value" line per server, where the value is
// the SHA-256 fingerprint of the certificate first seen from a server no
// certificate authority vouched for, or kTlsPinAuthority for one an
// authority vouched for.
std::string TlsServersFile();
inline constexpr char kTlsPinAuthority[] = "CA";

// Whether a host:port key or a value can stand in the file: not empty, no
// blank, tab, CR, LF or NUL.
bool TlsPinFieldStorable(std::string_view field);
// The value of the first line of `text` that names `hostPort` (a CR and
// blanks at the line's end are not part of it); none when no line does.
std::optional<std::string> FindTlsPin(std::string_view text, std::string_view hostPort);
// The bytes that add the line "hostPort value" at the end of `text`: a
// line feed first when the text's last line has none, so that the line
// before keeps its value.
std::string TlsPinAddition(std::string_view text, std::string_view hostPort, std::string_view value);

// The file's text; empty when it does not exist.  Raises std::runtime_error
// naming the file when it is anything but a regular file (a symbolic link,
// which is never followed, a folder, a FIFO, which never blocks the call)
// or cannot be read.
std::string ReadTlsPinFile(const std::string& path);
// Appends the line of hostPort to the file whose text was read as `text`,
// made readable by its owner alone first.  Raises std::runtime_error naming
// the file when the fields cannot be stored or the file cannot be written;
// like ReadTlsPinFile, it neither follows a symbolic link nor writes to
// anything but a regular file.
void AppendTlsPin(const std::string& path, std::string_view text, const std::string& hostPort,
                  const std::string& value);

// Where the check's lines go: the preset's log for a run; the program log
// (and a window's own log) where there is no preset.
using TlsLogLine = std::function<void(const std::string& line)>;

// What a handshake showed of the server at `key` ("host:port", the host in
// lower case and the port as a number).
struct TlsPeer {
  std::string key;
  std::string fingerprint;  // empty: the server sent no certificate
  bool vouched = false;     // an authority of the system vouches for it, for the host
  std::string why;          // why not, when not
};

// The judgement on one server.  At first contact the server is recorded
// (kTlsPinAuthority when an authority vouched for it, else its fingerprint)
// with one line, and accepted.  Later a server recorded as kTlsPinAuthority
// passes only while an authority vouches for its certificate; one recorded
// by fingerprint passes with that certificate or one an authority vouches
// for.  Anything else is refused with a line naming the host, what was
// remembered and how to accept a new certificate; so is every server while
// the file cannot be read or written.
bool AcceptTlsPeer(const TlsPeer& peer, const std::string& file, const TlsLogLine& log);

// The "host:port" key of a server named by the text a client was given:
// the host in lower case, the port as a number where the text names a
// service.
std::string TlsServerKey(const std::string& host, const std::string& port);

// The check of one client: the server of its control connection, and the
// server of each FTP data connection, which must show the control
// connection's certificate (or one an authority vouches for).
class TlsServerCheck {
 public:
  explicit TlsServerCheck(TlsLogLine log) : log_(std::move(log)) {}
  TlsServerCheck(const TlsServerCheck&) = delete;
  TlsServerCheck& operator=(const TlsServerCheck&) = delete;

  // Installs the check on the client (which must not outlive it): each
  // server is judged right after its handshake, and a refused one ends the
  // request before anything more goes to it.
  void Guard(net::TSslFtpClient& client);
  void Guard(net::TSslSmtpCli& client);

  bool AcceptServer(ssl_st* ssl, const std::string& host, const std::string& port);
  bool AcceptDataServer(ssl_st* ssl, const std::string& host, const std::string& port) const;
  // The last control connection's server was refused.
  bool Refused() const { return refused_; }

 private:
  TlsLogLine log_;
  std::string fingerprint_;  // of the last control connection's server
  bool refused_ = false;
};

}  // namespace yux
