#pragma once
// The sockets the protocols use.  TWSocket adds nothing to the layers; the
// hidden window is attached at creation, once every layer has said how
// many message numbers it needs.
#include "net/socket/wsocketlayers.h"

namespace yux::net {

class TWSocket : public TCustomThrottledWSocket {
 public:
  TWSocket() { AllocateSocketWindow(); }
};

class TSslWSocket : public TWSocket {
 public:
  TSslWSocket() = default;
};

}  // namespace yux::net
