#include "platform/atoms.h"

#include <map>
#include <mutex>
#include <unordered_map>

namespace yux::platform {
namespace {

struct Entry {
  std::string text;
  int refs = 0;
};

std::mutex gMu;
std::unordered_map<ATOM, Entry> gByAtom;
std::map<std::string, ATOM> gByText;
ATOM gNext = 0xC000;

}  // namespace

ATOM GlobalAddAtom(const std::string& text) {
  if (text.empty() || text.size() > kMaxAtomLength) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard lk(gMu);
  auto it = gByText.find(text);
  if (it != gByText.end()) {
    ++gByAtom[it->second].refs;
    return it->second;
  }
  // 16384 atoms at most; look for a free number from the last one on.
  for (int tries = 0; tries < 0x4000; ++tries) {
    ATOM a = gNext;
    gNext = gNext == 0xFFFF ? 0xC000 : static_cast<ATOM>(gNext + 1);
    if (gByAtom.count(a)) continue;
    gByAtom[a] = Entry{text, 1};
    gByText[text] = a;
    return a;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

bool GlobalGetAtomName(ATOM atom, std::string* text) {
  std::lock_guard lk(gMu);
  auto it = gByAtom.find(atom);
  if (it == gByAtom.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (text) *text = it->second.text;
  return true;
}

ATOM GlobalDeleteAtom(ATOM atom) {
  std::lock_guard lk(gMu);
  auto it = gByAtom.find(atom);
  if (it == gByAtom.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return atom;
  }
  if (--it->second.refs <= 0) {
    gByText.erase(it->second.text);
    gByAtom.erase(it);
  }
  return 0;
}

}  // namespace yux::platform
