#include "disc/verify.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
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
constexpr size_t kSourcePiece = 1u << 20;

// Digests the sources on a thread of its own, in file order, while the
// verify thread reads the disc: a file then takes as long as the slower of
// its two digests instead of both. The thread stops with the stop flag and
// is joined on every way out (it leaves at the next piece).
class SourceDigester {
 public:
  SourceDigester(std::vector<std::pair<size_t, std::string>> jobs, const std::atomic<bool>& stop,
                 size_t fileCount)
      : jobs_(std::move(jobs)), stop_(stop), results_(fileCount), ready_(fileCount, 0) {
    if (!jobs_.empty()) worker_ = std::thread([this] { Run(); });
  }
  ~SourceDigester() {
    quit_ = true;
    if (worker_.joinable()) worker_.join();
  }
  SourceDigester(const SourceDigester&) = delete;
  SourceDigester& operator=(const SourceDigester&) = delete;

  // The digest of file `index`'s source, empty when it cannot be read;
  // nothing when the stop flag cut the digest short.
  std::optional<std::string> Take(size_t index) {
    std::unique_lock lk(m_);
    done_.wait(lk, [&] { return ready_[index] || ended_; });
    if (!ready_[index]) return std::nullopt;
    return std::move(results_[index]);
  }

 private:
  void Run() {
    std::vector<uint8_t> buf(kSourcePiece);
    for (auto& [index, path] : jobs_) {
      if (stop_ || quit_) break;
      std::optional<std::string> digest = Digest(path, buf);
      if (!digest) break;
      std::lock_guard lk(m_);
      results_[index] = std::move(*digest);
      ready_[index] = 1;
      done_.notify_all();
    }
    std::lock_guard lk(m_);
    ended_ = true;
    done_.notify_all();
  }
  // Empty when the source cannot be read: the file then counts as failed.
  std::optional<std::string> Digest(const std::string& path, std::vector<uint8_t>& buf) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) return std::string();
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    TMD5Stream md5;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0) {
      md5.Write(buf.data(), n);
      if (stop_ || quit_) return std::nullopt;
    }
    if (std::ferror(f.get())) return std::string();
    return md5.DigestText();
  }

  const std::vector<std::pair<size_t, std::string>> jobs_;
  const std::atomic<bool>& stop_;
  std::mutex m_;
  std::condition_variable done_;
  std::vector<std::string> results_;
  std::vector<char> ready_;
  std::atomic<bool> quit_{false};
  bool ended_ = false;
  std::thread worker_;
};

}  // namespace

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
  // The files whose sources have no digest yet, digested alongside.
  auto needsSource = [](const TFileEntry& e) {
    return !e.IsDirectory() && !e.imported && !e.sourcePath.empty() && e.size != 0 && e.md5.empty();
  };
  std::vector<std::pair<size_t, std::string>> jobs;
  for (size_t i = 0; i < files.size(); ++i)
    if (needsSource(*files[i])) jobs.emplace_back(i, files[i]->sourcePath);
  SourceDigester sources(std::move(jobs), ctx_.stop, files.size());

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
      const bool pending = e.md5.empty();
      disc = DiscDigest(e);
      if (pending) {
        // Nothing comes only when the stop flag is set: the file fails below.
        if (std::optional<std::string> d = sources.Take(i)) e.md5 = std::move(*d);
      }
      source = e.md5;
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
