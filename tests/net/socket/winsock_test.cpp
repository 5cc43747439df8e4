// The socket-call table: error numbers, loading and counting, real calls on
// loopback, name lookups and error texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "net/socket/neterrors.h"
#include "net/socket/netexceptions.h"
#include "net/socket/netresolve.h"
#include "net/socket/winsock.h"
#include "net/socket/wsocket.h"
#include "net/socket/netwndcontrol.h"
#include "platform/messages.h"

using namespace yux::net;

TEST(WinsockErrors, Texts) {
  EXPECT_EQ(WinsockErrorText(10061), "Connection refused");
  EXPECT_EQ(WinsockErrorText(11001), "Host not found");
  EXPECT_EQ(WinsockErrorText(12345), "Not a WinSock error");
  EXPECT_EQ(WinsockErrorTextWithCode(10035), "Operation would block (#10035)");
  EXPECT_EQ(SocketErrorTextWithCode(20003), "SOCKS - Authentication Method Error (#20003)");
  EXPECT_EQ(SocketErrorTextWithCode(10061), "Winsock - Connection refused (#10061)");
  EXPECT_EQ(SocketErrorText(21404), "HTTP Proxy - Not Found");
  EXPECT_EQ(SocketErrorText(21200), "HTTP Proxy - No Error");
  EXPECT_EQ(HttpTunnelErrorText(21599), "HTTP status code 599");
  EXPECT_EQ(HttpTunnelErrorText(21099), "Not a HTTP tunnel error");
  EXPECT_EQ(ProxyErrorText(10061), "Not a proxy error");
  EXPECT_EQ(SocksErrorText(20018), "Not a SOCKS error");
  EXPECT_EQ(HttpStatusText(600), "Not a HTTP status code");
  EXPECT_TRUE(IsProxyErrorCode(20017));
  EXPECT_FALSE(IsProxyErrorCode(20018));
  EXPECT_EQ(SysErrorMessageWithCode(ENOENT), std::string(std::strerror(ENOENT)) + " (#2)");
}

// Loading, counting and unloading, run in one test because the table is
// process-wide.
TEST(WinsockBinding, LoadCountUnloadAndVersion) {
  WSocketUnloadIfUnused();
  ASSERT_FALSE(WSocketIsLoaded());
  ASSERT_EQ(WSocketUseCount(), 0);

  // The version can change while nothing is loaded: 2.1 is low 1, high 2.
  EXPECT_TRUE(WSocketSetReqVerHigh(2));
  EXPECT_EQ(WSocket_htons(0x1234), 0x3412);  // the first call loads and starts
  EXPECT_TRUE(WSocketIsLoaded());
  TWSAData data = WSocketStartupData();
  EXPECT_EQ(data.wVersion, 0x0102);  // major 2 in the low byte, minor 1 above
  EXPECT_FALSE(WSocketSetReqVerHigh(3));  // refused while loaded
  EXPECT_TRUE(WSocketSetReqVerHigh(2));   // unchanged is fine
  EXPECT_EQ(WSocketReqVerHigh(), 2);

  // A socket holds the table; a counted call in progress does too.
  WSocketIncrementUseCount();
  WSocketUnloadIfUnused();
  EXPECT_TRUE(WSocketIsLoaded());
  WSocketDecrementUseCount();
  WSocketUnloadIfUnused();
  EXPECT_FALSE(WSocketIsLoaded());
  EXPECT_EQ(WSocketStartupData().wVersion, 0);

  // Loaded again on the next use.
  int rc = -1;
  EXPECT_FALSE(WSocketCounted_gethostname(&rc).empty());
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(WSocketUseCount(), 0);  // the counted call lowered it again
  EXPECT_TRUE(WSocketIsLoaded());

  try {
    WSocketGetProc("nosuchcall");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Procedure nosuchcall not found in wsock32.dll - ", 0), 0u);
  }
  EXPECT_NE(WSocketGetProc("WSAIoctl"), nullptr);

  WSocketUnloadIfUnused();
  EXPECT_TRUE(WSocketSetReqVerHigh(1));
}

// The socket's ReqVerLow and ReqVerHigh are the process-wide request:
// changeable until Winsock is started, then refused through the socket's
// error path.
TEST(WinsockBinding, SocketVersionPropertiesFollowTheBinding) {
  WSocketUnloadIfUnused();
  ASSERT_FALSE(WSocketIsLoaded());
  {
    TWSocket s;
    EXPECT_EQ(s.ReqVerLow(), 1);
    EXPECT_EQ(s.ReqVerHigh(), 1);
    ASSERT_FALSE(WSocketIsLoaded());  // a socket alone does not start it
    s.SetReqVerHigh(2);
    EXPECT_EQ(WSocketReqVerHigh(), 2);
    EXPECT_EQ(s.ReqVerHigh(), 2);
    s.DnsLookup("10.0.0.1");  // any bound call starts Winsock
    ASSERT_TRUE(WSocketIsLoaded());
    EXPECT_EQ(WSocketStartupData().wVersion, 0x0102);
    struct Case {
      void (TWSocket::*set)(std::uint8_t);
      std::uint8_t value;
      const char* text;
    };
    for (Case k : {Case{&TWSocket::SetReqVerHigh, 3, "SetReqVerHigh"},
                   Case{&TWSocket::SetReqVerLow, 2, "SetReqVerLow"}}) {
      SCOPED_TRACE(k.text);
      try {
        (s.*k.set)(k.value);
        ADD_FAILURE() << "no exception";
      } catch (const ESocketException& e) {
        EXPECT_EQ(std::string(e.what()), std::string(k.text) + ": WinSock version can't be changed now");
      }
      bool reported = false;
      s.OnError = [&](TCustomWSocket*) { reported = true; };
      EXPECT_NO_THROW((s.*k.set)(k.value));
      EXPECT_TRUE(reported);
      s.OnError = nullptr;
    }
    EXPECT_EQ(s.ReqVerLow(), 1);
    EXPECT_NO_THROW(s.SetReqVerLow(1));  // unchanged
  }
  WSocketUnloadIfUnused();
  EXPECT_TRUE(WSocketSetReqVerHigh(1));
}

TEST(WinsockBinding, LoopbackConnectSendReceive) {
  SOCKET srv = WSocket_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(srv, INVALID_SOCKET);
  TSockAddrIn sin;
  sin.sin_family = AF_INET;
  sin.sin_addr = WSocket_inet_addr("127.0.0.1");
  ASSERT_EQ(WSocket_bind(srv, reinterpret_cast<TSockAddr*>(&sin), sizeof sin), 0);
  ASSERT_EQ(WSocket_listen(srv, 5), 0);
  int len = sizeof sin;
  ASSERT_EQ(WSocket_getsockname(srv, reinterpret_cast<TSockAddr*>(&sin), &len), 0);
  EXPECT_NE(sin.sin_port, 0);

  SOCKET cli = WSocket_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  yux::net::u_long on = 1;
  ASSERT_EQ(WSocket_ioctlsocket(cli, FIONBIO, &on), 0);
  int rc = WSocket_connect(cli, reinterpret_cast<TSockAddr*>(&sin), sizeof sin);
  if (rc != 0) {
    EXPECT_EQ(WSocket_WSAGetLastError(), WSAEWOULDBLOCK);
  }
  SOCKET acc = WSocket_accept(srv, nullptr, nullptr);
  ASSERT_NE(acc, INVALID_SOCKET);

  // Winsock-numbered options reach the system's.
  int one = 1;
  EXPECT_EQ(WSocket_setsockopt(cli, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&one), 4), 0);
  TLinger linger{1, 7};
  EXPECT_EQ(WSocket_setsockopt(acc, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&linger), sizeof linger), 0);
  TLinger back{};
  int backLen = sizeof back;
  EXPECT_EQ(WSocket_getsockopt(acc, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&back), &backLen), 0);
  EXPECT_EQ(back.l_onoff, 1);
  EXPECT_EQ(back.l_linger, 7);
  EXPECT_EQ(WSocket_setsockopt(cli, SOL_SOCKET, 0x7777, reinterpret_cast<char*>(&one), 4), SOCKET_ERROR);
  EXPECT_EQ(WSocket_WSAGetLastError(), WSAENOPROTOOPT);

  // Nothing to read yet: would block.
  char buf[16];
  EXPECT_EQ(WSocket_recv(cli, buf, sizeof buf, 0), SOCKET_ERROR);
  EXPECT_EQ(WSocket_WSAGetLastError(), WSAEWOULDBLOCK);
  ASSERT_EQ(WSocket_send(acc, "hello", 5, 0), 5);
  yux::net::u_long pending = 0;
  for (int i = 0; i < 100 && pending == 0; ++i) {
    ASSERT_EQ(WSocket_ioctlsocket(cli, FIONREAD, &pending), 0);
    if (!pending) yux::platform::ProcessMessagesFor(5);
  }
  EXPECT_EQ(pending, 5u);
  ASSERT_EQ(WSocket_recv(cli, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");

  // The peer resets: sending fails with a Winsock number, never a signal.
  WSocket_closesocket(acc);
  int sent = 0;
  for (int i = 0; i < 50 && sent != SOCKET_ERROR; ++i) {
    sent = WSocket_send(cli, "x", 1, 0);
    if (sent != SOCKET_ERROR) yux::platform::ProcessMessagesFor(5);
  }
  EXPECT_EQ(sent, SOCKET_ERROR);
  EXPECT_EQ(WSocket_WSAGetLastError(), WSAECONNRESET);
  WSocket_closesocket(cli);

  // A refused connection.
  SOCKET late = WSocket_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(WSocket_connect(late, reinterpret_cast<TSockAddr*>(&sin), sizeof sin), 0);  // still listening
  WSocket_closesocket(late);
  WSocket_closesocket(srv);
  SOCKET refused = WSocket_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(WSocket_connect(refused, reinterpret_cast<TSockAddr*>(&sin), sizeof sin), SOCKET_ERROR);
  EXPECT_EQ(WSocket_WSAGetLastError(), WSAECONNREFUSED);
  WSocket_closesocket(refused);
}

TEST(Resolve, HostPortAndProtocolTexts) {
  struct {
    std::string text;
    bool dotted;
  } const dotted[] = {{"10.0.0.1", true},      {" 1.2.3.4 ", true}, {"255.255.255.255", true},
                      {"300.1.1.1", false},    {".1.2.3", false},   {"1.2.3", false},
                      {"1.2.3.4.5", false},    {"1..2.3", false},   {"a.b.c.d", false},
                      {"1.2.3.4x", false}};
  for (const auto& d : dotted) EXPECT_EQ(IsDottedIPv4Text(d.text), d.dotted) << d.text;

  EXPECT_EQ(ResolveHostText("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(ResolveHostText("127.0.0.1"), WSocket_htonl(0x7F000001));
  EXPECT_EQ(ResolveHostText("localhost"), WSocket_htonl(0x7F000001));
  try {
    ResolveHostText("");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Winsock Resolve Host: '' Invalid Hostname.");
  }
  try {
    ResolveHostText("no-such-host.invalid");
    FAIL();
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(),
                 "Winsock Resolve Host: Cannot convert host address 'no-such-host.invalid' - "
                 "Host not found (#11001)");
  }

  EXPECT_EQ(ResolvePortText("8080", "tcp"), 8080);
  EXPECT_EQ(ResolvePortText("ftp", "tcp"), 21);
  EXPECT_THROW(ResolvePortText("", "tcp"), ESocketException);
  EXPECT_THROW(ResolvePortText("ftp", ""), ESocketException);
  EXPECT_THROW(ResolvePortText("no-such-service", "tcp"), ESocketException);
  // A number past the port range names no port: it must not wrap to another one.
  EXPECT_EQ(ResolvePortText("65535", "tcp"), 65535);
  EXPECT_THROW(ResolvePortText("70000", "tcp"), ESocketException);
  EXPECT_THROW(ResolvePortText("99999999999999999999999", "tcp"), ESocketException);

  EXPECT_EQ(ResolveProtoText(" TCP "), 6);
  EXPECT_EQ(ResolveProtoText("udp"), 17);
  EXPECT_EQ(ResolveProtoText("raw"), 255);
  EXPECT_EQ(ResolveProtoText("1"), 1);
  EXPECT_THROW(ResolveProtoText(""), ESocketException);
  EXPECT_THROW(ResolveProtoText("nosuchproto"), ESocketException);

  EXPECT_FALSE(LocalComputerName().empty());
  EXPECT_FALSE(LocalIPv4Addresses().empty());
}

namespace {

// A hidden window that records the lookup replies it gets.
struct Replies {
  yux::platform::HWND wnd = 0;
  std::vector<yux::platform::MSG> got;
  Replies() {
    wnd = yux::platform::CreateMessageWindow(
        [this](yux::platform::HWND h, yux::platform::UINT m, yux::platform::WPARAM w,
               yux::platform::LPARAM l) -> yux::platform::LRESULT {
          if (m == 2000) got.push_back({h, m, w, l, 0});
          return 0;
        });
  }
  ~Replies() { yux::platform::DestroyWindow(wnd); }
  bool Wait(std::size_t n) {
    return yux::platform::WaitPumping([&] { return got.size() >= n; }, 10000, 10);
  }
};

}  // namespace

TEST(AsyncLookup, LocalhostAndAMissingName) {
  Replies r;
  alignas(8) char buf[MAXGETHOSTSTRUCT + 1];
  std::uintptr_t h = WSocket_WSAAsyncGetHostByName(r.wnd, 2000, "localhost", buf, sizeof buf);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(r.Wait(1));
  EXPECT_EQ(r.got[0].wParam, h);
  EXPECT_EQ(r.got[0].lParam >> 16, 0);  // no error
  auto* he = reinterpret_cast<THostEnt*>(buf);
  ASSERT_NE(he->h_addr_list[0], nullptr);
  yux::net::u_long a;
  std::memcpy(&a, he->h_addr_list[0], 4);
  EXPECT_EQ(WSocketCounted_inet_ntoa(&a), "127.0.0.1");

  alignas(8) char buf2[MAXGETHOSTSTRUCT + 1];
  std::uintptr_t h2 =
      WSocket_WSAAsyncGetHostByName(r.wnd, 2000, "no-such-host.invalid", buf2, sizeof buf2);
  ASSERT_TRUE(r.Wait(2));
  EXPECT_EQ(r.got[1].wParam, h2);
  EXPECT_EQ(r.got[1].lParam >> 16, WSAHOST_NOT_FOUND);

  // The name of an address.
  yux::net::u_long loop = WSocket_inet_addr("127.0.0.1");
  std::uintptr_t h3 = WSocket_WSAAsyncGetHostByAddr(r.wnd, 2000, reinterpret_cast<char*>(&loop), 4,
                                                    AF_INET, buf, sizeof buf);
  ASSERT_TRUE(r.Wait(3));
  EXPECT_EQ(r.got[2].wParam, h3);
  EXPECT_EQ(r.got[2].lParam >> 16, 0);
  EXPECT_FALSE(std::string(reinterpret_cast<THostEnt*>(buf)->h_name).empty());
}

// A cancelled lookup neither writes into its buffer nor posts its reply,
// so the buffer may be freed at once (the sanitizer build would catch a
// late write into freed memory).
TEST(AsyncLookup, CancelledLookupNeverTouchesItsBuffer) {
  Replies r;
  for (int i = 0; i < 20; ++i) {
    auto* buf = new char[MAXGETHOSTSTRUCT + 1];
    std::uintptr_t h = WSocket_WSAAsyncGetHostByName(r.wnd, 2000, "localhost", buf, MAXGETHOSTSTRUCT + 1);
    ASSERT_NE(h, 0u);
    int rc = WSocket_WSACancelAsyncRequest(h);
    if (rc != 0) {
      // Finished first: the reply is on its way and the buffer was filled.
      EXPECT_EQ(WSocket_WSAGetLastError(), WSAEALREADY);
      ASSERT_TRUE(r.Wait(r.got.size() + 1));
    }
    delete[] buf;
  }
  std::size_t replies = r.got.size();
  yux::platform::ProcessMessagesFor(200);
  EXPECT_EQ(r.got.size(), replies);  // nothing arrives for a cancelled lookup
  EXPECT_EQ(WSocket_WSACancelAsyncRequest(999999), SOCKET_ERROR);
  EXPECT_EQ(WSocket_WSAGetLastError(), WSAEINVAL);
}
