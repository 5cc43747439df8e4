#pragma once
// One SCSI command to an optical drive: the command block, the direction and
// buffer of its data, a time-out; back come the SCSI status and sense data.
// The disc library talks to every drive through this interface, whether the
// drive is real (SG_IO) or emulated over an image file.
#include <cstdint>
#include <memory>
#include <string>

namespace yux::platform {

enum class MmcDirection { None, In, Out };

struct MmcRequest {
  const uint8_t* cdb = nullptr;
  int cdbLength = 0;
  MmcDirection direction = MmcDirection::None;
  uint8_t* data = nullptr;   // In: filled by the drive; Out: sent to it
  uint32_t length = 0;       // bytes of data
  uint32_t timeoutMs = 0;
};

struct MmcResult {
  bool sent = false;          // the transport delivered the command
  uint8_t scsiStatus = 0;     // 0 good, 2 check condition, 8 busy
  uint8_t sense[32] = {};     // fixed-format sense data
  int senseLength = 0;
  int systemError = 0;        // errno of a failed transport call
  uint32_t transferred = 0;   // bytes actually moved

  bool Good() const { return sent && scsiStatus == 0; }
  uint8_t SenseKey() const { return senseLength > 2 ? sense[2] & 0x0F : 0; }
  uint8_t Asc() const { return senseLength > 12 ? sense[12] : 0; }
  uint8_t Ascq() const { return senseLength > 13 ? sense[13] : 0; }
};

// SCSI address of a drive (host adapter, channel, target, LUN).
struct MmcAddress {
  int host = 0;
  int channel = 0;
  int target = 0;
  int lun = 0;
};

class MmcTransport {
 public:
  virtual ~MmcTransport() = default;
  virtual MmcResult Execute(const MmcRequest& request) = 0;
  // False when the drive has no SCSI address to report.
  virtual bool GetAddress(MmcAddress& address) = 0;
  // Releases the handle; the next Execute opens it again when it can.
  virtual void Close() {}
};

// Fills fixed-format sense data (response code 70h) into a result.
void SetSense(MmcResult& result, uint8_t key, uint8_t asc, uint8_t ascq);

// The system error of an exclusive open that failed because another
// program holds the drive (or has its disc mounted).
int DriveHeldElsewhereError();

}  // namespace yux::platform
