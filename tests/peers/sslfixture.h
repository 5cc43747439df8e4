#pragma once
// Test certificates made with the openssl tool at run time, and outside
// TLS peers (openssl s_server / s_client, a Python script) run with a pipe
// on their standard input and their output collected.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testsupport.h"

namespace yux::test {

// One set of keys and certificates for the whole test process:
//  ca            the trusted test CA
//  server        localhost / 127.0.0.1, signed by ca
//  expired       the same names, validity over long ago
//  otherhost     other.example only
//  star          common name "*" and no alternative names
//  client        a client certificate signed by ca
//  rogue         localhost / 127.0.0.1 signed by an untrusted CA
//  revoked       localhost, revoked in crl.pem
// Each has <name>.pem and <name>.key; server.enc.key is the server key
// encrypted with the pass phrase "secret".
class TestPki {
 public:
  static const TestPki& Get();
  std::string Cert(const std::string& name) const {
    return (dir_.path() / (name + ".pem")).string();
  }
  std::string Key(const std::string& name) const {
    return (dir_.path() / (name + ".key")).string();
  }
  std::string File(const std::string& name) const { return (dir_.path() / name).string(); }
  const std::string& Error() const { return error_; }
  bool Ok() const { return error_.empty(); }

 private:
  TestPki();
  bool Run(const std::vector<std::string>& argv);
  TempDir dir_;
  std::string error_;
};

// A program with a pipe to its standard input; standard output and error
// are collected together.  Killed with the object.
class PipedPeer {
 public:
  PipedPeer() = default;
  ~PipedPeer();
  PipedPeer(const PipedPeer&) = delete;
  PipedPeer& operator=(const PipedPeer&) = delete;

  bool Start(const std::vector<std::string>& argv);
  void Write(const std::string& data);
  void CloseInput();
  std::string Output();
  // Pumps the caller's event loop while waiting for text in the output.
  bool WaitOutput(const std::string& text, unsigned ms = 30000);
  // Waits (pumping) for the program to end; its exit code or -1.
  int WaitExit(unsigned ms = 30000);
  void Stop();

 private:
  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::thread reader_;
  std::mutex lock_;
  std::string output_;
  std::atomic<bool> ended_{false};
  int exitCode_ = -1;
};

// Starts the Python TLS server `script` with the test PKI's server
// certificate and key as its first two arguments and `args` after them.
// The script prints "PORT <n>" once it listens: gives that port, or 0 when
// it did not start (Python starts slowly on a loaded machine: up to 20 s).
int StartPythonTlsServer(PipedPeer& py, const std::string& script, const std::vector<std::string>& args = {});

// openssl s_server on 127.0.0.1 with a port chosen by the system; extra
// arguments follow the listening and certificate options.  Returns the
// port, 0 on failure.
int StartSServer(PipedPeer& p, const std::string& cert, const std::string& key,
                 const std::vector<std::string>& extra);

// A self-signed certificate for localhost and 127.0.0.1 made with the
// openssl tool: <dir>/<name>.pem and <dir>/<name>.key.
bool MakeSelfSigned(const std::filesystem::path& dir, const std::string& name);
// The certificate's SHA-256 fingerprint as `openssl x509 -fingerprint
// -sha256` prints it (upper-case hex pairs joined by ":"); empty on failure.
std::string CertFingerprint(const std::string& pem);

// Sets an environment variable for the life of the object (the programs a
// test starts inherit it).
class ScopedEnvVar {
 public:
  ScopedEnvVar(const char* name, const std::string& value) : name_(name) { ::setenv(name, value.c_str(), 1); }
  ~ScopedEnvVar() { ::unsetenv(name_); }
  ScopedEnvVar(const ScopedEnvVar&) = delete;
  ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

 private:
  const char* name_;
};

}  // namespace yux::test
