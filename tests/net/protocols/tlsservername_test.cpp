// The FTP and SMTP clients connect by the resolved address, yet the TLS
// hello names the host the user gave (SNI), so a server that needs the name
// can pick its certificate.
#include <gtest/gtest.h>

#include <string>

#include "net/protocols/ftpcli.h"
#include "net/protocols/smtpssl.h"
#include "net/socket/sslcontext.h"
#include "platform/messages.h"
#include "tests/net/protocols/ftpclient.h"
#include "tests/peers/sslfixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
using namespace yux::net;
using namespace yux::test;

namespace {

// A TLS-from-the-first-byte server that prints the name the hello asked for
// and answers every line with `code`, after the greeting.
constexpr const char* kServer = R"PY(import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
def sni(sock, name, c):
    print("SNI", name, flush=True)
ctx.sni_callback = sni
ls = socket.socket()
ls.bind(("127.0.0.1", 0))
ls.listen(1)
print("PORT", ls.getsockname()[1], flush=True)
conn, _ = ls.accept()
conn.settimeout(20)
t = ctx.wrap_socket(conn, server_side=True)
t.sendall(b"220 py ready\r\n")
buf = b""
try:
    while True:
        d = t.recv(1000)
        if not d:
            break
        buf += d
        while b"\r\n" in buf:
            line, buf = buf.split(b"\r\n", 1)
            t.sendall((sys.argv[3] + " ok\r\n").encode())
except OSError:
    pass
print("ENDED", flush=True)
)PY";

int StartServer(PipedPeer& py, const TempDir& tmp, const char* code) {
  const std::string script = (tmp / "sni.py").string();
  WriteFile(script, kServer);
  return StartPythonTlsServer(py, script, {code});
}

TEST(TlsServerName, FtpClientNamesTheHostItWasGiven) {
  YUX_REQUIRE_PROGRAM("/usr/bin/python3");
  ASSERT_TRUE(TestPki::Get().Ok());
  TempDir tmp;
  PipedPeer py;
  const int port = StartServer(py, tmp, "230");
  ASSERT_NE(port, 0) << py.Output();
  TSslContext ctx;
  ctx.InitContext();
  RecordedFtp<TSslFtpClient> f;
  f.c.HostName = "localhost";
  f.c.Port = std::to_string(port);
  f.c.SetSslContext(&ctx);
  f.c.SetSslType(sslTypeImplicit);
  EXPECT_EQ(f.Run(&TCustomFtpCli::OpenAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(py.WaitOutput("SNI localhost", 10000)) << py.Output();
}

TEST(TlsServerName, SmtpClientNamesTheHostItWasGiven) {
  YUX_REQUIRE_PROGRAM("/usr/bin/python3");
  ASSERT_TRUE(TestPki::Get().Ok());
  TempDir tmp;
  PipedPeer py;
  const int port = StartServer(py, tmp, "250");
  ASSERT_NE(port, 0) << py.Output();
  TSslContext ctx;
  ctx.InitContext();
  TSslSmtpCli c;
  c.Host = "localhost";
  c.Port = std::to_string(port);
  c.SignOn = "yux.test";
  c.SslType = smtpTlsImplicit;
  c.SetSslContext(&ctx);
  int done = -1;
  c.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest, WORD e) { done = e; };
  c.Connect();
  ASSERT_TRUE(platform::WaitPumping([&] { return done >= 0; }, 20000, 2));
  EXPECT_EQ(done, 0) << c.ErrorMessage;
  EXPECT_TRUE(py.WaitOutput("SNI localhost", 10000)) << py.Output();
}

}  // namespace
