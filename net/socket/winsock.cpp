// The system's socket headers come first: their values are taken under
// other names, and the macros that share Winsock's names are dropped so that
// those names mean the Winsock constants below.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {
constexpr long kSys_SOL_SOCKET = SOL_SOCKET;
constexpr long kSys_SO_REUSEADDR = SO_REUSEADDR;
constexpr long kSys_SO_KEEPALIVE = SO_KEEPALIVE;
constexpr long kSys_SO_BROADCAST = SO_BROADCAST;
constexpr long kSys_SO_LINGER = SO_LINGER;
constexpr long kSys_SO_OOBINLINE = SO_OOBINLINE;
constexpr long kSys_SO_SNDBUF = SO_SNDBUF;
constexpr long kSys_SO_RCVBUF = SO_RCVBUF;
constexpr long kSys_SO_ERROR = SO_ERROR;
constexpr long kSys_SO_TYPE = SO_TYPE;
constexpr long kSys_IPPROTO_TCP = IPPROTO_TCP;
constexpr long kSys_TCP_NODELAY = TCP_NODELAY;
constexpr long kSys_IPPROTO_IP = IPPROTO_IP;
constexpr long kSys_IP_MULTICAST_IF = IP_MULTICAST_IF;
constexpr long kSys_IP_MULTICAST_TTL = IP_MULTICAST_TTL;
constexpr long kSys_IP_MULTICAST_LOOP = IP_MULTICAST_LOOP;
constexpr long kSys_IP_ADD_MEMBERSHIP = IP_ADD_MEMBERSHIP;
constexpr long kSys_IP_DROP_MEMBERSHIP = IP_DROP_MEMBERSHIP;
constexpr long kSys_AF_INET = AF_INET;
constexpr long kSys_SOCK_STREAM = SOCK_STREAM;
constexpr long kSys_FIONREAD = FIONREAD;
}  // namespace
#undef SOL_SOCKET
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_OOBINLINE
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_ERROR
#undef SO_TYPE
#undef IPPROTO_TCP
#undef TCP_NODELAY
#undef IPPROTO_IP
#undef IP_MULTICAST_IF
#undef IP_MULTICAST_TTL
#undef IP_MULTICAST_LOOP
#undef IP_ADD_MEMBERSHIP
#undef IP_DROP_MEMBERSHIP
#undef AF_INET
#undef SOCK_STREAM
#undef FIONREAD
#undef SOCK_DGRAM
#undef SOCK_RAW
#undef PF_INET
#undef IPPROTO_UDP
#undef MSG_OOB
#undef MSG_PEEK
#undef FIONBIO
#undef INADDR_ANY
#undef INADDR_NONE

#include "net/socket/winsock.h"
#include "net/socket/neterrors.h"
#include "net/socket/netexceptions.h"
#include "platform/asyncselect.h"

namespace yux::net {

// ---------------------------------------------------------------------------
// Error numbers.

int WinsockErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    // A would-block, and a non-blocking connect that is under way, are both
    // "would block" to the callers.
    case EAGAIN: case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return 10052;
    case ECONNABORTED: return WSAECONNABORTED;
    // Writing to a connection the peer has reset: Winsock reports a reset.
    case ECONNRESET: case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return WSAEINVAL;
  }
}

int WinsockErrorFromEai(int eai, int err) {
  switch (eai) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SYSTEM: return WinsockErrorFromErrno(err);
    default: return WSANO_RECOVERY;
  }
}

namespace {

thread_local int t_wsaError = 0;

int Fail(int code) {
  t_wsaError = code;
  return SOCKET_ERROR;
}
int FailErrno() { return Fail(WinsockErrorFromErrno(errno)); }

int Fd(SOCKET s) { return static_cast<int>(s); }

static_assert(kMsgMore == ::MSG_MORE);

// ---------------------------------------------------------------------------
// The implementations the table binds to.

int Impl_WSAStartup(WORD version, TWSAData* data) {
  int major = version & 0xFF, minor = version >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  if (!data) return WSAEFAULT;
  *data = TWSAData{};
  data->wVersion = major > 2 || (major == 2 && minor > 2) ? WORD(0x0202) : version;
  data->wHighVersion = 0x0202;
  std::strcpy(data->szDescription, "BSD sockets");
  std::strcpy(data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65467;
  return 0;
}

int Impl_WSACleanup() { return 0; }
void Impl_WSASetLastError(int code) { t_wsaError = code; }
int Impl_WSAGetLastError() { return t_wsaError; }

// Maps a Winsock option to the system's; false for an unknown one.
bool MapOption(int level, int name, int& sysLevel, int& sysName) {
  if (level == SOL_SOCKET) {
    sysLevel = kSys_SOL_SOCKET;
    switch (name) {
      case SO_REUSEADDR: sysName = kSys_SO_REUSEADDR; return true;
      case SO_KEEPALIVE: sysName = kSys_SO_KEEPALIVE; return true;
      case SO_BROADCAST: sysName = kSys_SO_BROADCAST; return true;
      case SO_LINGER: sysName = kSys_SO_LINGER; return true;
      case SO_OOBINLINE: sysName = kSys_SO_OOBINLINE; return true;
      case SO_SNDBUF: sysName = kSys_SO_SNDBUF; return true;
      case SO_RCVBUF: sysName = kSys_SO_RCVBUF; return true;
      case SO_ERROR: sysName = kSys_SO_ERROR; return true;
      case SO_TYPE: sysName = kSys_SO_TYPE; return true;
      default: return false;
    }
  }
  if (level == IPPROTO_TCP && name == TCP_NODELAY) {
    sysLevel = kSys_IPPROTO_TCP;
    sysName = kSys_TCP_NODELAY;
    return true;
  }
  if (level == IPPROTO_IP) {
    sysLevel = kSys_IPPROTO_IP;
    switch (name) {
      case IP_MULTICAST_IF: sysName = kSys_IP_MULTICAST_IF; return true;
      case IP_MULTICAST_TTL: sysName = kSys_IP_MULTICAST_TTL; return true;
      case IP_MULTICAST_LOOP: sysName = kSys_IP_MULTICAST_LOOP; return true;
      case IP_ADD_MEMBERSHIP: sysName = kSys_IP_ADD_MEMBERSHIP; return true;
      case IP_DROP_MEMBERSHIP: sysName = kSys_IP_DROP_MEMBERSHIP; return true;
      default: return false;
    }
  }
  return false;
}

int Impl_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  int sysLevel = 0, sysName = 0;
  if (!MapOption(level, optname, sysLevel, sysName)) return Fail(WSAENOPROTOOPT);
  if (!optval || optlen < 0) return Fail(WSAEFAULT);
  int r;
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (optlen < int(sizeof(TLinger))) return Fail(WSAEFAULT);
    TLinger l;
    std::memcpy(&l, optval, sizeof l);
    struct linger sl{l.l_onoff, l.l_linger};
    r = ::setsockopt(Fd(s), sysLevel, sysName, &sl, sizeof sl);
  } else if (level == IPPROTO_IP &&
             (optname == IP_MULTICAST_IF || optname == IP_ADD_MEMBERSHIP ||
              optname == IP_DROP_MEMBERSHIP)) {
    r = ::setsockopt(Fd(s), sysLevel, sysName, optval, socklen_t(optlen));
  } else {
    // Winsock takes Boolean and integer options as 1 to 4 bytes.
    int v = 0;
    std::memcpy(&v, optval, std::size_t(optlen < 4 ? optlen : 4));
    if (optlen == 1) v = static_cast<unsigned char>(optval[0]);
    r = ::setsockopt(Fd(s), sysLevel, sysName, &v, sizeof v);
  }
  return r == 0 ? 0 : FailErrno();
}

int Impl_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  int sysLevel = 0, sysName = 0;
  if (!MapOption(level, optname, sysLevel, sysName)) return Fail(WSAENOPROTOOPT);
  if (!optval || !optlen) return Fail(WSAEFAULT);
  if (level == SOL_SOCKET && optname == SO_LINGER) {
    if (*optlen < int(sizeof(TLinger))) return Fail(WSAEFAULT);
    struct linger sl{};
    socklen_t sz = sizeof sl;
    if (::getsockopt(Fd(s), sysLevel, sysName, &sl, &sz) != 0) return FailErrno();
    TLinger l{u_short(sl.l_onoff), u_short(sl.l_linger)};
    std::memcpy(optval, &l, sizeof l);
    *optlen = sizeof l;
    return 0;
  }
  if (*optlen < 4) return Fail(WSAEFAULT);
  int v = 0;
  socklen_t sz = sizeof v;
  if (::getsockopt(Fd(s), sysLevel, sysName, &v, &sz) != 0) return FailErrno();
  if (level == SOL_SOCKET && optname == SO_ERROR) v = WinsockErrorFromErrno(v);
  std::memcpy(optval, &v, 4);
  *optlen = 4;
  return 0;
}

SOCKET Impl_socket(int af, int type, int protocol) {
  int fd = ::socket(af == AF_INET ? kSys_AF_INET : af, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  return fd;
}

int Impl_shutdown(SOCKET s, int how) { return ::shutdown(Fd(s), how) == 0 ? 0 : FailErrno(); }

int Impl_send(SOCKET s, const char* buf, int len, int flags) {
  ssize_t n = ::send(Fd(s), buf, std::size_t(len < 0 ? 0 : len), flags | MSG_NOSIGNAL);
  int err = errno;
  platform::AsyncSelectAfterSend(s, len, long(n), err);
  errno = err;
  return n < 0 ? FailErrno() : int(n);
}

int Impl_sendto(SOCKET s, const char* buf, int len, int flags, const TSockAddr* to, int tolen) {
  ssize_t n = ::sendto(Fd(s), buf, std::size_t(len < 0 ? 0 : len), flags | MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(to), socklen_t(tolen));
  int err = errno;
  platform::AsyncSelectAfterSend(s, len, long(n), err);
  errno = err;
  return n < 0 ? FailErrno() : int(n);
}

int Impl_recv(SOCKET s, char* buf, int len, int flags) {
  ssize_t n = ::recv(Fd(s), buf, std::size_t(len < 0 ? 0 : len), flags);
  int err = errno;
  platform::AsyncSelectAfterRecv(s, flags);  // a recv, even a failed one, re-enables FD_READ
  errno = err;
  return n < 0 ? FailErrno() : int(n);
}

int Impl_recvfrom(SOCKET s, char* buf, int len, int flags, TSockAddr* from, int* fromlen) {
  socklen_t sl = fromlen ? socklen_t(*fromlen) : 0;
  ssize_t n = ::recvfrom(Fd(s), buf, std::size_t(len < 0 ? 0 : len), flags,
                         reinterpret_cast<sockaddr*>(from), from ? &sl : nullptr);
  int err = errno;
  platform::AsyncSelectAfterRecv(s, flags);
  errno = err;
  if (n < 0) return FailErrno();
  if (fromlen) *fromlen = int(sl);
  return int(n);
}

u_short Impl_ntohs(u_short v) { return ntohs(v); }
u_short Impl_htons(u_short v) { return htons(v); }
u_long Impl_htonl(u_long v) { return htonl(v); }

int Impl_listen(SOCKET s, int backlog) {
  if (::listen(Fd(s), backlog) != 0) return FailErrno();
  platform::AsyncSelectAfterListen(s);
  return 0;
}

int Impl_ioctlsocket(SOCKET s, long cmd, u_long* arg) {
  if (!arg) return Fail(WSAEFAULT);
  if (cmd == FIONREAD) {
    int n = 0;
    if (::ioctl(Fd(s), kSys_FIONREAD, &n) != 0) return FailErrno();
    *arg = u_long(n);
    return 0;
  }
  if (cmd == FIONBIO) {
    int flags = ::fcntl(Fd(s), F_GETFL);
    if (flags < 0) return FailErrno();
    flags = *arg ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(Fd(s), F_SETFL, flags) == 0 ? 0 : FailErrno();
  }
  return Fail(WSAEINVAL);
}

char* Impl_inet_ntoa(u_long addr) {
  thread_local char text[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&addr);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

u_long Impl_inet_addr(const char* cp) {
  if (!cp || !*cp) return INADDR_NONE;
  return ::inet_addr(cp);
}

int Impl_getsockname(SOCKET s, TSockAddr* name, int* namelen) {
  if (!name || !namelen) return Fail(WSAEFAULT);
  socklen_t sl = socklen_t(*namelen);
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(name), &sl) != 0) return FailErrno();
  *namelen = int(sl);
  return 0;
}

int Impl_getpeername(SOCKET s, TSockAddr* name, int* namelen) {
  if (!name || !namelen) return Fail(WSAEFAULT);
  socklen_t sl = socklen_t(*namelen);
  if (::getpeername(Fd(s), reinterpret_cast<sockaddr*>(name), &sl) != 0) return FailErrno();
  *namelen = int(sl);
  return 0;
}

int Impl_connect(SOCKET s, const TSockAddr* name, int namelen) {
  int r = ::connect(Fd(s), reinterpret_cast<const sockaddr*>(name), socklen_t(namelen));
  int err = errno;
  platform::AsyncSelectAfterConnect(s, r, err);
  errno = err;
  return r == 0 ? 0 : FailErrno();
}

int Impl_closesocket(SOCKET s) { return platform::AsyncSelectClose(s) == 0 ? 0 : FailErrno(); }

int Impl_WSAAsyncSelect(SOCKET s, platform::HWND wnd, platform::UINT msg, long events) {
  return platform::AsyncSelect(s, wnd, msg, events) == 0 ? 0 : FailErrno();
}

int Impl_bind(SOCKET s, const TSockAddr* name, int namelen) {
  if (::bind(Fd(s), reinterpret_cast<const sockaddr*>(name), socklen_t(namelen)) == 0) return 0;
  return FailErrno();
}

SOCKET Impl_accept(SOCKET s, TSockAddr* addr, int* addrlen) {
  socklen_t sl = addrlen ? socklen_t(*addrlen) : 0;
  int fd = ::accept4(Fd(s), reinterpret_cast<sockaddr*>(addr), addr ? &sl : nullptr, SOCK_CLOEXEC);
  int err = errno;
  platform::AsyncSelectAfterAccept(s, fd);  // re-enables FD_ACCEPT
  errno = err;
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  if (addrlen) *addrlen = int(sl);
  return fd;
}

int Impl_gethostname(char* name, int len) {
  if (!name || len <= 0) return Fail(WSAEFAULT);
  if (::gethostname(name, std::size_t(len)) != 0) return Fail(WSAEFAULT);
  name[len - 1] = '\0';
  return 0;
}

// Host entries live in a per-thread store, as the system's own do.
struct HostStore {
  THostEnt entry{};
  std::string name;
  std::vector<std::string> aliases;
  std::vector<char*> aliasPtrs;
  std::vector<u_long> addrs;
  std::vector<char*> addrPtrs;

  THostEnt* Fill() {
    aliasPtrs.clear();
    for (auto& a : aliases) aliasPtrs.push_back(a.data());
    aliasPtrs.push_back(nullptr);
    addrPtrs.clear();
    for (auto& a : addrs) addrPtrs.push_back(reinterpret_cast<char*>(&a));
    addrPtrs.push_back(nullptr);
    entry.h_name = name.data();
    entry.h_aliases = aliasPtrs.data();
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = addrPtrs.data();
    return &entry;
  }
};

// Name to IPv4 addresses (network order); the Winsock error or 0.
int LookupName(const std::string& host, std::string& canonical, std::vector<u_long>& addrs) {
  addrinfo hints{};
  hints.ai_family = kSys_AF_INET;
  hints.ai_socktype = kSys_SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) return WinsockErrorFromEai(rc, errno);
  canonical = res && res->ai_canonname ? res->ai_canonname : host;
  addrs.clear();
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family != kSys_AF_INET) continue;
    u_long a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (u_long b : addrs) seen = seen || b == a;
    if (!seen) addrs.push_back(a);
  }
  ::freeaddrinfo(res);
  return addrs.empty() ? WSANO_DATA : 0;
}

// IPv4 address (network order) to its name; the Winsock error or 0.
int LookupAddr(u_long addr, std::string& name) {
  sockaddr_in sa{};
  sa.sin_family = kSys_AF_INET;
  sa.sin_addr.s_addr = addr;
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr,
                         0, NI_NAMEREQD);
  if (rc != 0) return WinsockErrorFromEai(rc, errno);
  name = host;
  return 0;
}

THostEnt* Impl_gethostbyname(const char* name) {
  if (!name) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  thread_local HostStore store;
  std::string canonical;
  std::vector<u_long> addrs;
  int err = LookupName(name, canonical, addrs);
  if (err) {
    Fail(err);
    return nullptr;
  }
  store.name = canonical;
  store.aliases.clear();
  store.addrs = addrs;
  return store.Fill();
}

THostEnt* Impl_gethostbyaddr(const char* addr, int len, int type) {
  if (!addr || len < 4 || type != AF_INET) {
    Fail(!addr ? WSAEFAULT : WSAEAFNOSUPPORT);
    return nullptr;
  }
  thread_local HostStore store;
  u_long a;
  std::memcpy(&a, addr, 4);
  std::string name;
  int err = LookupAddr(a, name);
  if (err) {
    Fail(err);
    return nullptr;
  }
  store.name = name;
  store.aliases.clear();
  store.addrs = {a};
  return store.Fill();
}

TServEnt* Impl_getservbyname(const char* name, const char* proto) {
  thread_local TServEnt entry;
  thread_local servent se;
  thread_local char buf[1024];
  servent* result = nullptr;
  if (!name || ::getservbyname_r(name, proto, &se, buf, sizeof buf, &result) != 0 || !result) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  entry.s_name = se.s_name;
  entry.s_aliases = se.s_aliases;
  entry.s_port = std::int16_t(se.s_port);  // already in network order
  entry.s_proto = se.s_proto;
  return &entry;
}

TProtoEnt* Impl_getprotobyname(const char* name) {
  thread_local TProtoEnt entry;
  thread_local protoent pe;
  thread_local char buf[1024];
  protoent* result = nullptr;
  if (!name || ::getprotobyname_r(name, &pe, buf, sizeof buf, &result) != 0 || !result) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  entry.p_name = pe.p_name;
  entry.p_aliases = pe.p_aliases;
  entry.p_proto = std::int16_t(pe.p_proto);
  return &entry;
}

int Impl_WSAIoctl(SOCKET s, std::uint32_t code, const void* in, std::uint32_t inLen, void* out,
                  std::uint32_t outLen, std::uint32_t* returned, void* overlapped,
                  void* completion) {
  if (returned) *returned = 0;
  if (code == SIO_KEEPALIVE_VALS) {
    if (!in || inLen < sizeof(TTcpKeepAlive)) return Fail(WSAEFAULT);
    TTcpKeepAlive ka;
    std::memcpy(&ka, in, sizeof ka);
    int on = ka.onoff ? 1 : 0;
    if (::setsockopt(Fd(s), kSys_SOL_SOCKET, kSys_SO_KEEPALIVE, &on, sizeof on) != 0) return FailErrno();
    if (on) {
      int idle = int(ka.keepalivetime / 1000 ? ka.keepalivetime / 1000 : 1);
      int intvl = int(ka.keepaliveinterval / 1000 ? ka.keepaliveinterval / 1000 : 1);
      if (::setsockopt(Fd(s), kSys_IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
          ::setsockopt(Fd(s), kSys_IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) != 0)
        return FailErrno();
    }
    return 0;
  }
  // Receiving every packet of an interface has no counterpart here.
  if (code == SIO_RCVALL) return Fail(WSAEOPNOTSUPP);
  return Fail(WSAEINVAL);
}

// ---- Asynchronous lookups on worker threads. ----

struct AsyncRequest {
  std::mutex lock;
  bool cancelled = false;
  bool done = false;
  platform::HWND wnd = 0;
  platform::UINT msg = 0;
  char* buf = nullptr;
  int bufLen = 0;
};

std::mutex g_asyncLock;
std::map<std::uintptr_t, std::shared_ptr<AsyncRequest>> g_async;
std::uintptr_t g_nextAsync = 0;

// Packs a host entry into buf as Winsock does (the entry, its pointer
// lists, the addresses and the texts).  Returns the size needed.
int PackHostEnt(char* buf, int bufLen, const std::string& name,
                const std::vector<std::string>& aliases, const std::vector<u_long>& addrs) {
  std::size_t need = sizeof(THostEnt) + (aliases.size() + 1) * sizeof(char*) +
                     (addrs.size() + 1) * sizeof(char*) + addrs.size() * 4 + name.size() + 1;
  for (auto& a : aliases) need += a.size() + 1;
  if (need > std::size_t(bufLen)) return int(need);
  char* p = buf;
  auto* he = reinterpret_cast<THostEnt*>(p);
  p += sizeof(THostEnt);
  auto** aliasPtrs = reinterpret_cast<char**>(p);
  p += (aliases.size() + 1) * sizeof(char*);
  auto** addrPtrs = reinterpret_cast<char**>(p);
  p += (addrs.size() + 1) * sizeof(char*);
  for (std::size_t i = 0; i < addrs.size(); ++i) {
    std::memcpy(p, &addrs[i], 4);
    addrPtrs[i] = p;
    p += 4;
  }
  addrPtrs[addrs.size()] = nullptr;
  std::memcpy(p, name.c_str(), name.size() + 1);
  he->h_name = p;
  p += name.size() + 1;
  for (std::size_t i = 0; i < aliases.size(); ++i) {
    std::memcpy(p, aliases[i].c_str(), aliases[i].size() + 1);
    aliasPtrs[i] = p;
    p += aliases[i].size() + 1;
  }
  aliasPtrs[aliases.size()] = nullptr;
  he->h_aliases = aliasPtrs;
  he->h_addrtype = AF_INET;
  he->h_length = 4;
  he->h_addr_list = addrPtrs;
  return int(need);
}

std::uintptr_t StartAsync(platform::HWND wnd, platform::UINT msg, char* buf, int bufLen,
                          std::function<int(std::string&, std::vector<u_long>&)> work) {
  if (!buf || bufLen <= 0) {
    Fail(WSAEFAULT);
    return 0;
  }
  auto req = std::make_shared<AsyncRequest>();
  req->wnd = wnd;
  req->msg = msg;
  req->buf = buf;
  req->bufLen = bufLen;
  std::uintptr_t handle;
  {
    std::lock_guard<std::mutex> g(g_asyncLock);
    handle = ++g_nextAsync;
    g_async[handle] = req;
  }
  std::thread([req, handle, work = std::move(work)] {
    std::string name;
    std::vector<u_long> addrs;
    int err = work(name, addrs);
    int size = 0;
    {
      std::lock_guard<std::mutex> g(req->lock);
      if (req->cancelled) return;
      if (!err) {
        size = PackHostEnt(req->buf, req->bufLen, name, {}, addrs);
        if (size > req->bufLen) err = WSAENOBUFS;
      }
      req->done = true;
    }
    {
      std::lock_guard<std::mutex> g(g_asyncLock);
      g_async.erase(handle);
    }
    platform::LPARAM lParam = platform::LPARAM((std::uint32_t(err) << 16) | (std::uint32_t(size) & 0xFFFF));
    platform::PostMessage(req->wnd, req->msg, platform::WPARAM(handle), lParam);
  }).detach();
  return handle;
}

std::uintptr_t Impl_WSAAsyncGetHostByName(platform::HWND wnd, platform::UINT msg, const char* name,
                                          char* buf, int bufLen) {
  if (!name) {
    Fail(WSAEFAULT);
    return 0;
  }
  std::string host = name;
  return StartAsync(wnd, msg, buf, bufLen, [host](std::string& n, std::vector<u_long>& a) {
    return LookupName(host, n, a);
  });
}

std::uintptr_t Impl_WSAAsyncGetHostByAddr(platform::HWND wnd, platform::UINT msg, const char* addr,
                                          int len, int type, char* buf, int bufLen) {
  if (!addr || len < 4 || type != AF_INET) {
    Fail(!addr ? WSAEFAULT : WSAEAFNOSUPPORT);
    return 0;
  }
  u_long a;
  std::memcpy(&a, addr, 4);
  return StartAsync(wnd, msg, buf, bufLen, [a](std::string& n, std::vector<u_long>& list) {
    list = {a};
    return LookupAddr(a, n);
  });
}

int Impl_WSACancelAsyncRequest(std::uintptr_t handle) {
  std::shared_ptr<AsyncRequest> req;
  {
    std::lock_guard<std::mutex> g(g_asyncLock);
    auto it = g_async.find(handle);
    if (it == g_async.end()) {
      // A handle that was handed out and is gone has finished (its reply
      // is on its way) or was cancelled before: only others are unknown.
      return Fail(handle != 0 && handle <= g_nextAsync ? WSAEALREADY : WSAEINVAL);
    }
    req = it->second;
    g_async.erase(it);
  }
  std::lock_guard<std::mutex> g(req->lock);
  if (req->done) return Fail(WSAEALREADY);
  req->cancelled = true;  // the worker will neither write nor post
  return 0;
}

// ---------------------------------------------------------------------------
// The function table.

enum Slot {
  kWSAStartup, kWSACleanup, kWSASetLastError, kWSAGetLastError, kWSACancelAsyncRequest,
  kWSAAsyncGetHostByName, kWSAAsyncGetHostByAddr, kGetservbyname, kGetprotobyname,
  kGethostbyname, kGethostbyaddr, kGethostname, kSocket, kShutdown, kSetsockopt, kGetsockopt,
  kSendto, kSend, kRecv, kRecvfrom, kNtohs, kListen, kIoctlsocket, kInet_ntoa, kInet_addr,
  kHtons, kHtonl, kGetsockname, kGetpeername, kConnect, kClosesocket, kBind, kAccept,
  kWSAAsyncSelect, kWSAIoctl, kSlotCount
};

struct Export {
  const char* name;
  void* impl;
};

// What the socket library offers, by name, in slot order.  WSAIoctl is the
// one entry of the second library.
const Export kExports[kSlotCount] = {
    {"WSAStartup", reinterpret_cast<void*>(&Impl_WSAStartup)},
    {"WSACleanup", reinterpret_cast<void*>(&Impl_WSACleanup)},
    {"WSASetLastError", reinterpret_cast<void*>(&Impl_WSASetLastError)},
    {"WSAGetLastError", reinterpret_cast<void*>(&Impl_WSAGetLastError)},
    {"WSACancelAsyncRequest", reinterpret_cast<void*>(&Impl_WSACancelAsyncRequest)},
    {"WSAAsyncGetHostByName", reinterpret_cast<void*>(&Impl_WSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", reinterpret_cast<void*>(&Impl_WSAAsyncGetHostByAddr)},
    {"getservbyname", reinterpret_cast<void*>(&Impl_getservbyname)},
    {"getprotobyname", reinterpret_cast<void*>(&Impl_getprotobyname)},
    {"gethostbyname", reinterpret_cast<void*>(&Impl_gethostbyname)},
    {"gethostbyaddr", reinterpret_cast<void*>(&Impl_gethostbyaddr)},
    {"gethostname", reinterpret_cast<void*>(&Impl_gethostname)},
    {"socket", reinterpret_cast<void*>(&Impl_socket)},
    {"shutdown", reinterpret_cast<void*>(&Impl_shutdown)},
    {"setsockopt", reinterpret_cast<void*>(&Impl_setsockopt)},
    {"getsockopt", reinterpret_cast<void*>(&Impl_getsockopt)},
    {"sendto", reinterpret_cast<void*>(&Impl_sendto)},
    {"send", reinterpret_cast<void*>(&Impl_send)},
    {"recv", reinterpret_cast<void*>(&Impl_recv)},
    {"recvfrom", reinterpret_cast<void*>(&Impl_recvfrom)},
    {"ntohs", reinterpret_cast<void*>(&Impl_ntohs)},
    {"listen", reinterpret_cast<void*>(&Impl_listen)},
    {"ioctlsocket", reinterpret_cast<void*>(&Impl_ioctlsocket)},
    {"inet_ntoa", reinterpret_cast<void*>(&Impl_inet_ntoa)},
    {"inet_addr", reinterpret_cast<void*>(&Impl_inet_addr)},
    {"htons", reinterpret_cast<void*>(&Impl_htons)},
    {"htonl", reinterpret_cast<void*>(&Impl_htonl)},
    {"getsockname", reinterpret_cast<void*>(&Impl_getsockname)},
    {"getpeername", reinterpret_cast<void*>(&Impl_getpeername)},
    {"connect", reinterpret_cast<void*>(&Impl_connect)},
    {"closesocket", reinterpret_cast<void*>(&Impl_closesocket)},
    {"bind", reinterpret_cast<void*>(&Impl_bind)},
    {"accept", reinterpret_cast<void*>(&Impl_accept)},
    {"WSAAsyncSelect", reinterpret_cast<void*>(&Impl_WSAAsyncSelect)},
    {"WSAIoctl", reinterpret_cast<void*>(&Impl_WSAIoctl)},
};

std::recursive_mutex g_lock;
bool g_loaded = false;
bool g_ws2Loaded = false;
int g_useCount = 0;
TWSAData g_startup;
std::uint8_t g_reqVerLow = 1;   // minor
std::uint8_t g_reqVerHigh = 1;  // major
std::atomic<void*> g_bound[kSlotCount];

const char* kProcNotFound = "The specified procedure could not be found. (#127)";

// Inside g_lock.
void LoadLocked() {
  if (g_loaded) return;
  WORD version = WORD(g_reqVerHigh | (g_reqVerLow << 8));
  TWSAData data;
  int rc = Impl_WSAStartup(version, &data);
  if (rc != 0)
    throw ESocketException("Winsock startup error wsock32.dll - " + SysErrorMessageWithCode(rc));
  g_startup = data;
  g_loaded = true;
}

void* BindSlow(int slot) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  LoadLocked();
  if (slot == kWSAIoctl) g_ws2Loaded = true;
  void* p = kExports[slot].impl;
  g_bound[slot].store(p, std::memory_order_release);
  return p;
}

template <typename F>
F Bound(int slot) {
  void* p = g_bound[slot].load(std::memory_order_acquire);
  if (!p) p = BindSlow(slot);
  return reinterpret_cast<F>(p);
}

// Raises the use count for the length of a counted call.
struct UseGuard {
  UseGuard() { WSocketIncrementUseCount(); }
  ~UseGuard() { WSocketDecrementUseCount(); }
};

}  // namespace

// ---- Wrappers. ----

int WSocket_WSAStartup(WORD v, TWSAData* d) { return Bound<decltype(&Impl_WSAStartup)>(kWSAStartup)(v, d); }
int WSocket_WSACleanup() { return Bound<decltype(&Impl_WSACleanup)>(kWSACleanup)(); }
void WSocket_WSASetLastError(int code) { Bound<decltype(&Impl_WSASetLastError)>(kWSASetLastError)(code); }
int WSocket_WSAGetLastError() { return Bound<decltype(&Impl_WSAGetLastError)>(kWSAGetLastError)(); }
std::uintptr_t WSocket_WSAAsyncGetHostByName(platform::HWND wnd, platform::UINT msg, const char* name,
                                             char* buf, int bufLen) {
  return Bound<decltype(&Impl_WSAAsyncGetHostByName)>(kWSAAsyncGetHostByName)(wnd, msg, name, buf, bufLen);
}
std::uintptr_t WSocket_WSAAsyncGetHostByAddr(platform::HWND wnd, platform::UINT msg, const char* addr,
                                             int len, int type, char* buf, int bufLen) {
  return Bound<decltype(&Impl_WSAAsyncGetHostByAddr)>(kWSAAsyncGetHostByAddr)(wnd, msg, addr, len, type,
                                                                              buf, bufLen);
}
int WSocket_WSACancelAsyncRequest(std::uintptr_t h) {
  return Bound<decltype(&Impl_WSACancelAsyncRequest)>(kWSACancelAsyncRequest)(h);
}
TServEnt* WSocket_getservbyname(const char* n, const char* p) {
  return Bound<decltype(&Impl_getservbyname)>(kGetservbyname)(n, p);
}
TProtoEnt* WSocket_getprotobyname(const char* n) { return Bound<decltype(&Impl_getprotobyname)>(kGetprotobyname)(n); }
THostEnt* WSocket_gethostbyname(const char* n) { return Bound<decltype(&Impl_gethostbyname)>(kGethostbyname)(n); }
THostEnt* WSocket_gethostbyaddr(const char* a, int l, int t) {
  return Bound<decltype(&Impl_gethostbyaddr)>(kGethostbyaddr)(a, l, t);
}
int WSocket_gethostname(char* n, int l) { return Bound<decltype(&Impl_gethostname)>(kGethostname)(n, l); }
SOCKET WSocket_socket(int af, int type, int proto) { return Bound<decltype(&Impl_socket)>(kSocket)(af, type, proto); }
int WSocket_shutdown(SOCKET s, int how) { return Bound<decltype(&Impl_shutdown)>(kShutdown)(s, how); }
int WSocket_setsockopt(SOCKET s, int level, int name, const char* v, int l) {
  return Bound<decltype(&Impl_setsockopt)>(kSetsockopt)(s, level, name, v, l);
}
int WSocket_getsockopt(SOCKET s, int level, int name, char* v, int* l) {
  return Bound<decltype(&Impl_getsockopt)>(kGetsockopt)(s, level, name, v, l);
}
int WSocket_sendto(SOCKET s, const char* b, int l, int f, const TSockAddr* to, int tl) {
  return Bound<decltype(&Impl_sendto)>(kSendto)(s, b, l, f, to, tl);
}
int WSocket_send(SOCKET s, const char* b, int l, int f) { return Bound<decltype(&Impl_send)>(kSend)(s, b, l, f); }
int WSocket_sendfile(SOCKET s, int fileFd, std::int64_t offset, int len) {
  // sendfile has no MSG_NOSIGNAL: a peer that has gone would raise SIGPIPE
  // and end the program.  The signal is held back for this thread during
  // the call and, when the call raised it, taken away again.
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  off_t off = off_t(offset);
  ssize_t n = ::sendfile(Fd(s), fileFd, &off, std::size_t(len < 0 ? 0 : len));
  int err = errno;
  // Blocked before, a pending SIGPIPE is someone else's to take.
  if (n < 0 && err == EPIPE && sigismember(&old, SIGPIPE) == 0) {
    timespec zero{0, 0};
    while (sigtimedwait(&pipe, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  platform::AsyncSelectAfterSend(s, len, long(n), err);
  errno = err;
  return n < 0 ? FailErrno() : int(n);
}
int WSocket_recv(SOCKET s, char* b, int l, int f) { return Bound<decltype(&Impl_recv)>(kRecv)(s, b, l, f); }
int WSocket_recvfrom(SOCKET s, char* b, int l, int f, TSockAddr* from, int* fl) {
  return Bound<decltype(&Impl_recvfrom)>(kRecvfrom)(s, b, l, f, from, fl);
}
u_short WSocket_ntohs(u_short v) { return Bound<decltype(&Impl_ntohs)>(kNtohs)(v); }
int WSocket_listen(SOCKET s, int b) { return Bound<decltype(&Impl_listen)>(kListen)(s, b); }
int WSocket_ioctlsocket(SOCKET s, long c, u_long* a) { return Bound<decltype(&Impl_ioctlsocket)>(kIoctlsocket)(s, c, a); }
char* WSocket_inet_ntoa(u_long a) { return Bound<decltype(&Impl_inet_ntoa)>(kInet_ntoa)(a); }
u_long WSocket_inet_addr(const char* cp) { return Bound<decltype(&Impl_inet_addr)>(kInet_addr)(cp); }
u_short WSocket_htons(u_short v) { return Bound<decltype(&Impl_htons)>(kHtons)(v); }
u_long WSocket_htonl(u_long v) { return Bound<decltype(&Impl_htonl)>(kHtonl)(v); }
int WSocket_getsockname(SOCKET s, TSockAddr* n, int* l) {
  return Bound<decltype(&Impl_getsockname)>(kGetsockname)(s, n, l);
}
int WSocket_getpeername(SOCKET s, TSockAddr* n, int* l) {
  return Bound<decltype(&Impl_getpeername)>(kGetpeername)(s, n, l);
}
int WSocket_connect(SOCKET s, const TSockAddr* n, int l) { return Bound<decltype(&Impl_connect)>(kConnect)(s, n, l); }
int WSocket_closesocket(SOCKET s) { return Bound<decltype(&Impl_closesocket)>(kClosesocket)(s); }
int WSocket_WSAAsyncSelect(SOCKET s, platform::HWND wnd, platform::UINT msg, long events) {
  return Bound<decltype(&Impl_WSAAsyncSelect)>(kWSAAsyncSelect)(s, wnd, msg, events);
}
int WSocket_bind(SOCKET s, const TSockAddr* n, int l) { return Bound<decltype(&Impl_bind)>(kBind)(s, n, l); }
SOCKET WSocket_accept(SOCKET s, TSockAddr* a, int* l) { return Bound<decltype(&Impl_accept)>(kAccept)(s, a, l); }
long WSocket_DescriptorsLeftAbove(SOCKET s) {
  constexpr long kPlenty = 1L << 30;
  rlimit r{};
  if (s == INVALID_SOCKET || ::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kPlenty;
  const long left = long(r.rlim_cur) - long(s) - 1;
  return left < 0 ? 0 : std::min(left, kPlenty);
}
bool WSocket_PeerHasEnded(SOCKET s) {
  if (s == INVALID_SOCKET) return false;
  pollfd p{Fd(s), POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}
int WSocket_WSAIoctl(SOCKET s, std::uint32_t code, const void* in, std::uint32_t inLen, void* out,
                     std::uint32_t outLen, std::uint32_t* returned, void* ov, void* cr) {
  return Bound<decltype(&Impl_WSAIoctl)>(kWSAIoctl)(s, code, in, inLen, out, outLen, returned, ov, cr);
}

// ---- Counted forms. ----

void WSocketCounted_WSASetLastError(int code) {
  UseGuard g;
  WSocket_WSASetLastError(code);
}
int WSocketCounted_WSAGetLastError() {
  UseGuard g;
  return WSocket_WSAGetLastError();
}
THostEnt* WSocketCounted_gethostbyname(const char* name) {
  UseGuard g;
  return WSocket_gethostbyname(name);
}
std::string WSocketCounted_gethostname(int* result) {
  UseGuard g;
  char buf[256] = {};
  int rc = WSocket_gethostname(buf, sizeof buf);
  if (result) *result = rc;
  return rc == 0 ? std::string(buf) : std::string();
}
int WSocketCounted_setsockopt(SOCKET s, int level, int name, const char* v, int l) {
  UseGuard g;
  return WSocket_setsockopt(s, level, name, v, l);
}
int WSocketCounted_getsockopt(SOCKET s, int level, int name, char* v, int* l) {
  UseGuard g;
  return WSocket_getsockopt(s, level, name, v, l);
}
u_short WSocketCounted_ntohs(u_short v) {
  UseGuard g;
  return WSocket_ntohs(v);
}
int WSocketCounted_WSAIoctl(SOCKET s, std::uint32_t code, const void* in, std::uint32_t inLen,
                            void* out, std::uint32_t outLen, std::uint32_t* returned) {
  UseGuard g;
  return WSocket_WSAIoctl(s, code, in, inLen, out, outLen, returned, nullptr, nullptr);
}
std::string WSocketCounted_inet_ntoa(const u_long* addr) {
  UseGuard g;
  if (!addr) return {};
  return WSocket_inet_ntoa(*addr);
}
u_long WSocketCounted_htonl(u_long v) {
  UseGuard g;
  return WSocket_htonl(v);
}
int WSocketCounted_closesocket(SOCKET s) {
  UseGuard g;
  return WSocket_closesocket(s);
}
int WSocketCounted_recv(SOCKET s, char* b, int l, int f) {
  UseGuard g;
  return WSocket_recv(s, b, l, f);
}

// ---- Loading and counting. ----

void* WSocketGetProc(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  LoadLocked();
  if (name.empty()) return nullptr;
  for (int i = 0; i < kSlotCount; ++i)
    if (name == kExports[i].name) return BindSlow(i);
  throw ESocketException("Procedure " + name + " not found in wsock32.dll - " + kProcNotFound);
}

int WSocketUseCount() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_useCount;
}

void WSocketIncrementUseCount() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  ++g_useCount;
}

void WSocketDecrementUseCount() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (g_useCount > 0) --g_useCount;
}

void WSocketUnloadIfUnused() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_loaded || g_useCount != 0) return;
  Impl_WSACleanup();
  g_ws2Loaded = false;
  g_loaded = false;
  g_startup = TWSAData{};
  for (auto& p : g_bound) p.store(nullptr, std::memory_order_release);
}

bool WSocketIsLoaded() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_loaded;
}

TWSAData WSocketStartupData() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_startup;
}

std::uint8_t WSocketReqVerLow() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_reqVerLow;
}

std::uint8_t WSocketReqVerHigh() {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return g_reqVerHigh;
}

bool WSocketSetReqVerLow(std::uint8_t v) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (v == g_reqVerLow) return true;
  if (g_loaded) return false;
  g_reqVerLow = v;
  return true;
}

bool WSocketSetReqVerHigh(std::uint8_t v) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (v == g_reqVerHigh) return true;
  if (g_loaded) return false;
  g_reqVerHigh = v;
  return true;
}

}  // namespace yux::net
