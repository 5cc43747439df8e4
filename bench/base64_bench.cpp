// Base64 of 100 MB: our encoder and decoder against OpenSSL's
// EVP_EncodeBlock / EVP_DecodeBlock on the same data, timed alternately in
// the same iteration.  Both sides get the same buffer policy: a fresh,
// uninitialised output buffer for every call (ours returns a new string, so
// OpenSSL gets a new array).  Each run reports project_ms, reference_ms and
// "ratio": our time divided by OpenSSL's (below 1: ours is faster).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "net/protocols/mimeutils.h"

namespace {

using Clock = std::chrono::steady_clock;

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

const std::string& Coded() {
  static const std::string coded = yux::net::EncodeBase64String(Data());
  return coded;
}

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void Report(benchmark::State& state, double ours, double theirs) {
  const double n = double(state.iterations());
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kSize));
  state.counters["project_ms"] = ours / n * 1e3;
  state.counters["reference_ms"] = theirs / n * 1e3;
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}

void BM_Base64Encode(benchmark::State& state) {
  const auto& d = Data();
  const auto* in = reinterpret_cast<const unsigned char*>(d.data());
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    std::string s = yux::net::EncodeBase64Buffer(d.data(), d.size());
    benchmark::DoNotOptimize(s.data());
    ours += Since(t0);
    t0 = Clock::now();
    std::unique_ptr<unsigned char[]> ref(new unsigned char[(d.size() + 2) / 3 * 4 + 1]);
    const int n = EVP_EncodeBlock(ref.get(), in, static_cast<int>(d.size()));
    benchmark::DoNotOptimize(ref.get());
    theirs += Since(t0);
    if (std::size_t(n) != s.size() || std::memcmp(s.data(), ref.get(), s.size()) != 0)
      state.SkipWithError("encoders disagree");
  }
  Report(state, ours, theirs);
}

void BM_Base64Decode(benchmark::State& state) {
  const auto& d = Data();
  const auto& c = Coded();
  const auto* in = reinterpret_cast<const unsigned char*>(c.data());
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    std::string s = yux::net::DecodeBase64String(c);
    benchmark::DoNotOptimize(s.data());
    ours += Since(t0);
    t0 = Clock::now();
    std::unique_ptr<unsigned char[]> ref(new unsigned char[c.size() / 4 * 3]);
    const int n = EVP_DecodeBlock(ref.get(), in, static_cast<int>(c.size()));
    benchmark::DoNotOptimize(ref.get());
    theirs += Since(t0);
    // OpenSSL counts the bytes a final "=" stands for; compare the data.
    if (n < 0 || s != d || std::memcmp(s.data(), ref.get(), s.size()) != 0)
      state.SkipWithError("decoders disagree");
  }
  Report(state, ours, theirs);
}

}  // namespace

BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
