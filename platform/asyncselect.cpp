#include "platform/asyncselect.h"

#include <QObject>
#include <QSocketNotifier>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

namespace yux::platform {

namespace {

// The Winsock numbers of the errors a notification can carry.
unsigned NotifyError(int err) {
  switch (err) {
    case 0: return 0;
    case ECONNREFUSED: return 10061;
    case ETIMEDOUT: return 10060;
    case ENETUNREACH: return 10051;
    case EHOSTUNREACH: return 10065;
    case ENETDOWN: return 10050;
    case EADDRNOTAVAIL: return 10049;
    case EADDRINUSE: return 10048;
    case ECONNRESET:
    case EPIPE: return 10054;
    case EACCES: return 10013;
    default: return 10053;  // the connection was aborted
  }
}

enum class Phase { Idle, Connecting, Connected, Listening, Failed };

struct Reg {
  int fd = -1;
  HWND wnd = 0;
  UINT msg = 0;
  long mask = 0;
  Phase phase = Phase::Idle;
  bool dgram = false;
  bool readOn = true;    // FD_READ may be posted
  bool acceptOn = true;  // FD_ACCEPT may be posted
  bool oobOn = true;     // FD_OOB may be posted
  bool writeArmed = false;  // FD_WRITE waits for room
  bool closeDone = false;   // FD_CLOSE posted in this registration (or not wanted)
  bool closed = false;      // the descriptor was closed
  bool nonBlocking = false;  // made non-blocking here
  QThread* thread = nullptr;
  QObject* ctx = nullptr;  // owns the notifiers, lives on `thread`
  QSocketNotifier* rn = nullptr;
  QSocketNotifier* wn = nullptr;
  QSocketNotifier* xn = nullptr;
  std::set<DWORD> postedThreads;  // threads whose queues got messages for it
};
using RegPtr = std::shared_ptr<Reg>;

std::recursive_mutex g_lock;
std::unordered_map<int, RegPtr> g_regs;
// Closed descriptor numbers held back: per number, the threads whose
// markers for it are still to be handed out.
std::unordered_map<int, std::multiset<DWORD>> g_reserved;
// Per thread: the window that receives the "queue passed" markers.
std::map<DWORD, HWND> g_markerWindows;
int g_nullFd = -1;

constexpr UINT kMarkerMsg = WM_USER + 1;

void ReleaseReserved(int fd, DWORD tid) {
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  auto it = g_reserved.find(fd);
  if (it == g_reserved.end()) return;
  auto one = it->second.find(tid);
  if (one != it->second.end()) it->second.erase(one);
  if (!it->second.empty()) return;
  g_reserved.erase(it);
  ::close(fd);
}

// A thread that ends hands out none of its queued messages any more: the
// numbers held back for its markers are given back with it.
struct ThreadMarkers {
  DWORD tid = 0;
  ~ThreadMarkers() {
    if (!tid) return;
    std::lock_guard<std::recursive_mutex> lk(g_lock);
    g_markerWindows.erase(tid);
    for (auto it = g_reserved.begin(); it != g_reserved.end();) {
      it->second.erase(tid);
      if (it->second.empty()) {
        ::close(it->first);
        it = g_reserved.erase(it);
      } else {
        ++it;
      }
    }
  }
};
thread_local ThreadMarkers tMarkers;

HWND MarkerWindowOfCurrentThread() {
  DWORD tid = GetCurrentThreadId();
  auto it = g_markerWindows.find(tid);
  if (it != g_markerWindows.end() && IsWindow(it->second)) return it->second;
  HWND w = CreateMessageWindow([](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
    if (m == kMarkerMsg) {
      ReleaseReserved(int(wp), GetCurrentThreadId());
      return 0;
    }
    return DefWindowProc(h, m, wp, lp);
  });
  g_markerWindows[tid] = w;
  tMarkers.tid = tid;
  return w;
}

bool OnOwnerThread(const Reg& r) { return r.thread == QThread::currentThread(); }

void Post(Reg& r, long event, unsigned error) {
  if (!r.wnd || !r.msg) return;
  if (PostMessage(r.wnd, r.msg, WPARAM(r.fd), WSAMakeSelectReply(unsigned(event), error)))
    r.postedThreads.insert(GetWindowThreadId(r.wnd));
}

void Refresh(const RegPtr& rp);

// Everything below runs with g_lock held.

void HandleConnectDone(Reg& r) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err == 0) {
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    if (::getpeername(r.fd, reinterpret_cast<sockaddr*>(&ss), &sl) != 0) return;  // not yet
  }
  if (r.mask & FD_CONNECT) Post(r, FD_CONNECT, NotifyError(err));
  if (err != 0) {
    r.phase = Phase::Failed;
    return;
  }
  r.phase = Phase::Connected;
  r.readOn = true;
  r.writeArmed = false;
  if (r.mask & FD_WRITE) Post(r, FD_WRITE, 0);
}

void OnReadable(const RegPtr& rp) {
  Reg& r = *rp;
  if (r.closed || !r.wnd || !r.msg || !r.mask) return;
  if (r.phase == Phase::Listening) {
    if (r.acceptOn && (r.mask & FD_ACCEPT)) {
      Post(r, FD_ACCEPT, 0);
      r.acceptOn = false;
    }
    return;
  }
  if (r.phase == Phase::Connecting) {
    HandleConnectDone(r);
    return;
  }
  if (r.phase != Phase::Connected) return;
  int n = 0;
  if (::ioctl(r.fd, FIONREAD, &n) != 0) n = 0;
  if (r.dgram) {
    if (r.readOn && (r.mask & FD_READ)) {
      Post(r, FD_READ, 0);
      r.readOn = false;
    }
    return;
  }
  if (n > 0) {
    // Data first; FD_CLOSE waits until it has been read.
    if (r.readOn && (r.mask & FD_READ)) Post(r, FD_READ, 0);
    r.readOn = false;
    return;
  }
  // Readable with nothing to read: end of stream or an error.
  int err = 0;
  socklen_t len = sizeof err;
  ::getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err == 0) {
    char c;
    ssize_t k = ::recv(r.fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (k > 0) {  // data came in meanwhile
      if (r.readOn && (r.mask & FD_READ)) Post(r, FD_READ, 0);
      r.readOn = false;
      return;
    }
    if (k < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      err = errno;
    }
  }
  if (!r.closeDone && (r.mask & FD_CLOSE)) Post(r, FD_CLOSE, NotifyError(err));
  r.closeDone = true;
}

void OnWritable(const RegPtr& rp) {
  Reg& r = *rp;
  if (r.closed || !r.wnd || !r.msg || !r.mask) return;
  if (r.phase == Phase::Connecting) {
    HandleConnectDone(r);
    return;
  }
  if (r.phase == Phase::Connected && r.writeArmed) {
    r.writeArmed = false;
    if (r.mask & FD_WRITE) Post(r, FD_WRITE, 0);
  }
}

void OnException(const RegPtr& rp) {
  Reg& r = *rp;
  if (r.closed || !r.wnd || !r.msg) return;
  if (r.phase == Phase::Connected && r.oobOn && (r.mask & FD_OOB)) {
    Post(r, FD_OOB, 0);
    r.oobOn = false;
  }
}

void DropNotifiers(Reg& r) {
  if (!r.ctx) return;
  if (OnOwnerThread(r)) {
    delete r.ctx;
  } else {
    r.ctx->deleteLater();
  }
  r.ctx = nullptr;
  r.rn = r.wn = r.xn = nullptr;
  r.thread = nullptr;
}

void MakeNotifiers(const RegPtr& rp) {
  Reg& r = *rp;
  if (r.ctx && OnOwnerThread(r)) return;
  DropNotifiers(r);
  r.thread = QThread::currentThread();
  r.ctx = new QObject;
  std::weak_ptr<Reg> weak = rp;
  auto hook = [weak](void (*fn)(const RegPtr&)) {
    return [weak, fn](QSocketDescriptor, QSocketNotifier::Type) {
      std::lock_guard<std::recursive_mutex> lk(g_lock);
      RegPtr p = weak.lock();
      if (!p || p->closed) return;
      fn(p);
      Refresh(p);
    };
  };
  // Made without a descriptor and then given one, a notifier starts
  // disabled: the event loop's watch list (and its wake-up) changes only
  // for what Refresh turns on.
  r.rn = new QSocketNotifier(QSocketNotifier::Read, r.ctx);
  r.wn = new QSocketNotifier(QSocketNotifier::Write, r.ctx);
  r.xn = new QSocketNotifier(QSocketNotifier::Exception, r.ctx);
  r.rn->setSocket(r.fd);
  r.wn->setSocket(r.fd);
  r.xn->setSocket(r.fd);
  QObject::connect(r.rn, &QSocketNotifier::activated, r.ctx, hook(&OnReadable));
  QObject::connect(r.wn, &QSocketNotifier::activated, r.ctx, hook(&OnWritable));
  QObject::connect(r.xn, &QSocketNotifier::activated, r.ctx, hook(&OnException));
}

// Sets which notifiers watch the descriptor, from the record's state.
void Refresh(const RegPtr& rp) {
  Reg& r = *rp;
  if (!r.ctx) return;
  if (!OnOwnerThread(r)) {
    std::weak_ptr<Reg> weak = rp;
    QMetaObject::invokeMethod(r.ctx, [weak] {
      std::lock_guard<std::recursive_mutex> lk(g_lock);
      if (RegPtr p = weak.lock(); p && !p->closed) Refresh(p);
    }, Qt::QueuedConnection);
    return;
  }
  bool active = r.wnd && r.msg && r.mask && !r.closed;
  bool rd = false, wr = false, ex = false;
  if (active) {
    switch (r.phase) {
      case Phase::Listening: rd = r.acceptOn && (r.mask & FD_ACCEPT); break;
      case Phase::Connecting: wr = true; break;
      case Phase::Connected:
        rd = r.dgram ? (r.readOn && (r.mask & FD_READ))
                     : (r.readOn && !r.closeDone && (r.mask & (FD_READ | FD_CLOSE)));
        wr = r.writeArmed && (r.mask & FD_WRITE);
        ex = r.oobOn && (r.mask & FD_OOB) && !r.dgram;
        break;
      default: break;
    }
  }
  if (r.rn->isEnabled() != rd) r.rn->setEnabled(rd);
  if (r.wn->isEnabled() != wr) r.wn->setEnabled(wr);
  if (r.xn->isEnabled() != ex) r.xn->setEnabled(ex);
}

// The record of a descriptor, made from what the socket is now.
RegPtr Find(int fd) {
  auto it = g_regs.find(fd);
  return it == g_regs.end() ? nullptr : it->second;
}

RegPtr FindOrMake(int fd) {
  if (RegPtr p = Find(fd)) return p;
  auto p = std::make_shared<Reg>();
  p->fd = fd;
  int type = 0;
  socklen_t len = sizeof type;
  ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len);
  int acc = 0;
  len = sizeof acc;
  ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &acc, &len);
  sockaddr_storage ss{};
  socklen_t sl = sizeof ss;
  if (type == SOCK_DGRAM || type == SOCK_RAW) {
    p->dgram = true;
    p->phase = Phase::Connected;
  } else if (acc) {
    p->phase = Phase::Listening;
  } else if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &sl) == 0) {
    p->phase = Phase::Connected;
  }
  g_regs[fd] = p;
  return p;
}

bool IsSocket(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0;
}

}  // namespace

int AsyncSelect(SocketHandle s, HWND wnd, UINT msg, long events) {
  int fd = int(s);
  std::unique_lock<std::recursive_mutex> known(g_lock);
  // A socket registered before (an accepted one) is known to be a socket
  // and non-blocking.
  RegPtr had = s < 0 ? nullptr : Find(fd);
  known.unlock();
  if (s < 0 || (!had && !IsSocket(fd))) {
    errno = ENOTSOCK;
    return -1;
  }
  bool active = msg != 0 && events != 0;
  if (active && (!IsWindow(wnd) || GetWindowThreadId(wnd) != GetCurrentThreadId())) {
    errno = EINVAL;
    return -1;
  }
  bool nonBlocking = had && had->nonBlocking;
  if (!nonBlocking) {
    int fl = ::fcntl(fd, F_GETFL);
    nonBlocking = fl >= 0 && ((fl & O_NONBLOCK) || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0);
  }

  std::lock_guard<std::recursive_mutex> lk(g_lock);
  RegPtr p = FindOrMake(fd);
  p->nonBlocking = nonBlocking;
  Reg& r = *p;
  r.wnd = active ? wnd : 0;
  r.msg = active ? msg : 0;
  r.mask = active ? events : 0;
  if (!active) {
    // Nothing to watch: let the notifiers go while their thread can still
    // free them (a socket detached from a thread that then ends).
    if (r.ctx && OnOwnerThread(r))
      DropNotifiers(r);
    else
      Refresh(p);
    return 0;
  }
  MarkerWindowOfCurrentThread();
  MakeNotifiers(p);
  // A new registration reports again what holds now.
  r.readOn = r.acceptOn = r.oobOn = true;
  r.closeDone = false;
  r.writeArmed = r.phase == Phase::Connected;
  Refresh(p);
  return 0;
}

void AsyncSelectAfterRecv(SocketHandle s, int flags) {
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  RegPtr p = Find(int(s));
  if (!p) return;
  if (flags & MSG_OOB) {
    if (p->oobOn) return;
    p->oobOn = true;
  } else {
    if (p->readOn) return;
    p->readOn = true;
  }
  Refresh(p);
}

void AsyncSelectAfterSend(SocketHandle s, long requested, long result, int err) {
  bool blocked = result < 0 ? (err == EAGAIN || err == EWOULDBLOCK) : result < requested;
  if (!blocked) return;
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  RegPtr p = Find(int(s));
  if (!p || p->writeArmed || p->phase != Phase::Connected) return;
  p->writeArmed = true;
  Refresh(p);
}

void AsyncSelectAfterConnect(SocketHandle s, int result, int err) {
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  RegPtr p = FindOrMake(int(s));
  if (p->dgram) return;
  if (result == 0) {
    p->phase = Phase::Connecting;
    HandleConnectDone(*p);  // reports FD_CONNECT, FD_WRITE when registered
  } else if (err == EINPROGRESS || err == EAGAIN || err == EALREADY) {
    p->phase = Phase::Connecting;
  } else {
    return;
  }
  Refresh(p);
}

void AsyncSelectAfterListen(SocketHandle s) {
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  RegPtr p = FindOrMake(int(s));
  if (p->dgram) return;
  p->phase = Phase::Listening;
  p->acceptOn = true;
  Refresh(p);
}

void AsyncSelectAfterAccept(SocketHandle listener, SocketHandle accepted) {
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  RegPtr l = Find(int(listener));
  if (l && !l->acceptOn) {
    l->acceptOn = true;
    Refresh(l);
  }
  if (accepted < 0) return;
  // The accepted socket takes over the listener's registration and is
  // told at once that it may send.  A descriptor just accepted is a
  // connected stream socket: nothing needs to be asked about it.
  RegPtr p = Find(int(accepted));
  if (!p) {
    p = std::make_shared<Reg>();
    p->fd = int(accepted);
    g_regs[p->fd] = p;
  }
  p->phase = Phase::Connected;
  if (!l || !l->wnd || !l->msg || !l->mask || !OnOwnerThread(*l)) return;
  // Its status flags are all clear (accept4 sets no O_NONBLOCK here).
  if (::fcntl(p->fd, F_SETFL, O_NONBLOCK) == 0) p->nonBlocking = true;
  p->wnd = l->wnd;
  p->msg = l->msg;
  p->mask = l->mask;
  MakeNotifiers(p);
  p->readOn = p->acceptOn = p->oobOn = true;
  p->closeDone = false;
  p->writeArmed = true;
  Refresh(p);
}

int AsyncSelectClose(SocketHandle s) {
  int fd = int(s);
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  RegPtr p = Find(fd);
  if (!p) return ::close(fd);
  g_regs.erase(fd);
  p->closed = true;
  DropNotifiers(*p);
  // Keep the number taken while messages for it may still be queued: the
  // socket itself is closed now (dup2 closes it), the number is given back
  // once a marker posted behind those messages has come through.
  std::vector<std::pair<DWORD, HWND>> markers;
  for (DWORD tid : p->postedThreads) {
    auto it = g_markerWindows.find(tid);
    if (it != g_markerWindows.end() && IsWindow(it->second)) markers.emplace_back(tid, it->second);
  }
  if (markers.empty()) return ::close(fd);
  if (g_nullFd < 0) g_nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (g_nullFd < 0 || ::dup2(g_nullFd, fd) < 0) return ::close(fd);
  for (auto& [tid, w] : markers) g_reserved[fd].insert(tid);
  for (auto& [tid, w] : markers) {
    if (!PostMessage(w, kMarkerMsg, WPARAM(fd), 0)) ReleaseReserved(fd, tid);
  }
  return 0;
}

int AsyncSelectRegisteredCount() {
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  int n = 0;
  for (auto& [fd, p] : g_regs) n += p->wnd && p->msg && p->mask ? 1 : 0;
  return n;
}

int AsyncSelectReservedCount() {
  std::lock_guard<std::recursive_mutex> lk(g_lock);
  return int(g_reserved.size());
}

}  // namespace yux::platform
