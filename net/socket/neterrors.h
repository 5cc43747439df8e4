#pragma once
// Error numbers of the network suite turned into texts.  Every "with code"
// form ends with " (#" + the number + ")".
#include <string>

namespace yux::net {

std::string WinsockErrorText(int code);
std::string WinsockErrorTextWithCode(int code);
// The system's message for an error number (the platform's errno values).
std::string SysErrorMessage(int code);
std::string SysErrorMessageWithCode(int code);

std::string SocksErrorText(int code);       // 20000 to 20017
std::string HttpTunnelErrorText(int code);  // 21000 to 21599
std::string HttpStatusText(int status);

bool IsProxyErrorCode(int code);
std::string ProxyErrorText(int code);
std::string SocketErrorText(int code);
std::string SocketErrorTextWithCode(int code);

}  // namespace yux::net
