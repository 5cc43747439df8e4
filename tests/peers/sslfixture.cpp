#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>

#include "platform/messages.h"
#include "tests/peers/sslfixture.h"

extern char** environ;

namespace yux::test {

namespace {
const char* kCaConfig = R"([ ca ]
default_ca = CA_default
[ CA_default ]
dir = DIR
database = $dir/index.txt
new_certs_dir = $dir/newcerts
serial = $dir/serial
crlnumber = $dir/crlnumber
default_md = sha256
default_days = 30
default_crl_days = 30
policy = policy_any
copy_extensions = copy
unique_subject = no
[ policy_any ]
commonName = supplied
)";
}  // namespace

const TestPki& TestPki::Get() {
  static TestPki pki;
  return pki;
}

bool TestPki::Run(const std::vector<std::string>& argv) {
  if (!error_.empty()) return false;
  ProcessResult r = RunProgram(argv, {}, 30000);
  if (r.exitCode != 0) {
    error_ = argv.size() > 1 ? argv[1] : argv[0];
    error_ += " failed: " + r.err + r.out;
    return false;
  }
  return true;
}

TestPki::TestPki() {
  if (FindProgram("openssl").empty()) {
    error_ = "missing program: openssl";
    return;
  }
  const std::string d = dir_.str();
  auto ca = [&](const std::string& caName) {
    std::string sub = d + "/" + caName;
    std::filesystem::create_directories(sub + "/newcerts");
    WriteFile(sub + "/index.txt", "");
    WriteFile(sub + "/serial", "1000\n");
    WriteFile(sub + "/crlnumber", "1000\n");
    std::string conf = kCaConfig;
    conf.replace(conf.find("DIR"), 3, sub);
    WriteFile(sub + "/ca.cnf", conf);
    Run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", d + "/" + caName + ".key", "-out", d + "/" + caName + ".pem", "-subj",
         "/CN=YUX Test " + caName, "-days", "30"});
  };
  auto leaf = [&](const std::string& name, const std::string& cn, const std::string& san,
                  const std::string& caName, const std::vector<std::string>& dates) {
    std::vector<std::string> req = {"openssl",
                                    "req",
                                    "-new",
                                    "-newkey",
                                    "ec",
                                    "-pkeyopt",
                                    "ec_paramgen_curve:prime256v1",
                                    "-nodes",
                                    "-keyout",
                                    d + "/" + name + ".key",
                                    "-out",
                                    d + "/" + name + ".csr",
                                    "-subj",
                                    "/CN=" + cn};
    if (!san.empty()) {
      req.push_back("-addext");
      req.push_back("subjectAltName=" + san);
    }
    Run(req);
    std::vector<std::string> sign = {"openssl",
                                     "ca",
                                     "-batch",
                                     "-config",
                                     d + "/" + caName + "/ca.cnf",
                                     "-cert",
                                     d + "/" + caName + ".pem",
                                     "-keyfile",
                                     d + "/" + caName + ".key",
                                     "-in",
                                     d + "/" + name + ".csr",
                                     "-out",
                                     d + "/" + name + ".pem",
                                     "-notext"};
    sign.insert(sign.end(), dates.begin(), dates.end());
    Run(sign);
  };
  ca("ca");
  ca("rogueca");
  const std::string names = "DNS:localhost,IP:127.0.0.1";
  leaf("server", "localhost", names, "ca", {});
  leaf("expired", "localhost", names, "ca",
       {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"});
  leaf("otherhost", "other.example", "DNS:other.example", "ca", {});
  leaf("star", "*", "", "ca", {});
  leaf("client", "yux client", "", "ca", {});
  leaf("rogue", "localhost", names, "rogueca", {});
  leaf("revoked", "localhost", names, "ca", {});
  Run({"openssl", "ca", "-batch", "-config", d + "/ca/ca.cnf", "-cert", d + "/ca.pem", "-keyfile",
       d + "/ca.key", "-revoke", d + "/revoked.pem"});
  Run({"openssl", "ca", "-batch", "-config", d + "/ca/ca.cnf", "-cert", d + "/ca.pem", "-keyfile",
       d + "/ca.key", "-gencrl", "-out", d + "/crl.pem"});
  Run({"openssl", "pkey", "-in", d + "/server.key", "-aes128", "-passout", "pass:secret", "-out",
       d + "/server.enc.key"});
}

// ---------------------------------------------------------------------------

PipedPeer::~PipedPeer() { Stop(); }

bool PipedPeer::Start(const std::vector<std::string>& argv) {
  int inPipe[2], outPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0) return false;
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
  std::vector<char*> args;
  for (auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 2);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  if (rc != 0) {
    ::close(inPipe[1]);
    ::close(outPipe[0]);
    return false;
  }
  pid_ = pid;
  in_ = inPipe[1];
  out_ = outPipe[0];
  ended_ = false;
  reader_ = std::thread([this] {
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) break;
      std::lock_guard<std::mutex> g(lock_);
      output_.append(buf, size_t(n));
    }
    ended_ = true;
  });
  return true;
}

void PipedPeer::Write(const std::string& data) {
  size_t off = 0;
  while (in_ >= 0 && off < data.size()) {
    ssize_t n = ::write(in_, data.data() + off, data.size() - off);
    if (n <= 0) break;
    off += size_t(n);
  }
}

void PipedPeer::CloseInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

std::string PipedPeer::Output() {
  std::lock_guard<std::mutex> g(lock_);
  return output_;
}

bool PipedPeer::WaitOutput(const std::string& text, unsigned ms) {
  return platform::WaitPumping([&] { return Output().find(text) != std::string::npos; }, ms, 5);
}

int PipedPeer::WaitExit(unsigned ms) {
  if (pid_ <= 0) return exitCode_;
  int status = 0;
  bool done = platform::WaitPumping(
      [&] {
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        return r == pid_;
      },
      ms, 5);
  if (!done) return -1;
  pid_ = -1;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (reader_.joinable()) reader_.join();
  if (out_ >= 0) ::close(out_);
  out_ = -1;
  return exitCode_;
}

void PipedPeer::Stop() {
  CloseInput();
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
        gone = true;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!gone) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

int StartSServer(PipedPeer& p, const std::string& cert, const std::string& key,
                 const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:0",
                                   "-cert",   cert,       "-key",    key};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!p.Start(argv)) return 0;
  int port = 0;
  platform::WaitPumping(
      [&] {
        std::smatch m;
        std::string out = p.Output();
        static const std::regex re("ACCEPT 127\\.0\\.0\\.1:([0-9]+)");
        if (std::regex_search(out, m, re)) port = std::stoi(m[1]);
        return port != 0;
      },
      30000, 5);
  return port;
}

bool MakeSelfSigned(const std::filesystem::path& dir, const std::string& name) {
  const ProcessResult r = RunProgram(
      {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
       "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
       (dir / (name + ".key")).string(), "-out", (dir / (name + ".pem")).string()});
  return r.exitCode == 0;
}

std::string CertFingerprint(const std::string& pem) {
  const ProcessResult r =
      RunProgram({"openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", pem});
  const auto eq = r.out.find('=');
  if (r.exitCode != 0 || eq == std::string::npos) return {};
  std::string f = r.out.substr(eq + 1);
  while (!f.empty() && (f.back() == '\n' || f.back() == '\r')) f.pop_back();
  return f;
}

int StartPythonTlsServer(PipedPeer& py, const std::string& script, const std::vector<std::string>& args) {
  const TestPki& pki = TestPki::Get();
  std::vector<std::string> argv = {"/usr/bin/python3", script, pki.Cert("server"), pki.Key("server")};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!py.Start(argv)) return 0;
  // The whole line: "PORT " and the number up to its line end.
  std::string line;
  const bool said = platform::WaitPumping(
      [&] {
        const std::string out = py.Output();
        const std::size_t at = out.find("PORT ");
        const std::size_t end = at == std::string::npos ? at : out.find('\n', at);
        if (end == std::string::npos) return false;
        line = out.substr(at + 5, end - at - 5);
        return true;
      },
      20000, 5);
  if (!said || line.empty() || line[0] < '0' || line[0] > '9' ||
      line.find_first_not_of("0123456789\r") != std::string::npos)
    return 0;
  return std::stoi(line);
}

}  // namespace yux::test
