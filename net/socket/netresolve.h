#pragma once
// Host, port and protocol names to numbers, and the local host's name and
// addresses.  All failures raise ESocketException.
#include <cstdint>
#include <string>
#include <vector>

#include "net/socket/winsock.h"

namespace yux::net {

// Four decimal parts of at most 255 with exactly three dots, each dot
// followed by a digit; blanks allowed before and after.
bool IsDottedIPv4Text(const std::string& s);
// An IPv4 address in network order.
u_long ResolveHostText(const std::string& name);
// A port number in host order.
u_short ResolvePortText(const std::string& port, const std::string& proto);
int ResolveProtoText(const std::string& proto);
std::string LocalComputerName();
// The dotted addresses of the local host name.
std::vector<std::string> LocalIPv4Addresses();

}  // namespace yux::net
