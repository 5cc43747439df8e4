#pragma once
// The TLS layer's place in the socket class chain.  While TLS is off it
// passes every operation straight to the layer below, which is all this
// build offers: the layers above are written against this class.
#include "net/socket/socks.h"

namespace yux::net {

class TCustomSslWSocket : public TCustomSocksWSocket {
 public:
  TCustomSslWSocket() = default;
};

}  // namespace yux::net
