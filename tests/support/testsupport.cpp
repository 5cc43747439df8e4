#include "tests/support/testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace yux::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "yuxtest-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only files or folders behind; make them writable first.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

fs::path BuildDir() {
  if (const char* e = std::getenv("YUX_BUILD_DIR")) return e;
  return YUX_BUILD_DIR;
}

fs::path SourceDir() {
  if (const char* e = std::getenv("YUX_SOURCE_DIR")) return e;
  return YUX_SOURCE_DIR;
}

fs::path BuiltProgram(const std::string& name) { return BuildDir() / "app" / name; }

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const fs::path& p, const std::string& data) {
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << data;
}

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  dirs += ":/usr/sbin:/sbin";
  std::stringstream ss(dirs);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (dir.empty()) continue;
    fs::path cand = fs::path(dir) / name;
    if (access(cand.c_str(), X_OK) == 0) return cand.string();
  }
  return "";
}

std::string UniqueNamespace() {
  static std::atomic<int> counter{0};
  return "t" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
}

namespace {
void ReadAvailable(int fd, std::string& into, bool& open) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) into.append(buf, static_cast<size_t>(n));
  else if (n == 0 || (errno != EAGAIN && errno != EINTR)) open = false;
}
}  // namespace

ProcessResult RunProgram(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, int timeoutMs,
                         const std::string& input) {
  ProcessResult r;
  int outp[2], errp[2], inp[2];
  if (pipe2(outp, O_CLOEXEC) || pipe2(errp, O_CLOEXEC) || pipe2(inp, O_CLOEXEC)) return r;

  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (auto& [k, v] : env) {
    if (v.empty()) merged.erase(k);
    else merged[k] = v;
  }
  std::vector<std::string> envs;
  for (auto& [k, v] : merged) envs.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : envs) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argcopy = argv;
  for (auto& s : argcopy) args.push_back(s.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, inp[0], 0);
  posix_spawn_file_actions_adddup2(&fa, outp[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errp[1], 2);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(inp[0]);
  close(outp[1]);
  close(errp[1]);
  if (rc != 0) {
    close(inp[1]);
    close(outp[0]);
    close(errp[0]);
    r.err = std::string("spawn failed: ") + std::strerror(rc);
    return r;
  }
  if (!input.empty()) {
    signal(SIGPIPE, SIG_IGN);
    (void)!write(inp[1], input.data(), input.size());
  }
  close(inp[1]);

  bool outOpen = true, errOpen = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool timedOut = false;
  while (outOpen || errOpen) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd fds[2] = {{outOpen ? outp[0] : -1, POLLIN, 0}, {errOpen ? errp[0] : -1, POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (fds[0].revents && outOpen) ReadAvailable(outp[0], r.out, outOpen);
    if (fds[1].revents && errOpen) ReadAvailable(errp[0], r.err, errOpen);
  }
  close(outp[0]);
  close(errp[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (timedOut) r.exitCode = -1;
  else if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) r.exitCode = 128 + WTERMSIG(status);
  return r;
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

}  // namespace yux::test
