#include "platform/broadcast.h"

#include "platform/namedobjects.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace yux::platform {
namespace {

constexpr char kMagic[] = "YUXB1";
constexpr UINT kReleaseAtom = WM_USER + 1;

struct Listener {
  int fd = -1;
  std::string path;
  DWORD threadId = 0;
  HWND wnd = 0;  // our own window: releases atoms after the receivers' copies
  std::unique_ptr<QSocketNotifier> notifier;
  std::vector<HWND> receivers;

  ~Listener() {
    notifier.reset();
    if (fd >= 0) ::close(fd);
    if (!path.empty()) ::unlink(path.c_str());
  }
};

std::mutex gMu;
std::unique_ptr<Listener> gListener;

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// Owner thread of the listener: reads every waiting datagram.
void ReadDatagrams() {
  std::vector<HWND> receivers;
  int fd;
  HWND own;
  {
    std::lock_guard lk(gMu);
    if (!gListener) return;
    fd = gListener->fd;
    own = gListener->wnd;
    receivers = gListener->receivers;
  }
  char buf[1024];
  // A bounded batch per wake-up: the notifier fires again while datagrams
  // wait, so a process that keeps broadcasting cannot hold this thread here.
  for (int batch = 0; batch < 64; ++batch) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) {
        --batch;
        continue;
      }
      return;
    }
    std::string d(buf, static_cast<size_t>(n));
    // magic \0 name \0 wParam \0 text
    size_t p1 = d.find('\0');
    if (p1 == std::string::npos || d.compare(0, p1, kMagic) != 0) continue;
    size_t p2 = d.find('\0', p1 + 1);
    if (p2 == std::string::npos) continue;
    size_t p3 = d.find('\0', p2 + 1);
    if (p3 == std::string::npos) continue;
    std::string name = d.substr(p1 + 1, p2 - p1 - 1);
    WPARAM wp = std::strtoull(d.substr(p2 + 1, p3 - p2 - 1).c_str(), nullptr, 10);
    std::string text = d.substr(p3 + 1);
    UINT msg = RegisterWindowMessage(name);
    if (!msg) continue;  // before the atom: nothing would ever release it
    ATOM atom = GlobalAddAtom(text);
    if (!atom) continue;
    for (HWND r : receivers) PostMessage(r, msg, wp, atom);
    // Queued after every receiver's copy on this same thread, so the atom
    // outlives their handling.
    if (!PostMessage(own, kReleaseAtom, atom, 0)) GlobalDeleteAtom(atom);
  }
}

int SendToAll(const std::string& name, WPARAM wParam, const std::string& text) {
  if (name.empty() || text.empty() || text.size() > kMaxAtomLength) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::string dir = RuntimeFolder();
  if (dir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return -1;
  }
  std::string data = std::string(kMagic) + '\0' + name + '\0' + std::to_string(wParam) + '\0' + text;
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  int reached = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strncmp(e->d_name, "bc-", 3) != 0) continue;
      std::string path = dir + "/" + e->d_name;
      sockaddr_un addr;
      if (!FillAddress(path, &addr)) continue;
      ssize_t rc;
      do {
        rc = sendto(s, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      } while (rc < 0 && errno == EINTR);
      if (rc >= 0) {
        ++reached;
      } else if (errno == ECONNREFUSED || errno == ENOENT || errno == ENOTSOCK) {
        ::unlink(path.c_str());  // its process is gone
      }
    }
    closedir(d);
  }
  ::close(s);
  SetLastError(ERROR_SUCCESS);
  return reached;
}

}  // namespace

int BroadcastAtomMessage(const std::string& messageName, WPARAM wParam, ATOM atom) {
  std::string text;
  if (!GlobalGetAtomName(atom, &text)) return -1;
  return SendToAll(messageName, wParam, text);
}

int BroadcastTextMessage(const std::string& messageName, WPARAM wParam, const std::string& text) {
  return SendToAll(messageName, wParam, text);
}

namespace {

// With gMu held: binds the process's socket in the current runtime folder
// and watches it on the calling thread.
bool OpenSocketLocked(Listener& l) {
  std::string dir = RuntimeFolder();
  if (dir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  std::string path = dir + "/bc-" + std::to_string(getpid());
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  ::unlink(path.c_str());  // left by an earlier process with our pid
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  l.fd = fd;
  l.path = path;
  l.notifier = std::make_unique<QSocketNotifier>(l.fd, QSocketNotifier::Read);
  QObject::connect(l.notifier.get(), &QSocketNotifier::activated, [] { ReadDatagrams(); });
  return true;
}

void CloseSocketLocked(Listener& l) {
  l.notifier.reset();
  if (l.fd >= 0) ::close(l.fd);
  if (!l.path.empty()) ::unlink(l.path.c_str());
  l.fd = -1;
  l.path.clear();
}

}  // namespace

bool RegisterBroadcastReceiver(HWND wnd) {
  if (!IsWindow(wnd) || GetWindowThreadId(wnd) != GetCurrentThreadId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  std::lock_guard lk(gMu);
  if (gListener && gListener->threadId != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (!gListener) {
    if (!QCoreApplication::instance()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    auto l = std::make_unique<Listener>();
    l->threadId = GetCurrentThreadId();
    l->wnd = CreateMessageWindow([](HWND, UINT m, WPARAM wp, LPARAM) -> LRESULT {
      if (m == kReleaseAtom) GlobalDeleteAtom(static_cast<ATOM>(wp));
      return 0;
    });
    gListener = std::move(l);
  }
  if (gListener->fd < 0 && !OpenSocketLocked(*gListener)) return false;
  if (std::find(gListener->receivers.begin(), gListener->receivers.end(), wnd) == gListener->receivers.end())
    gListener->receivers.push_back(wnd);
  return true;
}

void UnregisterBroadcastReceiver(HWND wnd) {
  std::lock_guard lk(gMu);
  if (!gListener) return;
  std::erase(gListener->receivers, wnd);
  // Without receivers the process stops listening (its socket goes); the
  // next receiver listens again, in the namespace of that moment.
  if (gListener->receivers.empty() && GetCurrentThreadId() == gListener->threadId) CloseSocketLocked(*gListener);
}

}  // namespace yux::platform
