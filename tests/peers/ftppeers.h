#pragma once
// FTP servers on 127.0.0.1 for the FTP client's tests, each on a free port
// with its own configuration and folders, stopped with the object.
#include <filesystem>
#include <string>
#include <vector>

#include "tests/peers/peers.h"
#include "tests/support/testsupport.h"

namespace yux::test {

enum class FtpTls { None, Explicit, Implicit };

// The extra vsftpd configuration that refuses logins and data connections
// without TLS (start the server with FtpTls::Explicit).
inline constexpr const char kVsftpdForceTls[] = "force_anon_data_ssl=YES\nforce_anon_logins_ssl=YES\n";

// What every FTP server here is: a process of its own with a folder of its
// own, listening on a free port of 127.0.0.1, stopped with the object; a
// start that failed says why.
class FtpServerPeer {
 public:
  int Port() const { return port_; }
  const std::string& Error() const { return error_; }

 protected:
  // Starts argv and waits until the port listens; false with the reason
  // ("<name> did not start" or "<name> does not listen") in Error().
  bool Launch(const std::vector<std::string>& argv, const std::string& name);

  TempDir dir_;
  PeerProcess proc_;
  int port_ = 0;
  std::string error_;
};

// vsftpd with anonymous access.  Its root is owned by root and not
// writable (vsftpd refuses a writable one); uploads go to "pub", owned by
// the ftp user.  With TLS it uses the test PKI's server certificate and
// keeps vsftpd's default require_ssl_reuse=YES.
class VsftpdServer : public FtpServerPeer {
 public:
  bool Start(FtpTls tls = FtpTls::None, const std::string& extraConfig = {});
  // Starts the server again on the same port with another TLS certificate.
  bool RestartWithCertificate(const std::string& cert, const std::string& key);
  std::filesystem::path Root() const { return dir_ / "root"; }
  std::filesystem::path Pub() const { return dir_ / "root" / "pub"; }
  // Writes a file into pub owned by the ftp user, so that the server may
  // replace, append to or delete it.
  void PutFile(const std::string& name, const std::string& data) const;
  // Kills the server and every session it forked at once (SIGKILL), as a
  // crash would: clients see their connections reset.
  void Kill();
  // Starts the server again on the same port with the same configuration.
  bool Restart();
};

// proftpd with mod_deflate (DeflateEngine on), anonymous access to Anon(),
// run from the folder scripts/fetch_ftp_peers.sh unpacked it into.
class ProftpdServer : public FtpServerPeer {
 public:
  static bool Available();
  bool Start();
  std::filesystem::path Anon() const { return dir_ / "anon"; }
};

// pure-ftpd with one virtual user, "yux" with the password "secret", whose
// home is Home(); run from the folder scripts/fetch_ftp_peers.sh unpacked
// it into.
class PureFtpdServer : public FtpServerPeer {
 public:
  static bool Available();
  bool Start();
  std::filesystem::path Home() const { return dir_ / "home"; }
};

// A pyftpdlib server scripted in Python (its handler class is given as
// source text; "handler" must name it), run with Debian's /usr/bin/python3.
// The server serves `root` to the user "user" with the password "pass" and
// to anonymous users.
class PyFtpServer : public FtpServerPeer {
 public:
  bool Start(const std::string& handlerSource, const std::filesystem::path& root);
};

// Plain socket helpers for scripted FTP servers (blocking, 5 s limits).
// A listening socket on 127.0.0.1 with a port chosen by the system.
int LoopbackListener(int& port);
// A listening socket on 127.0.0.1:port; -1 when the port is taken.
int LoopbackListenerOn(int port);
// Accepts one connection and closes the listener.
int AcceptOne(int listener);
// Connects from the given source address to the address of a PORT command.
int ConnectFrom(const char* source, const std::string& portCommand);
void CloseFd(int fd);
// Reads until the peer closes (EndClosed), resets (EndReset) or stalls.
enum DataEnd { EndClosed, EndReset, EndTimeout };
DataEnd ReadUntilEnd(int fd);
// True when the peer closes without sending anything.
bool PeerClosed(int fd);
// Sends the block `count` times or until the peer refuses more.
void SendUntilRefused(int fd, const std::string& block, int count);

// Whether Debian's Python has pyftpdlib.
bool HavePyFtpdlib();

// Where the fetched but not installed server packages are unpacked.
std::filesystem::path FetchedPeerRoot(const std::string& package);

}  // namespace yux::test
