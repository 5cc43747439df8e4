// Socket notifications as window messages, against real sockets on
// 127.0.0.1.  Each scenario asserts the exact sequence of events.
#include "platform/asyncselect.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/messages.h"

using namespace yux::platform;

namespace {

constexpr UINT kSelMsg = WM_USER + 77;

struct Ev {
  int fd;
  unsigned event;
  unsigned error;
  bool operator==(const Ev&) const = default;
};

std::string Name(const Ev& e) {
  const char* n = e.event == FD_READ      ? "READ"
                  : e.event == FD_WRITE   ? "WRITE"
                  : e.event == FD_OOB     ? "OOB"
                  : e.event == FD_ACCEPT  ? "ACCEPT"
                  : e.event == FD_CONNECT ? "CONNECT"
                  : e.event == FD_CLOSE   ? "CLOSE"
                                          : "?";
  return std::string(n) + (e.error ? "(" + std::to_string(e.error) + ")" : "");
}

std::string Names(const std::vector<Ev>& v, int fd = -1) {
  std::string s;
  for (auto& e : v)
    if (fd < 0 || e.fd == fd) s += (s.empty() ? "" : " ") + Name(e);
  return s;
}

// A window that records the notifications and lets the scenario react.
class Recorder {
 public:
  Recorder() {
    wnd_ = CreateMessageWindow([this](HWND, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
      if (m == kSelMsg) {
        Ev e{int(wp), WSAGetSelectEvent(lp), WSAGetSelectError(lp)};
        events.push_back(e);
        if (onEvent) onEvent(e);
      }
      return 0;
    });
  }
  ~Recorder() { DestroyWindow(wnd_); }
  HWND wnd() const { return wnd_; }
  // Pumps until pred holds (false after 3 s).
  bool WaitFor(const std::function<bool()>& pred) { return WaitPumping(pred, 3000, 5); }
  bool WaitForEvent(int fd, unsigned event) {
    return WaitFor([&] {
      for (auto& e : events)
        if (e.fd == fd && e.event == event) return true;
      return false;
    });
  }
  // Lets anything still on its way arrive, to show that nothing more comes.
  void Settle() { ProcessMessagesFor(80); }
  std::vector<Ev> events;
  std::function<void(const Ev&)> onEvent;

 private:
  HWND wnd_;
};

// The socket calls as the Winsock wrappers make them.
ssize_t Recv(int fd, void* buf, size_t len, int flags = 0) {
  ssize_t n = ::recv(fd, buf, len, flags);
  int err = errno;
  AsyncSelectAfterRecv(fd, flags);
  errno = err;
  return n;
}
ssize_t Send(int fd, const void* buf, size_t len) {
  ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
  int err = errno;
  AsyncSelectAfterSend(fd, long(len), long(n), err);
  errno = err;
  return n;
}
int Connect(int fd, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int r = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int err = errno;
  AsyncSelectAfterConnect(fd, r, err);
  errno = err;
  return r;
}
int Accept(int lfd) {
  int fd = ::accept(lfd, nullptr, nullptr);
  AsyncSelectAfterAccept(lfd, fd);
  return fd;
}
int Close(int fd) { return AsyncSelectClose(fd); }

int TcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t l = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
  return ntohs(a.sin_port);
}

// A listener on a free loopback port.
int Listener(int backlog = 16) {
  int fd = TcpSocket();
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(::listen(fd, backlog), 0);
  AsyncSelectAfterListen(fd);
  return fd;
}

// A blocking client connected to port, and the server side of it.
struct Pair {
  int client = -1;
  int server = -1;
};
Pair ConnectedPair(int lfd) {
  Pair p;
  p.client = TcpSocket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(PortOf(lfd));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(p.client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  p.server = ::accept(lfd, nullptr, nullptr);
  return p;
}

class AsyncSelectTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : open_) Close(fd);
    ProcessMessagesFor(20);
  }
  int Track(int fd) {
    open_.push_back(fd);
    return fd;
  }
  void Forget(int fd) { std::erase(open_, fd); }
  Recorder rec;
  std::vector<int> open_;
};

// ---------------------------------------------------------------------------
// Scenario table: connecting sockets, from connect to the end.

struct ConnectScenario {
  const char* name;
  // What the peer does once accepted (server socket, blocking); may be empty.
  std::function<void(int server)> peer;
  // What the client does on each event (fd, event); may be empty.
  std::function<void(int fd, const Ev& e)> client;
  bool sendRightAfterConnect;
  unsigned waitFor;  // the event that ends the scenario
  const char* expected;
};

void DrainAll(int fd, const Ev& e) {
  if (e.event != FD_READ) return;
  char buf[700];  // less than what waits: one recv per FD_READ
  Recv(fd, buf, sizeof buf);
}

TEST_F(AsyncSelectTest, ConnectScenarios) {
  const std::string big(50000, 'x');
  const ConnectScenario table[] = {
      {"connect, nothing else", nullptr, nullptr, false, FD_WRITE, "CONNECT WRITE"},
      {"write right after connect", nullptr, nullptr, true, FD_WRITE, "CONNECT WRITE"},
      {"peer closes gracefully", [](int s) { ::close(s); }, nullptr, false, FD_CLOSE,
       "CONNECT WRITE CLOSE"},
      {"peer resets (linger 0)",
       [](int s) {
         linger l{1, 0};
         ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
         ::close(s);
       },
       nullptr, false, FD_CLOSE, "CONNECT WRITE CLOSE(10054)"},
      {"peer writes 5 bytes, client never reads, peer closes",
       [](int s) {
         ::send(s, "hello", 5, 0);
         ::close(s);
       },
       nullptr, false, FD_READ, "CONNECT WRITE READ"},
  };
  for (const auto& sc : table) {
    SCOPED_TRACE(sc.name);
    int lfd = Track(Listener());
    rec.events.clear();
    int c = Track(TcpSocket());
    rec.onEvent = [&](const Ev& e) {
      if (sc.client) sc.client(c, e);
    };
    ASSERT_EQ(AsyncSelect(c, rec.wnd(), kSelMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
    int r = Connect(c, PortOf(lfd));
    ASSERT_TRUE(r == 0 || errno == EINPROGRESS);
    if (sc.sendRightAfterConnect) Send(c, "x", 1);  // may block while connecting
    ASSERT_TRUE(rec.WaitForEvent(c, FD_CONNECT));
    int s = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(s, 0);
    if (sc.peer) sc.peer(s);
    ASSERT_TRUE(rec.WaitForEvent(c, sc.waitFor)) << Names(rec.events);
    rec.Settle();
    EXPECT_EQ(Names(rec.events, c), sc.expected);
    if (!sc.peer) ::close(s);
    rec.onEvent = nullptr;
    Close(c);
    Forget(c);
  }
}

TEST_F(AsyncSelectTest, ConnectRefusedGivesOnlyConnectWithItsError) {
  int probe = Listener();
  uint16_t port = PortOf(probe);
  Close(probe);  // nothing listens there now
  int c = Track(TcpSocket());
  ASSERT_EQ(AsyncSelect(c, rec.wnd(), kSelMsg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE), 0);
  Connect(c, port);
  ASSERT_TRUE(rec.WaitForEvent(c, FD_CONNECT));
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "CONNECT(10061)");
}

TEST_F(AsyncSelectTest, EveryByteIsReadBeforeCloseArrives) {
  int lfd = Track(Listener());
  Pair p = ConnectedPair(lfd);
  Track(p.client);
  const size_t total = 300000;
  size_t got = 0;
  size_t gotAtClose = 0;
  int readsAfterClose = 0;
  bool closed = false;
  rec.onEvent = [&](const Ev& e) {
    if (e.event == FD_READ) {
      if (closed) ++readsAfterClose;
      char buf[4096];
      ssize_t n = Recv(p.client, buf, sizeof buf);  // one recv per message: FD_READ comes again
      if (n > 0) got += size_t(n);
    } else if (e.event == FD_CLOSE) {
      closed = true;
      gotAtClose = got;
    }
  };
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, FD_READ | FD_WRITE | FD_CLOSE), 0);
  std::string data(total, 'd');
  size_t off = 0;
  while (off < total) {  // the peer writes it all (blocking), then closes
    ProcessMessages();
    ssize_t n = ::send(p.server, data.data() + off, total - off, MSG_DONTWAIT);
    if (n > 0) off += size_t(n);
  }
  ::close(p.server);
  ASSERT_TRUE(rec.WaitForEvent(p.client, FD_CLOSE));
  rec.Settle();
  EXPECT_EQ(gotAtClose, total);
  EXPECT_EQ(readsAfterClose, 0);
  int closes = 0;
  for (auto& e : rec.events) closes += e.event == FD_CLOSE;
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(rec.events.front().event, unsigned(FD_WRITE));  // the registration: room to send
}

TEST_F(AsyncSelectTest, ReadComesAgainOnlyAfterRecvAndOnlyWhileDataRemains) {
  int lfd = Track(Listener());
  Pair p = ConnectedPair(lfd);
  Track(p.client);
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, FD_READ), 0);
  ::send(p.server, "0123456789", 10, 0);
  ASSERT_TRUE(rec.WaitForEvent(p.client, FD_READ));
  ::send(p.server, "more", 4, 0);  // no recv yet: no second FD_READ
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ");
  char buf[5];
  ASSERT_EQ(Recv(p.client, buf, 5), 5);  // data remains: FD_READ again
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ READ");
  char rest[64];
  ASSERT_EQ(Recv(p.client, rest, sizeof rest), 9);  // all read: nothing more
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ READ");
  // A failed recv re-enables too.
  ASSERT_LT(Recv(p.client, rest, sizeof rest), 0);
  ::send(p.server, "z", 1, 0);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.events.size() == 3; }));
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ READ READ");
  ::close(p.server);
}

TEST_F(AsyncSelectTest, WriteComesOnlyAfterSendBlockedAndRoomCameBack) {
  int lfd = Track(Listener());
  Pair p = ConnectedPair(lfd);
  Track(p.client);
  int small = 4096;
  ::setsockopt(p.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, FD_WRITE), 0);
  ASSERT_TRUE(rec.WaitForEvent(p.client, FD_WRITE));  // the registration on a connected socket
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "WRITE");
  // Plain writability brings nothing.
  ASSERT_EQ(Send(p.client, "abc", 3), 3);
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "WRITE");
  // Send on every FD_WRITE until a send is short or would block; each such
  // send earns exactly one FD_WRITE once room came back, and nothing else
  // does.  The peer reads only after the pipe is full.
  std::string chunk(65536, 'c');
  const size_t total = 3 + 1500000;
  size_t sent = 3;
  int blocked = 0;
  auto pushUntilBlocked = [&] {
    while (sent < total) {
      size_t want = std::min(chunk.size(), total - sent);
      ssize_t n = Send(p.client, chunk.data(), want);
      if (n > 0) sent += size_t(n);
      if (n < ssize_t(want)) {
        ++blocked;
        return;
      }
    }
  };
  rec.onEvent = [&](const Ev& e) {
    if (e.event == FD_WRITE) pushUntilBlocked();
  };
  pushUntilBlocked();
  EXPECT_EQ(blocked, 1);
  size_t received = 0;
  std::vector<char> buf(1 << 20);
  ASSERT_TRUE(WaitPumping(
      [&] {
        ssize_t n = ::recv(p.server, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) received += size_t(n);
        return received == total;
      },
      5000, 1)) << "sent " << sent << " of " << total << ", received " << received;
  rec.Settle();
  EXPECT_EQ(sent, total);
  int writes = 0;
  for (auto& e : rec.events) writes += e.event == FD_WRITE;
  EXPECT_GE(blocked, 2);
  EXPECT_EQ(writes, 1 + blocked);  // the registration's, then one per blocked send
  ::close(p.server);
}

TEST_F(AsyncSelectTest, ListenerBurstGivesOneAcceptPerConnection) {
  int lfd = Track(Listener(32));
  std::vector<int> accepted;
  rec.onEvent = [&](const Ev& e) {
    if (e.event == FD_ACCEPT && e.fd == lfd) {
      int s = Accept(lfd);  // one accept per message: FD_ACCEPT comes again
      if (s >= 0) accepted.push_back(s);
    }
  };
  ASSERT_EQ(AsyncSelect(lfd, rec.wnd(), kSelMsg, FD_ACCEPT | FD_CLOSE), 0);
  const int kClients = 12;
  std::vector<int> clients;
  for (int i = 0; i < kClients; ++i) {
    int c = TcpSocket();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(PortOf(lfd));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    clients.push_back(c);
  }
  ASSERT_TRUE(rec.WaitFor([&] { return accepted.size() == kClients; }));
  rec.Settle();
  int accepts = 0;
  for (auto& e : rec.events) accepts += e.fd == lfd && e.event == FD_ACCEPT;
  EXPECT_EQ(accepts, kClients);
  // An accepted socket takes the listener's registration: no FD_WRITE (not
  // in the mask), and after its own registration FD_WRITE comes.
  for (auto& e : rec.events) EXPECT_EQ(e.fd, lfd) << Name(e);
  ASSERT_EQ(AsyncSelect(accepted[0], rec.wnd(), kSelMsg, FD_READ | FD_WRITE | FD_CLOSE), 0);
  ASSERT_TRUE(rec.WaitForEvent(accepted[0], FD_WRITE));
  for (int s : accepted) Close(s);
  for (int c : clients) ::close(c);
}

TEST_F(AsyncSelectTest, AcceptedSocketGetsWriteWhenTheListenerAsksForIt) {
  int lfd = Track(Listener());
  std::vector<int> accepted;
  rec.onEvent = [&](const Ev& e) {
    if (e.event == FD_ACCEPT) accepted.push_back(Accept(lfd));
  };
  ASSERT_EQ(AsyncSelect(lfd, rec.wnd(), kSelMsg, FD_ACCEPT | FD_READ | FD_WRITE | FD_CLOSE), 0);
  int c = TcpSocket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(PortOf(lfd));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_TRUE(rec.WaitFor([&] { return !accepted.empty(); }));
  ASSERT_TRUE(rec.WaitForEvent(accepted[0], FD_WRITE));
  rec.Settle();
  EXPECT_EQ(Names(rec.events, accepted[0]), "WRITE");
  Close(accepted[0]);
  ::close(c);
}

TEST_F(AsyncSelectTest, RegistrationRepostsWhatHoldsAndMaskZeroKeepsQueued) {
  int lfd = Track(Listener());
  Pair p = ConnectedPair(lfd);
  Track(p.client);
  ::send(p.server, "data", 4, 0);
  ::close(p.server);
  // Data and the peer's close already wait.  Mask 0: nothing is posted.
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, 0), 0);
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "");
  // Registering reports the data; FD_CLOSE waits for the data to be read.
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, FD_READ | FD_CLOSE), 0);
  ASSERT_TRUE(rec.WaitForEvent(p.client, FD_READ));
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ");
  // A new registration reports the waiting data again.
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, FD_READ | FD_CLOSE), 0);
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ READ");
  char buf[16];
  ASSERT_EQ(Recv(p.client, buf, sizeof buf), 4);
  ASSERT_TRUE(rec.WaitForEvent(p.client, FD_CLOSE));
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ READ CLOSE");
  // Re-registering an ended connection reports its close again.
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, FD_READ | FD_CLOSE), 0);
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ READ CLOSE CLOSE");

  // A message queued before a mask of 0 is still delivered.
  rec.events.clear();
  Pair q = ConnectedPair(lfd);
  Track(q.client);
  ::send(q.server, "x", 1, 0);
  ASSERT_EQ(AsyncSelect(q.client, rec.wnd(), kSelMsg, FD_READ), 0);
  ASSERT_TRUE(WaitPumping([&] {
    int n = 0;
    ::ioctl(q.client, FIONREAD, &n);
    return n == 1;
  }, 2000, 1));
  // Let the notifier fire but not the window: PeekMessage without removal.
  MSG m;
  ASSERT_TRUE(WaitPumping([&] { return PeekMessage(&m, rec.wnd(), kSelMsg, kSelMsg, PM_NOREMOVE); },
                          2000, 1));
  ASSERT_EQ(AsyncSelect(q.client, rec.wnd(), kSelMsg, 0), 0);
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ");
  ::close(q.server);
}

TEST_F(AsyncSelectTest, QueuedMessageNeverReachesASocketReusingTheNumber) {
  int lfd = Track(Listener());
  Pair p = ConnectedPair(lfd);
  ::send(p.server, "x", 1, 0);
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, FD_READ | FD_CLOSE), 0);
  MSG m;
  // The FD_READ is queued, not yet handed out.
  ASSERT_TRUE(WaitPumping([&] { return PeekMessage(&m, rec.wnd(), kSelMsg, kSelMsg, PM_NOREMOVE); },
                          2000, 1));
  int old = p.client;
  ASSERT_EQ(Close(old), 0);
  EXPECT_EQ(AsyncSelectReservedCount(), 1);
  int fresh = Track(TcpSocket());
  EXPECT_NE(fresh, old);  // the number is still held
  rec.Settle();           // the stale message comes through, then the number is free
  EXPECT_EQ(Names(rec.events), "READ");
  EXPECT_EQ(rec.events[0].fd, old);
  EXPECT_EQ(AsyncSelectReservedCount(), 0);
  int again = TcpSocket();
  EXPECT_EQ(again, old);  // free again
  ::close(again);
  ::close(p.server);
}

// A thread that ends with messages for a closed socket still queued never
// hands them out: the number it held back must be given back then, or each
// such socket leaks a descriptor for the life of the process.
TEST_F(AsyncSelectTest, NumberHeldForAnEndedThreadIsGivenBack) {
  int lfd = Track(Listener());
  Pair p = ConnectedPair(lfd);
  ::send(p.server, "x", 1, 0);
  int old = p.client;
  bool queued = false;
  std::thread worker([&] {
    HWND w = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    ASSERT_EQ(AsyncSelect(old, w, kSelMsg, FD_READ | FD_CLOSE), 0);
    MSG m;
    queued = WaitPumping([&] { return PeekMessage(&m, w, kSelMsg, kSelMsg, PM_NOREMOVE); }, 2000, 1);
    ASSERT_EQ(Close(old), 0);
    // Ends without handing out the FD_READ or the marker behind it.
  });
  worker.join();
  ASSERT_TRUE(queued);
  EXPECT_EQ(AsyncSelectReservedCount(), 0);
  errno = 0;
  EXPECT_EQ(::fcntl(old, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  ::close(p.server);
}

TEST_F(AsyncSelectTest, UrgentDataGivesOobOnceUntilRecvOob) {
  int lfd = Track(Listener());
  Pair p = ConnectedPair(lfd);
  Track(p.client);
  ASSERT_EQ(AsyncSelect(p.client, rec.wnd(), kSelMsg, FD_OOB), 0);
  ::send(p.server, "!", 1, MSG_OOB);
  ASSERT_TRUE(rec.WaitForEvent(p.client, FD_OOB));
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "OOB");
  char c;
  ASSERT_EQ(Recv(p.client, &c, 1, MSG_OOB), 1);
  EXPECT_EQ(c, '!');
  ::send(p.server, "?", 1, MSG_OOB);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.events.size() == 2; }));
  ::close(p.server);
}

TEST_F(AsyncSelectTest, DatagramSocketReportsReadPerRecvAndNeverClose) {
  int u = Track(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  a.sin_port = htons(PortOf(u));
  ASSERT_EQ(AsyncSelect(u, rec.wnd(), kSelMsg, FD_READ | FD_CLOSE), 0);
  int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  ::sendto(s, "one", 3, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::sendto(s, "two", 3, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ASSERT_TRUE(rec.WaitForEvent(u, FD_READ));
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ");
  char buf[8];
  ASSERT_EQ(Recv(u, buf, sizeof buf), 3);
  ASSERT_TRUE(rec.WaitFor([&] { return rec.events.size() == 2; }));
  ASSERT_EQ(Recv(u, buf, sizeof buf), 3);
  rec.Settle();
  EXPECT_EQ(Names(rec.events), "READ READ");
  ::close(s);
}

TEST_F(AsyncSelectTest, RefusesWhatIsNotASocket) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(AsyncSelect(fds[0], rec.wnd(), kSelMsg, FD_READ), -1);
  EXPECT_EQ(errno, ENOTSOCK);
  ::close(fds[0]);
  ::close(fds[1]);
  int s = Track(TcpSocket());
  EXPECT_EQ(AsyncSelect(s, 0xDEAD, kSelMsg, FD_READ), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(AsyncSelect(s, rec.wnd(), kSelMsg, FD_READ), 0);
  EXPECT_TRUE(::fcntl(s, F_GETFL) & O_NONBLOCK);
}

}  // namespace
