// Byte streams from HTTP clients: request lines, headers (Range,
// Accept-Encoding, Authorization, Content-Length), bodies and pipelined
// requests, fed through a loopback connection to a running server.  The
// first byte chooses the server's options and authentication.  Whatever
// comes, the server answers with status lines only, never sends a byte of
// a file outside its document folder (unless told it may), and releases
// the connection once the client has gone, and goes on listening.
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/httpserver.h"
#include "platform/messages.h"
// After the network suite's headers, whose Winsock names these define as
// macros.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace yux;

namespace {

const char kSecret[] = "FUZZ-SECRET-OUTSIDE-ROOT";

struct Harness {
  net::THttpServer server;
  int port = 0;
  std::string trouble;  // a connection the server could not take or handle
  Harness() {
    namespace fs = std::filesystem;
    const std::string root = fuzz::ScratchFolder();
    fs::create_directories(root + "/www/sub");
    fuzz::WriteBytes(root + "/www/index.html", "<html>home</html>");
    fuzz::WriteBytes(root + "/www/t.txt", std::string(6000, 't'));
    fuzz::WriteBytes(root + "/www/sub/a b.txt", "spaced");
    fuzz::WriteBytes(root + "/secret.txt", kSecret);
    std::error_code ec;
    fs::create_symlink(root + "/secret.txt", root + "/www/link.txt", ec);
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.SetDocDir(root + "/www");
    server.TemplateDir = root + "/www";
    server.OnAuthGetPassword = [](net::THttpServer*, net::THttpConnection*, std::string& pw) {
      pw = "pw";
    };
    server.OnPostDocument = [](net::THttpServer*, net::THttpConnection* c,
                               net::THttpGetFlag& flags) {
      if (c->Path == "/post") flags = net::hgAcceptData;
    };
    server.OnPostedData = [](net::THttpServer*, net::THttpConnection* c, net::WORD) {
      char buf[100];
      c->Receive(buf, sizeof buf);
      if (c->PostedRemaining == 0) {
        c->EndPostedData();
        net::THttpGetFlag f;
        c->AnswerWithText(f, "", "text/plain", "", "ok");
      }
    };
    server.OnAcceptError = [this](net::THttpServer*, int error, const std::string& message) {
      trouble = std::to_string(error) + ": " + message;
    };
    server.Start();
    port = std::stoi(server.BoundPort());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > fuzz::kMaxTextInput) return 0;
  fuzz::EnsureCoreApplication();
  static Harness* h = new Harness;
  const uint8_t flags = data[0];
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  h->server.Options = {};
  if (flags & 1) h->server.Options.Include(net::hoAllowDirList);
  if (flags & 2) h->server.Options.Include(net::hoContentEncoding);
  if (flags & 4) h->server.Options.Include(net::hoAllowOutsideRoot);
  h->server.AuthTypes = {};
  if (flags & 8) h->server.AuthTypes.Include(net::atBasic);
  if (flags & 16) h->server.AuthTypes.Include(net::atDigest);
  if (flags & 32) h->server.AuthTypes.Include(net::atNtlm);

  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(h->port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = -1;
  // Hundreds of connections a second leave the loopback's ports waiting
  // out their closes: a connect may have to wait for one; and the fuzzer's
  // own timer signal may interrupt it.  A refusal is the server's fault.
  for (int attempt = 0;; ++attempt) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
    const int err = errno;
    if (fd >= 0) ::close(fd);
    if ((err != EADDRNOTAVAIL && err != EINTR) || attempt == 100) fuzz::Fail("connect", std::strerror(err));
    platform::WaitPumping([] { return false; }, 100, 10);
  }
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  size_t sent = 0;
  bool shut = false, eof = false;
  std::string answer;
  auto step = [&] {
    if (sent < input.size()) {
      ssize_t n = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += size_t(n);
      if (n < 0 && errno != EAGAIN) sent = input.size();
    } else if (!shut) {
      ::shutdown(fd, SHUT_WR);
      shut = true;
    }
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        answer.append(buf, size_t(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) eof = true;
      break;
    }
    return eof;
  };
  bool ended = platform::WaitPumping(step, 20000, 1);
  ::close(fd);
  YUX_FUZZ_CHECK(ended, "the server never ended the connection");
  // Only a server told to serve outside its folder may do so (an input
  // that holds the text itself may see it echoed in an error page).
  if (!(flags & 4) && input.find(kSecret) == std::string_view::npos)
    YUX_FUZZ_CHECK(answer.find(kSecret) == std::string::npos, answer.substr(0, 200));
  YUX_FUZZ_CHECK(answer.empty() || answer.rfind("HTTP/1.", 0) == 0, answer.substr(0, 200));
  // The connection is released once its close has been handled.
  bool released = platform::WaitPumping([&] { return h->server.ClientCount() == 0; }, 20000, 1);
  YUX_FUZZ_CHECK(released, "a connection was not released");
  // Whatever came, the server took the connection and still listens.
  YUX_FUZZ_CHECK(h->trouble.empty(), h->trouble);
  YUX_FUZZ_CHECK(h->server.SrvSocket()->State() == net::wsListening, "the server stopped listening");
  return 0;
}
