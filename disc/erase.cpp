#include "disc/erase.h"

#include <vector>

namespace yux::disc {

bool TEraseThread::WriteZeros(uint32_t writes) {
  TSCSIDevice& dev = ctx_.device;
  const std::vector<uint8_t> zeros(kQueueBlockBytes, 0);
  for (uint32_t i = 0; i < writes; ++i)
    if (!dev.Write10(i * 32, 32, zeros.data(), kQueueBlockBytes)) return false;
  return true;
}

bool TEraseThread::Execute() {
  TSCSIDevice& dev = ctx_.device;
  auto discInfo = [&] { return dev.ReadDiscInformation(); };
  const int media = dev.GetMediaType();
  dev.SetCDSpeed(dev.requestedReadSpeed, dev.requestedWriteSpeed);
  dev.SetWriteParameters(false);
  bool failed = false;
  switch (media) {
    case mtDVDRAM:
      if (quick_) {
        failed = !WriteZeros(128);
        if (!dev.SynchronizeCache(false)) failed = true;
      } else {
        static const uint8_t list[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20,
                                         0x00, 0x00, 0x08, 0x00};
        if (!dev.FormatUnit(0x11, list, 12)) {
          failed = true;
          break;
        }
        ctx_.WhileNotReady([&] { return dev.TestUnitReady(); });
      }
      break;
    case mtDVDPlusRW: {
      static const uint8_t list[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40,
                                       0x98, 0x00, 0x00, 0x00};
      const bool formatted = dev.FormatUnit(0x11, list, 12);
      if (formatted) ctx_.WhileNotReady(discInfo);
      else if (!quick_) {
        failed = true;
        break;
      }
      if (!quick_) ctx_.state = stErasingLong;
      failed = !WriteZeros(quick_ ? 16 : 2048);
      if (!dev.SynchronizeCache(false)) failed = true;
      if (quick_ && !dev.CloseFunction(false, 3, 0)) failed = true;
      break;
    }
    case mtBDRE:
      if (quick_) {
        static const uint8_t list[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x02, 0x80,
                                         0xC0, 0x00, 0x10, 0x00};
        if (dev.FormatUnit(0x11, list, 12)) ctx_.WhileNotReady(discInfo);
        failed = !WriteZeros(16);
        if (!dev.SynchronizeCache(false)) failed = true;
        if (!dev.CloseFunction(false, 3, 0)) failed = true;
      } else {
        // There is no full erase of a BD-RE: claiming one would leave the
        // old data on a disc the caller believes empty.
        failed = true;
      }
      break;
    default:
      if (!dev.Blank(quick_)) {
        failed = true;
        break;
      }
      ctx_.WhileNotReady(discInfo);
      break;
  }
  // The drive is reopened for every command from here on.
  std::lock_guard guard(dev.deviceLock);
  dev.closeAfterCommand = true;
  return failed;
}

}  // namespace yux::disc
