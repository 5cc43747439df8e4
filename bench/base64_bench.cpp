// Base64 encoding of 100 MB: our encoder against OpenSSL's EVP_EncodeBlock
// on the same data.  The "ratio" counter is our time divided by OpenSSL's
// (below 1: ours is faster).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/protocols/mimeutils.h"

namespace {

constexpr std::size_t kSize = 100u * 1024 * 1024;

const std::string& Data() {
  static const std::string data = [] {
    std::string d(kSize, '\0');
    std::mt19937_64 rng(42);
    for (std::size_t i = 0; i + 8 <= d.size(); i += 8) {
      std::uint64_t v = rng();
      std::memcpy(d.data() + i, &v, 8);
    }
    return d;
  }();
  return data;
}

std::size_t OpenSslEncode(const std::string& in, std::vector<unsigned char>& out) {
  out.resize((in.size() + 2) / 3 * 4 + 1);
  return static_cast<std::size_t>(EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(in.data()),
                                                  static_cast<int>(in.size())));
}

void BM_Base64_Ours(benchmark::State& state) {
  const auto& d = Data();
  for (auto _ : state) {
    std::string s = yux::net::EncodeBase64Buffer(d.data(), d.size());
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d.size()));
}

void BM_Base64_OpenSSL(benchmark::State& state) {
  const auto& d = Data();
  std::vector<unsigned char> out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(OpenSslEncode(d, out));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d.size()));
}

// Both on the same data in each iteration; checks that they agree.
void BM_Base64_Ratio(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const auto& d = Data();
  std::vector<unsigned char> ref;
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    std::string s = yux::net::EncodeBase64Buffer(d.data(), d.size());
    auto t1 = Clock::now();
    std::size_t n = OpenSslEncode(d, ref);
    auto t2 = Clock::now();
    ours += std::chrono::duration<double>(t1 - t0).count();
    theirs += std::chrono::duration<double>(t2 - t1).count();
    if (n != s.size() || s.compare(0, n, reinterpret_cast<const char*>(ref.data()), n) != 0)
      state.SkipWithError("encoders disagree");
  }
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}

}  // namespace

BENCHMARK(BM_Base64_Ours)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Base64_OpenSSL)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Base64_Ratio)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
