// MD5 and SHA-1 throughput over 64 MB fed in 16 KB pieces, ours against
// OpenSSL's EVP on the same data, timed alternately in the same iteration.
// Each run reports project_ms and reference_ms (per 64 MB) and "ratio": our
// time divided by OpenSSL's (1.0 = as fast; above 1 = slower).  SHA-1 runs
// on the path chosen for this CPU and once more on the portable code.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <random>
#include <vector>

#include "net/hashes/md5.h"
#include "net/hashes/sha1.h"
#include "net/hashes/sha1blocks.h"

namespace {

constexpr std::size_t kTotal = 64u << 20;
constexpr std::size_t kPiece = 16u << 10;

const std::vector<unsigned char>& Data() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> d(kTotal);
    std::mt19937 rng(1);
    for (auto& b : d) b = static_cast<unsigned char>(rng());
    return d;
  }();
  return data;
}

void EvpOnce(const EVP_MD* md) {
  const auto& d = Data();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, md, nullptr);
  for (std::size_t pos = 0; pos < d.size(); pos += kPiece) EVP_DigestUpdate(ctx, &d[pos], kPiece);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, out, &len);
  EVP_MD_CTX_free(ctx);
  benchmark::DoNotOptimize(out);
}

void Md5Once() {
  const auto& d = Data();
  yux::net::Md5Context c;
  yux::net::Md5Digest out;
  yux::net::Md5Start(c);
  for (std::size_t pos = 0; pos < d.size(); pos += kPiece) yux::net::Md5AddData(c, &d[pos], kPiece);
  yux::net::Md5Finish(out, c);
  benchmark::DoNotOptimize(out);
}

void Sha1Once() {
  const auto& d = Data();
  yux::net::Sha1Context c;
  yux::net::Sha1Digest out;
  yux::net::Sha1Reset(c);
  for (std::size_t pos = 0; pos < d.size(); pos += kPiece) yux::net::Sha1Input(c, &d[pos], kPiece);
  yux::net::Sha1Result(c, out);
  benchmark::DoNotOptimize(out);
}

double Seconds(void (*fn)()) {
  auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <void (*Ours)()>
void Against(benchmark::State& state, const EVP_MD* md) {
  Data();
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    ours += Seconds(Ours);
    state.PauseTiming();
    auto t0 = std::chrono::steady_clock::now();
    EvpOnce(md);
    theirs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.ResumeTiming();
  }
  const double n = double(state.iterations());
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kTotal));
  state.counters["project_ms"] = ours / n * 1e3;
  state.counters["reference_ms"] = theirs / n * 1e3;
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}

void BM_Md5VsEvp(benchmark::State& state) { Against<Md5Once>(state, EVP_md5()); }
void BM_Sha1VsEvp(benchmark::State& state) {
  state.SetLabel(yux::net::Sha1CurrentPath() == yux::net::Sha1Path::ShaExtensions ? "SHA extensions"
                                                                                   : "portable");
  Against<Sha1Once>(state, EVP_sha1());
}
void BM_Sha1PortableVsEvp(benchmark::State& state) {
  const yux::net::Sha1Path saved = yux::net::Sha1CurrentPath();
  yux::net::Sha1SelectPath(yux::net::Sha1Path::Portable);
  Against<Sha1Once>(state, EVP_sha1());
  yux::net::Sha1SelectPath(saved);
}

}  // namespace

BENCHMARK(BM_Md5VsEvp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha1VsEvp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha1PortableVsEvp)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
