#include "net/protocols/contentcoding.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <typeinfo>

namespace yux::net {
namespace {

constexpr char kPrefix[] = "THttpContentCoding";

// More codings than any server applies for real; a longer list comes from a
// broken or hostile answer and is refused like an unknown coding.
constexpr std::size_t kMaxCodings = 16;

// The built-in codings hand the body on unchanged.
bool IsPassThrough(const THttpContentCoding& c) {
  return typeid(c) == typeid(THttpCCodIdentity) || typeid(c) == typeid(THttpCCodStar);
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// "0.###" with "." as decimal separator whatever the locale.
std::string FormatQuality(float q) {
  long thousandths = std::lround(static_cast<double>(q) * 1000.0);
  std::string s = std::to_string(thousandths / 1000);
  long frac = std::labs(thousandths % 1000);
  if (thousandths < 0 && thousandths / 1000 == 0) s = "-" + s;
  if (frac != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03ld", frac);
    std::string f = buf;
    while (!f.empty() && f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return s;
}

}  // namespace

std::string THttpContentCoding::GetCoding() const {
  std::string name = ClassName();
  constexpr std::size_t n = sizeof kPrefix - 1;
  if (name.size() > n && name.compare(0, n, kPrefix) == 0) return name.substr(n);
  throw EHttpContentCodingException("GetCoding must be overridden in " + name);
}

void THttpContentCoding::WriteBuffer(const void* data, int len) {
  if (FOutputWriteBuffer) FOutputWriteBuffer(data, len);
}

TContCodingsList& TContCodingsList::Instance() {
  static TContCodingsList list;
  return list;
}

TContCodingsList::TContCodingsList() {
  Register<THttpCCodIdentity>(0);
  Register<THttpCCodStar>(0);
}

void TContCodingsList::Register(THttpContentCodingFactory factory, float quality) {
  auto probe = factory(THttpWriteProc{});
  TContCodingClass c;
  c.Coding = probe->GetCoding();
  c.Active = probe->GetActive();
  c.Create = std::move(factory);
  c.Quality = quality;
  FClasses.push_back(std::move(c));
}

THttpContCodHandler::THttpContCodHandler(TStream* const* outputStream,
                                         THttpWriteProc documentData)
    : FOutputStream(outputStream), FDocumentData(std::move(documentData)) {
  FInputWriteBuffer = [this](const void* d, int n) { OutputWriteBuffer(d, n); };
  SyncItems();
}

THttpContCodHandler::~THttpContCodHandler() = default;

void THttpContCodHandler::SyncItems() {
  const auto& classes = TContCodingsList::Instance().Classes();
  for (std::size_t i = FItems.size(); i < classes.size(); ++i) {
    THttpContCodItem item;
    item.Class = &classes[i];
    item.Quality = classes[i].Quality;
    FItems.push_back(item);
    FRecalc = true;
  }
}

void THttpContCodHandler::SetEnabled(bool v) {
  if (FEnabled != v) FRecalc = true;
  FEnabled = v;
}

void THttpContCodHandler::SetUseQuality(bool v) {
  if (FUseQuality != v) FRecalc = true;
  FUseQuality = v;
}

void THttpContCodHandler::SetItemEnabled(std::size_t index, bool enabled) {
  FItems.at(index).Enabled = enabled;
  FRecalc = true;
}

void THttpContCodHandler::SetItemQuality(std::size_t index, float quality) {
  FItems.at(index).Quality = quality;
  FRecalc = true;
}

std::string THttpContCodHandler::AcceptEncodingText() {
  SyncItems();
  if (!FEnabled) return {};
  if (!FRecalc) return FAcceptText;
  std::string text;
  int enabled = 0;
  for (const auto& it : FItems) enabled += it.Enabled ? 1 : 0;
  if (FUseQuality && enabled >= 2) {
    for (const auto& it : FItems) {
      if (!it.Enabled) continue;
      if (!text.empty()) text += ", ";
      text += it.Class->Coding + ";q=" + FormatQuality(it.Quality);
    }
  } else {
    for (const auto& it : FItems) {
      if (!it.Enabled || it.Quality <= 0) continue;
      if (!text.empty()) text += ", ";
      text += it.Class->Coding;
    }
  }
  FAcceptText = text;
  FRecalc = false;
  return FAcceptText;
}

void THttpContCodHandler::RemoveDecoders() {
  FDecoders.clear();
  FInputWriteBuffer = [this](const void* d, int n) { OutputWriteBuffer(d, n); };
}

bool THttpContCodHandler::SetupDecoders(const std::string& contentEncoding) {
  RemoveDecoders();
  if (!FEnabled || contentEncoding.empty()) return true;
  const auto& classes = TContCodingsList::Instance().Classes();
  std::size_t start = 0;
  while (start <= contentEncoding.size()) {
    auto comma = contentEncoding.find(',', start);
    if (comma == std::string::npos) comma = contentEncoding.size();
    std::string name = Lower(Trim(contentEncoding.substr(start, comma - start)));
    start = comma + 1;
    if (name.empty()) continue;
    const TContCodingClass* found = nullptr;
    for (auto it = classes.rbegin(); it != classes.rend(); ++it) {
      if (Lower(it->Coding) == name) {
        found = &*it;
        break;
      }
    }
    if (!found || FDecoders.size() >= kMaxCodings) {
      RemoveDecoders();
      return false;
    }
    auto decoder = found->Create(FInputWriteBuffer);
    THttpContentCoding* raw = decoder.get();
    // A pass-through decoder stays in the chain (it is counted and
    // completed) but the body goes by it: every decoder in the path adds a
    // nested call for each piece of the body.
    if (!IsPassThrough(*raw)) FInputWriteBuffer = [raw](const void* d, int n) { raw->WriteBuffer(d, n); };
    FDecoders.push_back(std::move(decoder));
  }
  return true;
}

void THttpContCodHandler::FinishDecoding() {
  for (auto it = FDecoders.rbegin(); it != FDecoders.rend(); ++it) (*it)->Complete();
}

void THttpContCodHandler::WriteBuffer(const void* data, int len) { FInputWriteBuffer(data, len); }

void THttpContCodHandler::OutputWriteBuffer(const void* data, int len) {
  if (FOutputStream && *FOutputStream && len > 0)
    (*FOutputStream)->Write(data, len);
  if (FDocumentData) FDocumentData(data, len);
}

}  // namespace yux::net
