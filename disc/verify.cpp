#include "disc/verify.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "disc/md5stream.h"

namespace yux::disc {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};

constexpr uint32_t kPiece = 65536;

}  // namespace

// Empty when the source cannot be read: the file then counts as failed.
std::string TVerifyDiscThread::SourceDigest(const TFileEntry& e) const {
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(e.sourcePath.c_str(), "rb"));
  if (!f) return {};
  TMD5Stream md5;
  std::vector<uint8_t> buf(kPiece);
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0) md5.Write(buf.data(), n);
  if (std::ferror(f.get())) return {};
  return md5.DigestText();
}

std::string TVerifyDiscThread::DiscDigest(const TFileEntry& e) {
  TSCSIDevice& dev = ctx_.device;
  TMD5Stream md5;
  std::vector<uint8_t> buf(kPiece);
  uint32_t lba = FileExtent(ctx_.tree, e);
  uint64_t left = uint32_t(e.size);  // the low 32 bits, as the directory records hold
  while (left > 0) {
    const uint32_t piece = uint32_t(std::min<uint64_t>(left, kPiece));
    const uint16_t blocks = uint16_t(BytesToSectors(piece));
    if (!dev.Read10(lba, blocks, buf.data())) {
      ctx_.verifyPosition += uint32_t(BytesToSectors(left));
      return "-";
    }
    md5.Write(buf.data(), piece);
    ctx_.verifyPosition += blocks;
    lba += blocks;
    left -= piece;
    if (ctx_.stop) return "-";
  }
  return md5.DigestText();
}

// A carried-over file whose blocks the last write covered holds that
// write's bytes now, not its own.
bool TVerifyDiscThread::Overwritten(const TFileEntry& e) const {
  if (e.size == 0) return false;
  for (const TExtent& x : ImportedExtents(e)) {
    if (x.block == 0 || x.length == 0) continue;  // no data of its own on the disc
    const uint64_t from = x.block, to = from + BytesToSectors(x.length);
    for (const auto& [first, end] : ctx_.writtenRuns)
      if (from < end && first < to) return true;
  }
  return false;
}

bool TVerifyDiscThread::Execute(const std::function<void(int, bool)>& report) {
  (void)flag1_;
  (void)flag2_;
  bool anyFailed = false;
  auto& files = ctx_.tree.files;
  for (size_t i = 0; i < files.size(); ++i) {
    if (ctx_.stop) break;
    TFileEntry& e = *files[i];
    if (e.IsDirectory()) continue;
    if (e.imported) {
      if (Overwritten(e)) {
        anyFailed = true;
        report(int(i), true);
      }
      continue;
    }
    if (e.sourcePath.empty()) continue;
    std::string source, disc;
    if (e.size == 0) {
      source = disc = "-";
    } else {
      if (e.md5.empty()) e.md5 = SourceDigest(e);
      source = e.md5;
      disc = DiscDigest(e);
    }
    const bool failed = source.empty() || source != disc || ctx_.stop;
    if (failed) anyFailed = true;
    report(int(i), failed);
  }
  if (ctx_.stop) {
    // A verify cut short has not shown that the files are good.
    ctx_.state = stAborted;
    ctx_.errorCode = errAborted;
    anyFailed = true;
  }
  return anyFailed;
}

}  // namespace yux::disc
