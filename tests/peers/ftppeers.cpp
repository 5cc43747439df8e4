#include "tests/peers/ftppeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fstream>
#include <iterator>

#include "tests/peers/sslfixture.h"

namespace yux::test {

namespace {

void OwnByFtp(const std::filesystem::path& p) {
  if (passwd* pw = ::getpwnam("ftp")) {
    if (::chown(p.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      // Not root: the server then runs as this user and owns everything.
    }
  }
}

}  // namespace

bool FtpServerPeer::Launch(const std::vector<std::string>& argv, const std::string& name) {
  if (!proc_.Start(argv)) {
    error_ = name + " did not start";
    return false;
  }
  if (!WaitForListener(port_)) {
    error_ = name + " does not listen";
    return false;
  }
  return true;
}

bool VsftpdServer::Start(FtpTls tls, const std::string& extraConfig) {
  namespace fs = std::filesystem;
  fs::create_directories(Pub());
  fs::create_directories(dir_ / "empty");
  fs::permissions(Root(), fs::perms(0755));
  fs::permissions(dir_ / "empty", fs::perms(0755));
  fs::permissions(Pub(), fs::perms(0755));
  OwnByFtp(Pub());
  port_ = FreeLoopbackPort();
  std::string conf =
      "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
      std::to_string(port_) +
      "\nbackground=NO\nanonymous_enable=YES\nlocal_enable=NO\nanon_root=" + Root().string() +
      "\nwrite_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
      "anon_other_write_enable=YES\nanon_umask=022\nno_anon_password=YES\n"
      "pasv_enable=YES\npasv_address=127.0.0.1\nport_enable=YES\nconnect_from_port_20=NO\n"
      "secure_chroot_dir=" + (dir_ / "empty").string() +
      "\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\nxferlog_enable=NO\n"
      "ascii_download_enable=YES\nascii_upload_enable=YES\ndirmessage_enable=NO\nuse_localtime=NO\nidle_session_timeout=60\n"
      "data_connection_timeout=60\n";
  if (tls != FtpTls::None) {
    const TestPki& pki = TestPki::Get();
    conf += "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=NO\n"
            "force_anon_data_ssl=NO\nssl_ciphers=HIGH\nssl_tlsv1=YES\nssl_sslv2=NO\nssl_sslv3=NO\n"
            "rsa_cert_file=" + pki.Cert("server") + "\nrsa_private_key_file=" + pki.Key("server") + "\n";
    if (tls == FtpTls::Implicit) conf += "implicit_ssl=YES\n";
  }
  conf += extraConfig;
  std::string file = (dir_ / "vsftpd.conf").string();
  WriteFile(file, conf);
  return Launch({"vsftpd", file}, "vsftpd");
}

bool VsftpdServer::RestartWithCertificate(const std::string& cert, const std::string& key) {
  Kill();
  const std::string file = (dir_ / "vsftpd.conf").string();
  std::string conf = ReadFile(file);
  std::string out;
  std::size_t start = 0;
  while (start < conf.size()) {
    std::size_t end = conf.find('\n', start);
    if (end == std::string::npos) end = conf.size();
    std::string line = conf.substr(start, end - start);
    if (line.rfind("rsa_cert_file=", 0) == 0) line = "rsa_cert_file=" + cert;
    if (line.rfind("rsa_private_key_file=", 0) == 0) line = "rsa_private_key_file=" + key;
    out += line + "\n";
    start = end + 1;
  }
  WriteFile(file, out);
  return Restart();
}

void VsftpdServer::PutFile(const std::string& name, const std::string& data) const {
  WriteFile(Pub() / name, data);
  OwnByFtp(Pub() / name);
}

void VsftpdServer::Kill() {
  namespace fs = std::filesystem;
  // The listener and its sessions share the command line naming this
  // server's own configuration file.
  const std::string conf = (dir_ / "vsftpd.conf").string();
  const std::string wanted = std::string("vsftpd") + '\0' + conf + '\0';
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string pid = e.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    // A process that ends between the open and the read fails the read
    // (ESRCH), which the stream library throws even without exceptions set.
    std::string cmdline;
    try {
      std::ifstream in(e.path() / "cmdline", std::ios::binary);
      cmdline.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
      continue;
    }
    if (cmdline == wanted) ::kill(std::atoi(pid.c_str()), SIGKILL);
  }
  proc_.Stop();
}

bool VsftpdServer::Restart() { return Launch({"vsftpd", (dir_ / "vsftpd.conf").string()}, "vsftpd (again)"); }

int LoopbackListener(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 4);
  socklen_t l = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
  port = ntohs(a.sin_port);
  return fd;
}

int LoopbackListenerOn(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int AcceptOne(int listener) {
  pollfd p{listener, POLLIN, 0};
  int d = ::poll(&p, 1, 5000) > 0 ? ::accept(listener, nullptr, nullptr) : -1;
  ::close(listener);
  return d;
}

int ConnectFrom(const char* source, const std::string& portCommand) {
  int n[6] = {};
  if (std::sscanf(portCommand.c_str(), "PORT %d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4],
                  &n[5]) != 6)
    return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in s{};
  s.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &s.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&s), sizeof s);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(n[4] * 256 + n[5]));
  a.sin_addr.s_addr = htonl(uint32_t(n[0]) << 24 | uint32_t(n[1]) << 16 | uint32_t(n[2]) << 8 |
                            uint32_t(n[3]));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

DataEnd ReadUntilEnd(int fd) {
  char b[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return EndTimeout;
    ssize_t n = ::recv(fd, b, sizeof b, 0);
    if (n == 0) return EndClosed;
    if (n < 0) return errno == ECONNRESET ? EndReset : EndClosed;
  }
}

bool PeerClosed(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 5000) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, 0) <= 0;
}

void SendUntilRefused(int fd, const std::string& block, int count) {
  for (int i = 0; i < count; ++i)
    if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) < 0) return;
}

bool HavePyFtpdlib() {
  ProcessResult r = RunProgram({"/usr/bin/python3", "-c", "import pyftpdlib"}, {}, 20000);
  return r.exitCode == 0;
}

bool PyFtpServer::Start(const std::string& handlerSource, const std::filesystem::path& root) {
  port_ = FreeLoopbackPort();
  std::string script =
      "import sys, logging\n"
      "from pyftpdlib.authorizers import DummyAuthorizer\n"
      "from pyftpdlib.handlers import FTPHandler\n"
      "from pyftpdlib.servers import FTPServer\n" +
      handlerSource +
      "\nauth = DummyAuthorizer()\n"
      "auth.add_user('user', 'pass', sys.argv[2], perm='elradfmwMT')\n"
      "auth.add_anonymous(sys.argv[2], perm='elradfmwMT')\n"
      "handler.authorizer = auth\n"
      "handler.masquerade_address = '127.0.0.1'\n"
      "logging.basicConfig(level=logging.CRITICAL)\n"
      "FTPServer(('127.0.0.1', int(sys.argv[1])), handler).serve_forever()\n";
  std::string file = (dir_ / "server.py").string();
  WriteFile(file, script);
  return Launch({"/usr/bin/python3", file, std::to_string(port_), root.string()}, "pyftpdlib");
}

std::filesystem::path FetchedPeerRoot(const std::string& package) {
  const char* env = std::getenv("YUX_PEERS_DIR");
  return std::filesystem::path(env && *env ? env : "/var/cache/yux-peers") / package;
}

namespace {

std::vector<std::string> FetchedCommand(const std::string& package, const std::string& binary) {
  auto root = FetchedPeerRoot(package);
  return {"env", "LD_LIBRARY_PATH=" + (root / "usr/lib/x86_64-linux-gnu").string(),
          (root / binary).string()};
}

}  // namespace

bool ProftpdServer::Available() {
  return std::filesystem::exists(FetchedPeerRoot("proftpd-core") / "usr/sbin/proftpd");
}

bool ProftpdServer::Start() {
  namespace fs = std::filesystem;
  fs::create_directories(Anon());
  fs::permissions(dir_.path(), fs::perms(0755));
  OwnByFtp(Anon());
  port_ = FreeLoopbackPort();
  const std::string d = dir_.str();
  std::string conf =
      "ServerName \"yux test\"\nServerType standalone\nDefaultServer on\nPort " +
      std::to_string(port_) +
      "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\nUser nobody\n"
      "Group nogroup\nPidFile " + d + "/proftpd.pid\nScoreboardFile " + d +
      "/scoreboard\nDelayTable none\nWtmpLog off\nTransferLog none\nModulePath " +
      (FetchedPeerRoot("proftpd-core") / "usr/lib/proftpd").string() +
      "\nLoadModule mod_deflate.c\nDeflateEngine on\n<Anonymous " + Anon().string() +
      ">\n  User ftp\n  Group nogroup\n  UserAlias anonymous ftp\n  RequireValidShell off\n"
      "  <Limit WRITE>\n    AllowAll\n  </Limit>\n</Anonymous>\n";
  std::string file = (dir_ / "proftpd.conf").string();
  WriteFile(file, conf);
  auto argv = FetchedCommand("proftpd-core", "usr/sbin/proftpd");
  argv.insert(argv.end(), {"-n", "-q", "-c", file});
  return Launch(argv, "proftpd");
}

bool PureFtpdServer::Available() {
  return std::filesystem::exists(FetchedPeerRoot("pure-ftpd") / "usr/sbin/pure-ftpd");
}

bool PureFtpdServer::Start() {
  namespace fs = std::filesystem;
  fs::create_directories(Home());
  fs::permissions(dir_.path(), fs::perms(0755));
  OwnByFtp(Home());
  passwd* pw = ::getpwnam("ftp");
  const std::string uid = pw ? std::to_string(pw->pw_uid) : std::to_string(::getuid());
  const std::string gid = pw ? std::to_string(pw->pw_gid) : std::to_string(::getgid());
  const std::string db = (dir_ / "users.pdb").string();
  auto pwcmd = FetchedCommand("pure-ftpd", "usr/bin/pure-pw");
  pwcmd.insert(pwcmd.end(), {"useradd", "yux", "-f", (dir_ / "users.passwd").string(), "-F", db,
                             "-u", uid, "-g", gid, "-d", Home().string(), "-m"});
  if (RunProgram(pwcmd, {}, 20000, "secret\nsecret\n").exitCode != 0) {
    error_ = "pure-pw failed";
    return false;
  }
  port_ = FreeLoopbackPort();
  auto argv = FetchedCommand("pure-ftpd", "usr/sbin/pure-ftpd");
  argv.insert(argv.end(),
              {"-S", "127.0.0.1," + std::to_string(port_), "-l", "puredb:" + db, "-E", "-H"});
  return Launch(argv, "pure-ftpd");
}

}  // namespace yux::test
