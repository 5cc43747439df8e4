#include "net/socket/netresolve.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "net/socket/neterrors.h"
#include "net/socket/netexceptions.h"
#include "net/socket/netutils.h"

namespace yux::net {
namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool IsDottedIPv4Text(const std::string& s) {
  std::size_t i = 0, n = s.size();
  while (i < n && IsBlankChar(s[i])) ++i;
  int parts = 0;
  while (true) {
    if (i >= n || !IsDecimalDigit(s[i])) return false;  // a part must start with a digit
    int value = 0;
    while (i < n && IsDecimalDigit(s[i])) {
      value = value * 10 + (s[i++] - '0');
      if (value > 255) return false;
    }
    ++parts;
    if (parts == 4) break;
    if (i >= n || s[i] != '.') return false;
    ++i;
  }
  while (i < n && IsBlankChar(s[i])) ++i;
  return i == n;
}

u_long ResolveHostText(const std::string& name) {
  if (name.empty()) throw ESocketException("Winsock Resolve Host: '" + name + "' Invalid Hostname.");
  if (IsDottedIPv4Text(name)) {
    u_long a = WSocket_inet_addr(name.c_str());
    if (a == INADDR_NONE && Trim(name) != "255.255.255.255")
      throw ESocketException("Winsock Resolve Host: '" + name + "' Invalid IP address.");
    return a;
  }
  THostEnt* he = WSocket_gethostbyname(name.c_str());
  if (!he || !he->h_addr_list || !he->h_addr_list[0])
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + name + "' - " +
                           WinsockErrorTextWithCode(WSocket_WSAGetLastError()));
  u_long a;
  std::memcpy(&a, he->h_addr_list[0], 4);
  return a;
}

u_short ResolvePortText(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (IsDecimalDigit(port[0])) {
    std::int64_t n = NetDecimalToInt(port.c_str());
    if (n > 65535) throw ESocketException("Winsock Resolve Port: Invalid Port.");
    return u_short(n);
  }
  TServEnt* se = WSocket_getservbyname(port.c_str(), proto.c_str());
  if (!se)
    throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                           WinsockErrorTextWithCode(WSocket_WSAGetLastError()));
  return WSocket_ntohs(u_short(se->s_port));
}

int ResolveProtoText(const std::string& proto) {
  if (proto.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (IsDecimalDigit(proto[0])) return int(NetDecimalToInt(proto.c_str()));
  std::string p = Lower(Trim(proto));
  if (p == "tcp") return IPPROTO_TCP;
  if (p == "udp") return IPPROTO_UDP;
  if (p == "raw") return 255;
  TProtoEnt* pe = WSocket_getprotobyname(p.c_str());
  if (!pe)
    throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                           WinsockErrorTextWithCode(WSocket_WSAGetLastError()));
  return pe->p_proto;
}

std::string LocalComputerName() {
  int rc = 0;
  std::string name = WSocketCounted_gethostname(&rc);
  if (rc != 0) throw ESocketException("Winsock Get Host Name failed");
  return name;
}

std::vector<std::string> LocalIPv4Addresses() {
  std::string name = LocalComputerName();
  if (name.empty() || name.size() > 256)
    throw ESocketException("Winsock Get Host Name: Invalid Hostname.");
  std::vector<std::string> list;
  THostEnt* he = WSocketCounted_gethostbyname(name.c_str());
  if (!he)
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + name + "' - " +
                           WinsockErrorTextWithCode(WSocketCounted_WSAGetLastError()));
  for (char** p = he->h_addr_list; p && *p; ++p) {
    u_long a;
    std::memcpy(&a, *p, 4);
    list.push_back(WSocketCounted_inet_ntoa(&a));
  }
  return list;
}

}  // namespace yux::net
