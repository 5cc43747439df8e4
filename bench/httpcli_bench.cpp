// HTTP client download speed on loopback: a 1 GB file (YUX_HTTP_BENCH_MB to
// change it) fetched from nginx by our client into a file, against
// `curl -o` of the same file, plain and over TLS.  The runs of the two
// sides are interleaved.  Counters: "project_ms", "reference_ms" (curl),
// "ours_MBps" and "ratio" (ours / curl; 1.0 = as fast as curl).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "net/protocols/httpcli.h"
#include "net/socket/bufferedfilestream.h"
#include "platform/messages.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace yux::net;

namespace {

std::int64_t Megabytes() {
  if (const char* e = std::getenv("YUX_HTTP_BENCH_MB"); e && *e) return std::atoll(e);
  return 1024;
}

int Run(const std::vector<std::string>& argv, pid_t* background = nullptr) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  if (background) {
    *background = pid;
    return 0;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A free port on 127.0.0.1: bound by one of our sockets, read back, released.
int FreePort() {
  TWSocket s;
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  s.Listen();
  int port = std::atoi(s.BoundPortText().c_str());
  s.Close();
  return port;
}

bool Listening(int port, bool tls) {
  return Run({"curl", "-s", "-k", "-o", "/dev/null",
              std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + "/"}) == 0;
}

// nginx serving one big file, plain and with TLS, from a folder of its own.
struct Nginx {
  fs::path dir;
  pid_t pid = -1;
  int port = 0, sslPort = 0;
  std::string error;

  explicit Nginx(std::int64_t bytes) {
    dir = fs::temp_directory_path() / ("yux-httpbench-" + std::to_string(::getpid()));
    fs::create_directories(dir / "www");
    fs::permissions(dir, fs::perms::all);
    fs::permissions(dir / "www", fs::perms::all);
    {
      std::FILE* f = std::fopen((dir / "www" / "big.bin").c_str(), "wb");
      std::vector<char> block(1 << 20);
      for (std::size_t i = 0; i < block.size(); ++i) block[i] = char(i * 31 % 253);
      for (std::int64_t left = bytes; left > 0; left -= std::int64_t(block.size()))
        std::fwrite(block.data(), 1, std::size_t(std::min<std::int64_t>(left, block.size())), f);
      std::fclose(f);
    }
    const std::string d = dir.string();
    if (Run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", d + "/k.pem", "-out", d + "/c.pem", "-subj", "/CN=localhost",
             "-days", "2"}) != 0) {
      error = "openssl could not make a certificate";
      return;
    }
    port = FreePort();
    sslPort = FreePort();
    std::string conf = "daemon off;\nworker_processes 1;\nerror_log " + d + "/error.log;\npid " +
                       d + "/nginx.pid;\n";
    if (::geteuid() == 0) conf += "user root root;\n";
    conf += "events { worker_connections 64; }\nhttp {\n access_log off;\n sendfile on;\n"
            " client_body_temp_path " + d + "/b;\n proxy_temp_path " + d + "/p;\n"
            " fastcgi_temp_path " + d + "/f;\n uwsgi_temp_path " + d + "/u;\n scgi_temp_path " +
            d + "/s;\n server {\n  listen 127.0.0.1:" + std::to_string(port) +
            ";\n  listen 127.0.0.1:" + std::to_string(sslPort) + " ssl;\n  ssl_certificate " + d +
            "/c.pem;\n  ssl_certificate_key " + d + "/k.pem;\n  root " + d + "/www;\n }\n}\n";
    std::FILE* f = std::fopen((dir / "nginx.conf").c_str(), "w");
    std::fputs(conf.c_str(), f);
    std::fclose(f);
    if (Run({"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"}, &pid) != 0) {
      error = "nginx could not be started";
      return;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(Listening(port, false) && Listening(sslPort, true)) &&
           std::chrono::steady_clock::now() < end)
      yux::platform::ProcessMessagesFor(20);
    if (!Listening(port, false)) error = "nginx does not listen";
  }
  ~Nginx() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

double Ms(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// One download by our client into a file; its time, or -1.
double Ours(const std::string& url, const fs::path& file, std::int64_t bytes) {
  auto start = std::chrono::steady_clock::now();
  {
    TBufferedFileStream out(file.string(), fmCreate);
    THttpCli cli;
    cli.SetRequestVer("1.1");
    cli.ResponseBody = &out;
    cli.URL = url;
    try {
      cli.RunRequestBlocking(httpGET);
    } catch (const std::exception&) {
      return -1;
    }
  }
  double ms = Ms(start);
  bool ok = fs::file_size(file) == std::uintmax_t(bytes);
  fs::remove(file);
  return ok ? ms : -1;
}

double Curl(const std::string& url, const fs::path& file, std::int64_t bytes) {
  auto start = std::chrono::steady_clock::now();
  if (Run({"curl", "-s", "-k", "-o", file.string(), url}) != 0) return -1;
  double ms = Ms(start);
  bool ok = fs::file_size(file) == std::uintmax_t(bytes);
  fs::remove(file);
  return ok ? ms : -1;
}

void Download(benchmark::State& state, bool tls) {
  const std::int64_t bytes = Megabytes() * 1024 * 1024;
  Nginx nginx(bytes);
  if (!nginx.error.empty()) {
    state.SkipWithError(nginx.error.c_str());
    return;
  }
  const std::string url = std::string(tls ? "https" : "http") + "://127.0.0.1:" +
                          std::to_string(tls ? nginx.sslPort : nginx.port) + "/big.bin";
  double oursMs = 0, curlMs = 0;
  for (auto _ : state) {
    double o = Ours(url, nginx.dir / "ours.bin", bytes);
    double c = Curl(url, nginx.dir / "curl.bin", bytes);
    if (o < 0 || c < 0) {
      state.SkipWithError(o < 0 ? "our download failed" : "curl failed");
      return;
    }
    oursMs += o;
    curlMs += c;
  }
  const double n = double(state.iterations());
  state.SetLabel("reference: curl");
  state.counters["project_ms"] = oursMs / n;
  state.counters["reference_ms"] = curlMs / n;
  state.counters["ours_MBps"] = double(bytes) / (1024.0 * 1024.0) / (oursMs / n / 1000.0);
  state.counters["ratio"] = oursMs / curlMs;
}

void BM_HttpGet(benchmark::State& state) { Download(state, false); }
void BM_HttpsGet(benchmark::State& state) { Download(state, true); }

BENCHMARK(BM_HttpGet)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HttpsGet)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
