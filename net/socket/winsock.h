#pragma once
// The socket calls of the network suite, in their Winsock shape, bound at
// run time to the system's BSD sockets through a function table.
//
// The table is filled ("loaded") at the first call of any wrapper, together
// with the start-up call; it is emptied again ("unloaded") when the last
// socket is gone and no counted call is in progress.  Every failure sets the
// calling thread's Winsock error (WSAGetLastError) to the Winsock number of
// the system error (see WinsockErrorFromErrno).
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/socket/winsockerrors.h"
#include "platform/messages.h"

namespace yux::net {

using SOCKET = std::intptr_t;
using u_short = std::uint16_t;
using u_long = std::uint32_t;
using WORD = std::uint16_t;

inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr u_long INADDR_ANY = 0;
inline constexpr u_long INADDR_NONE = 0xFFFFFFFF;

inline constexpr int AF_INET = 2;
inline constexpr int PF_INET = 2;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int SOCK_DGRAM = 2;
inline constexpr int SOCK_RAW = 3;
inline constexpr int IPPROTO_IP = 0;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int IPPROTO_UDP = 17;

inline constexpr int MSG_OOB = 1;
inline constexpr int MSG_PEEK = 2;
// More data follows at once (the system's flag, passed through by send):
// the network may hold this piece back to join it with the next.
inline constexpr int kMsgMore = 0x8000;

inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// Socket options, by their Winsock numbers.
inline constexpr int SOL_SOCKET = 0xFFFF;
inline constexpr int SO_REUSEADDR = 0x0004;
inline constexpr int SO_KEEPALIVE = 0x0008;
inline constexpr int SO_BROADCAST = 0x0020;
inline constexpr int SO_LINGER = 0x0080;
inline constexpr int SO_OOBINLINE = 0x0100;
inline constexpr int SO_SNDBUF = 0x1001;
inline constexpr int SO_RCVBUF = 0x1002;
inline constexpr int SO_ERROR = 0x1007;
inline constexpr int SO_TYPE = 0x1008;
inline constexpr int TCP_NODELAY = 0x0001;
inline constexpr int IP_MULTICAST_IF = 2;
inline constexpr int IP_MULTICAST_TTL = 3;
inline constexpr int IP_MULTICAST_LOOP = 4;
inline constexpr int IP_ADD_MEMBERSHIP = 5;
inline constexpr int IP_DROP_MEMBERSHIP = 6;

inline constexpr long FIONREAD = 0x4004667F;
inline constexpr long FIONBIO = static_cast<long>(0x8004667E);
inline constexpr std::uint32_t SIO_RCVALL = 0x98000001;
inline constexpr std::uint32_t SIO_KEEPALIVE_VALS = 0x98000004;

inline constexpr int MAXGETHOSTSTRUCT = 1024;

// Network events of WSAAsyncSelect.
inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_OOB = 0x04;
inline constexpr long FD_ACCEPT = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;

// Winsock error numbers the suite tests.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// IPv4 socket address, laid out as the system's own.
struct TSockAddrIn {
  u_short sin_family = 0;
  u_short sin_port = 0;  // network order
  u_long sin_addr = 0;   // network order
  char sin_zero[8] = {};
};
struct TSockAddr {
  u_short sa_family = 0;
  char sa_data[14] = {};
};
static_assert(sizeof(TSockAddrIn) == 16 && sizeof(TSockAddr) == 16);

struct TLinger {
  u_short l_onoff = 0;
  u_short l_linger = 0;
};
struct TIpMreq {
  u_long imr_multiaddr = 0;
  u_long imr_interface = 0;
};
struct TTcpKeepAlive {
  u_long onoff = 0;
  u_long keepalivetime = 0;      // ms
  u_long keepaliveinterval = 0;  // ms
};

struct THostEnt {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;
};
struct TServEnt {
  char* s_name;
  char** s_aliases;
  std::int16_t s_port;  // network order
  char* s_proto;
};
struct TProtoEnt {
  char* p_name;
  char** p_aliases;
  std::int16_t p_proto;
};

struct TWSAData {
  WORD wVersion = 0;
  WORD wHighVersion = 0;
  char szDescription[257] = {};
  char szSystemStatus[129] = {};
  u_short iMaxSockets = 0;
  u_short iMaxUdpDg = 0;
};

// ---- The bound calls (thin wrappers: bind on first call, then call). ----
int WSocket_WSAStartup(WORD versionRequested, TWSAData* data);
int WSocket_WSACleanup();
void WSocket_WSASetLastError(int code);
int WSocket_WSAGetLastError();
// Asynchronous lookups: the reply is posted to wnd as msg with wParam = the
// request handle and lParam = (error << 16) | size of the host entry.  The
// host entry is written into buf before the reply is posted; a cancelled
// request never touches buf again once WSACancelAsyncRequest has returned.
std::uintptr_t WSocket_WSAAsyncGetHostByName(platform::HWND wnd, platform::UINT msg,
                                             const char* name, char* buf, int bufLen);
std::uintptr_t WSocket_WSAAsyncGetHostByAddr(platform::HWND wnd, platform::UINT msg,
                                             const char* addr, int len, int type, char* buf,
                                             int bufLen);
int WSocket_WSACancelAsyncRequest(std::uintptr_t handle);
TServEnt* WSocket_getservbyname(const char* name, const char* proto);
TProtoEnt* WSocket_getprotobyname(const char* name);
THostEnt* WSocket_gethostbyname(const char* name);
THostEnt* WSocket_gethostbyaddr(const char* addr, int len, int type);
int WSocket_gethostname(char* name, int len);
SOCKET WSocket_socket(int af, int type, int protocol);
int WSocket_shutdown(SOCKET s, int how);
int WSocket_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int WSocket_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int WSocket_sendto(SOCKET s, const char* buf, int len, int flags, const TSockAddr* to, int tolen);
int WSocket_send(SOCKET s, const char* buf, int len, int flags);
// Sends up to len bytes of the open file fileFd from offset straight from
// the file (no copy through the caller); the count sent, or SOCKET_ERROR
// with the Winsock error (WSAEWOULDBLOCK when the network is full, the
// FD_WRITE notification then follows as after a short send).
int WSocket_sendfile(SOCKET s, int fileFd, std::int64_t offset, int len);
int WSocket_recv(SOCKET s, char* buf, int len, int flags);
int WSocket_recvfrom(SOCKET s, char* buf, int len, int flags, TSockAddr* from, int* fromlen);
u_short WSocket_ntohs(u_short v);
int WSocket_listen(SOCKET s, int backlog);
int WSocket_ioctlsocket(SOCKET s, long cmd, u_long* arg);
// Dotted text of an address in network order (a per-thread buffer).
char* WSocket_inet_ntoa(u_long addr);
u_long WSocket_inet_addr(const char* cp);
u_short WSocket_htons(u_short v);
u_long WSocket_htonl(u_long v);
int WSocket_getsockname(SOCKET s, TSockAddr* name, int* namelen);
int WSocket_getpeername(SOCKET s, TSockAddr* name, int* namelen);
int WSocket_connect(SOCKET s, const TSockAddr* name, int namelen);
int WSocket_closesocket(SOCKET s);
int WSocket_bind(SOCKET s, const TSockAddr* name, int namelen);
SOCKET WSocket_accept(SOCKET s, TSockAddr* addr, int* addrlen);
// How many more descriptors the process may open with numbers above `s`
// under its limit (a very large number when there is no limit).  The
// lowest free number is always the one handed out, so every number below
// a socket just made is taken.
long WSocket_DescriptorsLeftAbove(SOCKET s);
// Whether the peer's end of stream (or a reset) has already arrived on the
// connection, without reading it: data before it may still be unread.
bool WSocket_PeerHasEnded(SOCKET s);
// Socket notifications as window messages (see platform/asyncselect.h);
// also makes the socket non-blocking.
int WSocket_WSAAsyncSelect(SOCKET s, platform::HWND wnd, platform::UINT msg, long events);
int WSocket_WSAIoctl(SOCKET s, std::uint32_t code, const void* in, std::uint32_t inLen, void* out,
                     std::uint32_t outLen, std::uint32_t* returned, void* overlapped,
                     void* completion);

// ---- Counted forms: keep the table loaded for the length of the call. ----
void WSocketCounted_WSASetLastError(int code);
int WSocketCounted_WSAGetLastError();
THostEnt* WSocketCounted_gethostbyname(const char* name);
// The local host name (empty on error) and the result code.
std::string WSocketCounted_gethostname(int* result);
int WSocketCounted_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int WSocketCounted_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
u_short WSocketCounted_ntohs(u_short v);
int WSocketCounted_WSAIoctl(SOCKET s, std::uint32_t code, const void* in, std::uint32_t inLen,
                            void* out, std::uint32_t outLen, std::uint32_t* returned);
// Dotted text; empty for a null address pointer.
std::string WSocketCounted_inet_ntoa(const u_long* addr);
u_long WSocketCounted_htonl(u_long v);
int WSocketCounted_closesocket(SOCKET s);
int WSocketCounted_recv(SOCKET s, char* buf, int len, int flags);

// ---- Loading, counting and unloading. ----
// The entry point bound to a name ("" only makes sure the table is
// loaded).  Raises ESocketException when loading, starting or the name
// fails.
void* WSocketGetProc(const std::string& name);
int WSocketUseCount();
void WSocketIncrementUseCount();
void WSocketDecrementUseCount();
// Cleans up and empties the table when it is loaded and the count is 0.
void WSocketUnloadIfUnused();
bool WSocketIsLoaded();
// The start-up data of the current load (zeros while not loaded).
TWSAData WSocketStartupData();

// The requested version: low = minor, high = major (1.1 by default).  A
// change while the table is loaded is refused (false, value unchanged).
std::uint8_t WSocketReqVerLow();
std::uint8_t WSocketReqVerHigh();
bool WSocketSetReqVerLow(std::uint8_t v);
bool WSocketSetReqVerHigh(std::uint8_t v);

}  // namespace yux::net
