#include "platform/mmc_transport.h"

#include <cerrno>
#include <cstring>

namespace yux::platform {

void SetSense(MmcResult& result, uint8_t key, uint8_t asc, uint8_t ascq) {
  std::memset(result.sense, 0, sizeof result.sense);
  result.sense[0] = 0x70;  // current error, fixed format
  result.sense[2] = key & 0x0F;
  result.sense[7] = 10;  // additional sense length
  result.sense[12] = asc;
  result.sense[13] = ascq;
  result.senseLength = 18;
}

int DriveHeldElsewhereError() { return EBUSY; }

}  // namespace yux::platform
