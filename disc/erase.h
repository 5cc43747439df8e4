#pragma once
// Erasing a rewritable disc, by the method its medium needs.
#include "disc/burncontext.h"

namespace yux::disc {

class TEraseThread {
 public:
  TEraseThread(TBurnerContext& ctx, bool quick) : ctx_(ctx), quick_(quick) {}
  // Returns true when the erase failed.
  bool Execute();

 private:
  bool WriteZeros(uint32_t writes);
  TBurnerContext& ctx_;
  bool quick_;
};

}  // namespace yux::disc
