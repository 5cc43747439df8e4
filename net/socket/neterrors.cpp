#include "net/socket/neterrors.h"

#include <cstring>

namespace yux::net {

std::string WinsockErrorText(int code) {
  switch (code) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
  }
}

std::string WinsockErrorTextWithCode(int code) {
  return WinsockErrorText(code) + " (#" + std::to_string(code) + ")";
}

std::string SysErrorMessage(int code) {
  char buf[256];
  // The GNU form returns the text (possibly a static string).
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

std::string SysErrorMessageWithCode(int code) {
  return SysErrorMessage(code) + " (#" + std::to_string(code) + ")";
}

std::string SocksErrorText(int code) {
  static const char* const kTexts[] = {
      "No Error",           "Protocol Error",       "Version Error",
      "Authentication Method Error", "General Failure", "Connection Not Allowed",
      "Network Unreachable", "Host Unreachable",    "Connection Refused",
      "TTL Expired",        "Unknown Command",      "Unknown Address Type",
      "Unassigned Error",   "Internal Error",       "Data Receive Error",
      "Authentication Failed", "Rejected Or Failed", "Host Resolution Failed"};
  if (code >= 20000 && code <= 20017) return kTexts[code - 20000];
  return "Not a SOCKS error";
}

std::string HttpStatusText(int status) {
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 102: return "Processing";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 207: return "Multi-Status (WebDAV)";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 306: return "Switch Proxy";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Large";
    case 414: return "Request-URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Requested Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 418: return "I'm a teapot";
    case 422: return "Unprocessable Entity (WebDAV)";
    case 423: return "Locked (WebDAV)";
    case 424: return "Failed Dependency (WebDAV)";
    case 425: return "Unordered Collection";
    case 426: return "Upgrade Required";
    case 444: return "No Response";
    case 449: return "Retry With";
    case 450: return "Blocked by Windows Parental Controls";
    case 499: return "Client Closed Request";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 506: return "Variant Also Negotiates";
    case 507: return "Insufficient Storage (WebDAV)";
    case 509: return "Bandwidth Limit Exceeded";
    case 510: return "Not Extended";
    default:
      if (status >= 100 && status <= 599) return "HTTP status code " + std::to_string(status);
      return "Not a HTTP status code";
  }
}

std::string HttpTunnelErrorText(int code) {
  switch (code) {
    case 21000: return "Protocol Error";
    case 21001: return "General Failure";
    case 21002: return "Proxy server must support HTTP/1.1";
    case 21200: return "No Error";
    default:
      if (code >= 21100 && code <= 21599) return HttpStatusText(code - 21000);
      return "Not a HTTP tunnel error";
  }
}

bool IsProxyErrorCode(int code) {
  return (code >= 20000 && code <= 20017) || (code >= 21000 && code <= 21599);
}

std::string ProxyErrorText(int code) {
  if (code >= 21000 && code <= 21599) return "HTTP Proxy - " + HttpTunnelErrorText(code);
  if (code >= 20000 && code <= 20017) return "SOCKS - " + SocksErrorText(code);
  return "Not a proxy error";
}

std::string SocketErrorText(int code) {
  if (IsProxyErrorCode(code)) return ProxyErrorText(code);
  return "Winsock - " + WinsockErrorText(code);
}

std::string SocketErrorTextWithCode(int code) {
  return SocketErrorText(code) + " (#" + std::to_string(code) + ")";
}

}  // namespace yux::net
