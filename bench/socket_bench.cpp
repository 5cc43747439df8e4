// The message-driven socket on loopback.
//  - BM_BulkTransfer: 1 GB from one TWSocket to another (send and receive
//    in the same process, on one thread), and the same 1 GB between two
//    socat processes with 256 KB buffers, the sender reading /dev/zero
//    itself (no pipe in between); project_ms, reference_ms and "ratio",
//    our time divided by socat's (1.0 = as fast; above 1 = slower).  No
//    ratio without socat.
//  - BM_IdleCpu: a connected pair with its timeout and throttle timers on,
//    left idle for two seconds; "cpu_ms_per_s" should stay near 0.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/wsocket.h"
#include "platform/messages.h"

using namespace yux::net;

namespace {

constexpr std::int64_t kTotal = std::int64_t(1) << 30;

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Pair {
  TWSocket listener;
  std::unique_ptr<TWSocket> peer;
  TWSocket client;
  bool Open() {
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [this](TCustomWSocket*, WORD) {
      peer = std::make_unique<TWSocket>();
      peer->Dup(listener.Accept());
    };
    listener.Listen();
    client.SetAddr("127.0.0.1");
    client.SetPort(listener.BoundPortText());
    client.Connect();
    return yux::platform::WaitPumping([&] { return client.State() == wsConnected && peer; },
                                      5000, 1);
  }
};

double OurSeconds() {
  Pair p;
  if (!p.Open()) return -1;
  std::int64_t received = 0;
  std::vector<char> rbuf(256 * 1024);
  p.peer->OnDataAvailable = [&](TCustomWSocket* w, WORD) {
    int n = w->Receive(rbuf.data(), int(rbuf.size()));
    if (n > 0) received += n;
  };
  const std::string chunk(1 << 20, 'b');
  std::int64_t queued = 0;
  p.client.SetBufSize(64 * 1024);
  auto feed = [&] {
    if (queued < kTotal) {
      p.client.SendString(chunk);
      queued += std::int64_t(chunk.size());
    }
  };
  p.client.OnDataSent = [&](TCustomWSocket*, WORD) { feed(); };
  auto t0 = std::chrono::steady_clock::now();
  feed();
  yux::platform::WaitPumping([&] { return received >= kTotal; }, 600000, 50);
  return Seconds(t0);
}

int FreePort() {
  TWSocket l;
  l.SetAddr("127.0.0.1");
  l.SetPort("0");
  l.Listen();
  return std::stoi(l.BoundPortText());
}

// The same transfer between two socat processes, timed by the shell from
// the sender's start to the sink's end.
double SocatSeconds() {
  if (std::system("command -v socat > /dev/null 2>&1") != 0) return -1;
  std::string port = std::to_string(FreePort());
  std::string out = "/tmp/yux_socket_bench_" + port;
  std::string cmd = "socat -b 262144 -u TCP-LISTEN:" + port +
                    ",bind=127.0.0.1,reuseaddr OPEN:/dev/null & "
                    "sink=$!; sleep 0.3; t0=$(date +%s.%N); "
                    "socat -b 262144 -u OPEN:/dev/zero,readbytes=" + std::to_string(kTotal) +
                    " TCP:127.0.0.1:" + port +
                    "; wait $sink; t1=$(date +%s.%N); echo $t0 $t1 > " + out;
  if (std::system(("bash -c '" + cmd + "'").c_str()) != 0) return -1;
  FILE* f = std::fopen(out.c_str(), "r");
  if (!f) return -1;
  double t0 = 0, t1 = 0, secs = -1;
  if (std::fscanf(f, "%lf %lf", &t0, &t1) == 2) secs = t1 - t0;
  std::fclose(f);
  std::remove(out.c_str());
  return secs;
}

void BM_BulkTransfer(benchmark::State& state) {
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    ours = OurSeconds();
    theirs = SocatSeconds();
    state.SetIterationTime(ours);
  }
  state.SetBytesProcessed(kTotal * state.iterations());
  state.counters["project_ms"] = ours * 1e3;
  if (theirs > 0) {
    state.counters["reference_ms"] = theirs * 1e3;
    state.counters["ratio"] = ours / theirs;
  } else {
    state.SetLabel("socat missing: no ratio");
  }
}
BENCHMARK(BM_BulkTransfer)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_IdleCpu(benchmark::State& state) {
  double cpuMsPerSec = 0;
  for (auto _ : state) {
    Pair p;
    p.client.IdleTimeout = 60000;
    p.client.TimeoutCheckInterval = 100;
    p.client.SetBandwidthLimit(1000000);
    if (!p.Open()) {
      state.SkipWithError("no connection");
      return;
    }
    std::clock_t c0 = std::clock();
    auto t0 = std::chrono::steady_clock::now();
    yux::platform::ProcessMessagesFor(2000);
    double wall = Seconds(t0);
    double cpuMs = double(std::clock() - c0) * 1000.0 / CLOCKS_PER_SEC;
    cpuMsPerSec = cpuMs / wall;
  }
  state.counters["cpu_ms_per_s"] = cpuMsPerSec;
}
BENCHMARK(BM_IdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
