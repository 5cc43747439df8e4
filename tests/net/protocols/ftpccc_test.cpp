// CCC against a scripted server: after AUTH TLS and the login the control
// connection is handed back to clear text with a two-way TLS shutdown, and
// the next command travels and is answered in the clear.
#include <gtest/gtest.h>

#include <string>

#include "net/socket/sslcontext.h"
#include "tests/net/protocols/ftpclient.h"
#include "tests/peers/sslfixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
using namespace yux::net;
using namespace yux::test;

namespace {

const char* kScript = R"(import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
ls = socket.socket()
ls.bind(("127.0.0.1", 0))
ls.listen(1)
print("PORT", ls.getsockname()[1], flush=True)
conn, _ = ls.accept()
conn.settimeout(10)

def readline(s):
    data = b""
    while not data.endswith(b"\r\n"):
        d = s.recv(1)
        if not d:
            raise SystemExit("closed")
        data += d
    return data.decode().strip()

conn.sendall(b"220 scripted\r\n")
print("CLEAR", readline(conn), flush=True)
conn.sendall(b"234 go ahead\r\n")
t = ctx.wrap_socket(conn, server_side=True)
while True:
    cmd = readline(t)
    print("TLS", cmd, flush=True)
    verb = cmd.split(" ")[0].upper()
    if verb == "USER":
        t.sendall(b"331 password\r\n")
    elif verb == "PASS":
        t.sendall(b"230 in\r\n")
    elif verb == "CCC":
        t.sendall(b"200 clear command channel\r\n")
        p = t.unwrap()
        break
    else:
        t.sendall(b"200 ok\r\n")
cmd = readline(p)
print("CLEAR", cmd, flush=True)
p.sendall(b"257 \"/home\" is the current folder\r\n")
print("CLEAR", readline(p), flush=True)
p.sendall(b"221 bye\r\n")
p.close()
)";

}  // namespace

TEST(FtpCcc, CommandsAfterCccTravelInClearText) {
  YUX_REQUIRE_PROGRAM("/usr/bin/python3");
  const TestPki& pki = TestPki::Get();
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  TempDir tmp;
  const std::string script = (tmp / "ccc.py").string();
  WriteFile(script, kScript);
  PipedPeer py;
  const int port = yux::test::StartPythonTlsServer(py, script);
  ASSERT_NE(port, 0) << py.Output();

  TSslContext ctx;
  ctx.SetSslVerifyPeer(false);
  ctx.InitContext();
  RecordedFtp<TSslFtpClient> f;
  TSslFtpClient& c = f.c;
  c.SetSslContext(&ctx);
  c.HostName = "127.0.0.1";
  c.Port = std::to_string(port);
  c.UserName = "user";
  c.PassWord = "secret";
  c.SetSslType(sslTypeAuthTls);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::CccAsync), 0) << c.ErrorMessage;
  ASSERT_EQ(f.Run(&TCustomFtpCli::PwdAsync), 0) << c.ErrorMessage;
  EXPECT_EQ(c.StatusCode, 257);
  ASSERT_TRUE(py.WaitOutput("CLEAR PWD", 10000)) << py.Output();
  ASSERT_EQ(f.Run(&TCustomFtpCli::QuitAsync), 0) << c.ErrorMessage;
  // The server's output reaches the test through a pipe read on its own
  // time: the answer to QUIT can come first.
  EXPECT_TRUE(py.WaitOutput("CLEAR QUIT", 10000)) << py.Output();
  const std::string log = py.Output();
  // AUTH in clear, the login and CCC inside TLS, PWD and QUIT in clear.
  EXPECT_NE(log.find("CLEAR AUTH TLS"), std::string::npos) << log;
  EXPECT_NE(log.find("TLS USER user"), std::string::npos) << log;
  EXPECT_NE(log.find("TLS CCC"), std::string::npos) << log;
  EXPECT_NE(log.find("CLEAR QUIT"), std::string::npos) << log;
}
