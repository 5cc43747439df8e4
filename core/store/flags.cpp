// The process-wide flags.
#include "core/store/flags.h"

namespace yux {

std::atomic<bool> RunActive{false};
std::atomic<bool> AbortRequested{false};
std::atomic<bool> ErrorOccurred{false};
std::atomic<bool> ForcedClose{false};
std::atomic<bool> SecondInstance{false};
std::atomic<bool> ServiceMode{false};

}  // namespace yux
