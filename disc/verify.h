#pragma once
// Verifying a written session: each written file's source is digested
// with MD5 and compared with the digest of its bytes read back from the
// disc; a file carried over from an earlier session fails when the write
// covered its blocks. The sources are digested on a second thread while
// the disc is read.
#include <cstdint>
#include <functional>

#include "disc/burncontext.h"

namespace yux::disc {

class TVerifyDiscThread {
 public:
  TVerifyDiscThread(TBurnerContext& ctx, bool flag1, bool flag2)
      : ctx_(ctx), flag1_(flag1), flag2_(flag2) {}
  // Reports each file through `file` (index, failed) and returns true when
  // any file failed or the verify was stopped.
  bool Execute(const std::function<void(int index, bool failed)>& file);

 private:
  bool Overwritten(const TFileEntry& e) const;
  std::string DiscDigest(const TFileEntry& e);
  TBurnerContext& ctx_;
  // Kept as the caller gave them; nothing reads them.
  bool flag1_, flag2_;
};

}  // namespace yux::disc
