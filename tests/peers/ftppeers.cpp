#include "tests/peers/ftppeers.h"

#include <pwd.h>
#include <unistd.h>

#include <fstream>

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
  if (!proc_.Start({"vsftpd", file})) {
    error_ = "vsftpd did not start";
    return false;
  }
  if (!WaitForListener(port_)) {
    error_ = "vsftpd does not listen";
    return false;
  }
  return true;
}

void VsftpdServer::PutFile(const std::string& name, const std::string& data) const {
  WriteFile(Pub() / name, data);
  OwnByFtp(Pub() / name);
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
  if (!proc_.Start({"/usr/bin/python3", file, std::to_string(port_), root.string()})) return false;
  return WaitForListener(port_);
}

std::filesystem::path FetchedPeerRoot(const std::string& package) {
  return std::filesystem::path("/var/cache/yux-peers") / package;
}

}  // namespace yux::test
