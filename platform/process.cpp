#include "platform/process.h"

#include "platform/cmdline.h"
#include "platform/environment.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace yux::platform {
namespace {

thread_local std::string tStartError;

DWORD SpawnError(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    default: return ERROR_ACCESS_DENIED;
  }
}

// The program as it would be run: a name without '/' is looked up in PATH.
std::string Locate(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (dir.empty()) dir = ".";
    std::string cand = dir + "/" + program;
    if (access(cand.c_str(), X_OK) == 0) {
      struct stat st{};
      if (stat(cand.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return cand;
    }
  }
  return {};
}

int OpenPidFd(int pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  return -1;
#endif
}

DWORD StatusToCode(int status) {
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<DWORD>(WTERMSIG(status));
  return 1;
}


int Spawn(const std::string& path, char* const* argv, const std::string& folder, pid_t* pid) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  // Descriptors opened without close-on-exec by any library stay ours.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&fa, folder.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int rc = posix_spawn(pid, path.c_str(), &fa, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  return rc;
}

// fork and exec for what posix_spawn cannot do: the parent-death signal and
// a standard input fed from a pipe.  Between fork and exec the child calls
// only async-signal-safe functions; an exec failure reaches the parent
// through a close-on-exec pipe.
int ForkExec(const std::string& path, char* const* argv, const std::string& folder, const StartOptions& options,
             pid_t* pid) {
  int status[2];
  if (pipe2(status, O_CLOEXEC) != 0) return errno;
  int input[2] = {-1, -1};
  if (!options.standardInput.empty()) {
    // The text goes into the pipe before the child exists: it fits the
    // pipe's buffer, and a child that never reads it (or has ended) cannot
    // make the write fail with a broken pipe.
    const std::string& text = options.standardInput;
    bool ok = text.size() <= 65536 && pipe2(input, O_CLOEXEC) == 0;
    ok = ok && ::write(input[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (input[1] >= 0) ::close(input[1]);
    if (!ok) {
      const int e = text.size() > 65536 ? E2BIG : errno;
      for (int fd : {status[0], status[1], input[0]})
        if (fd >= 0) ::close(fd);
      return e;
    }
  }
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    const int e = errno;
    for (int fd : {status[0], status[1], input[0]})
      if (fd >= 0) ::close(fd);
    return e;
  }
  if (child == 0) {
    if (options.dieWithParent) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      // The parent may have gone before the signal was armed.
      if (getppid() != parent) _exit(127);
    }
    if (input[0] >= 0) dup2(input[0], 0);
    if (!folder.empty() && chdir(folder.c_str()) != 0) {
      const int e = errno;
      [[maybe_unused]] auto n = write(status[1], &e, sizeof e);
      _exit(127);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGCHLD}) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Every descriptor but 0, 1, 2 and the status pipe goes.
    for (int fd = 3; fd < status[1]; ++fd) ::close(fd);
    syscall(SYS_close_range, status[1] + 1, ~0u, 0);
    execve(path.c_str(), argv, environ);
    const int e = errno;
    [[maybe_unused]] auto n = write(status[1], &e, sizeof e);
    _exit(127);
  }
  ::close(status[1]);
  if (input[0] >= 0) ::close(input[0]);
  int e = 0;
  ssize_t n;
  do {
    n = read(status[0], &e, sizeof e);
  } while (n < 0 && errno == EINTR);
  ::close(status[0]);
  if (n > 0) {
    int st;
    while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
    }
    return e ? e : ENOEXEC;
  }
  *pid = child;
  return 0;
}

}  // namespace

std::string LastStartError() { return tStartError; }

std::unique_ptr<Process> Process::Start(const std::string& programIn, const std::string& parametersIn,
                                        const StartOptions& options) {
  std::string program = options.expandEnvironment ? ExpandEnvironmentStrings(programIn) : programIn;
  std::string parameters = options.expandEnvironment ? ExpandEnvironmentStrings(parametersIn) : parametersIn;
  std::string folder =
      options.expandEnvironment ? ExpandEnvironmentStrings(options.workingFolder) : options.workingFolder;

  auto fail = [](DWORD code, std::string why) -> std::unique_ptr<Process> {
    tStartError = std::move(why);
    SetLastError(code);
    return nullptr;
  };
  if (program.empty()) return fail(ERROR_FILE_NOT_FOUND, "no program given");
  if (!folder.empty()) {
    struct stat st{};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return fail(ERROR_DIRECTORY, "working folder \"" + folder + "\" does not exist");
  }

  std::vector<std::string> args;
  bool throughOpener = false;
  std::string path = Locate(program);
  struct stat st{};
  bool exists = !path.empty() && stat(path.c_str(), &st) == 0;
  if (!exists) return fail(ERROR_FILE_NOT_FOUND, "\"" + program + "\" not found");
  // The child changes to its working folder before it runs the program: a
  // relative path must still name the file found and checked here.
  if (path[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return fail(ERROR_FILE_NOT_FOUND, "\"" + program + "\" not found");
    path = std::string(cwd) + "/" + path;
  }
  bool runnable = S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
  if (!runnable) {
    if (!options.openDocuments) return fail(ERROR_ACCESS_DENIED, "\"" + program + "\" is not a program");
    // A document or a folder: the desktop's opener decides what runs.
    std::string opener = Locate("xdg-open");
    if (opener.empty()) return fail(ERROR_NO_ASSOCIATION, "no xdg-open to open \"" + program + "\"");
    args = {opener, path};
    path = opener;
    throughOpener = true;
  } else {
    args.push_back(program);
    for (auto& a : SplitCommandLine(parameters)) args.push_back(std::move(a));
  }

  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = options.dieWithParent || !options.standardInput.empty()
               ? ForkExec(path, argv.data(), folder, options, &pid)
               : Spawn(path, argv.data(), folder, &pid);
  if (rc != 0) return fail(SpawnError(rc), "cannot start \"" + program + "\": " + std::strerror(rc));

  std::unique_ptr<Process> p(new Process);
  p->pid_ = pid;
  p->throughOpener_ = throughOpener;
  p->pidfd_ = OpenPidFd(pid);
  if (p->pidfd_ >= 0) fcntl(p->pidfd_, F_SETFD, FD_CLOEXEC);
  tStartError.clear();
  SetLastError(ERROR_SUCCESS);
  return p;
}

Process::~Process() {
  if (!ended_ && !Reap(false)) {
    // Still running: someone must collect it, or it stays a zombie.
    int pid = pid_;
    std::thread([pid] {
      int status;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool Process::Reap(bool block) {
  if (ended_) return true;
  int status = 0;
  int rc;
  do {
    rc = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (rc < 0 && errno == EINTR);
  if (rc == pid_) {
    ended_ = true;
    exitCode_ = terminated_ ? terminateCode_ : StatusToCode(status);
    return true;
  }
  if (rc < 0) {  // not our child any more (reaped elsewhere)
    ended_ = true;
    exitCode_ = terminated_ ? terminateCode_ : 1;
    return true;
  }
  return false;
}

DWORD Process::Wait(DWORD timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (Reap(false)) return WAIT_OBJECT_0;
    long long left = -1;
    if (timeoutMs != INFINITE) {
      auto spent =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      if (spent >= timeoutMs) return WAIT_TIMEOUT;
      left = timeoutMs - spent;
    }
    if (pidfd_ >= 0) {
      pollfd pfd{pidfd_, POLLIN, 0};
      poll(&pfd, 1, left < 0 ? -1 : static_cast<int>(left));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(left < 0 ? 5 : std::min<long long>(left, 5)));
    }
  }
}

DWORD Process::WaitPumping(DWORD timeoutMs, DWORD pumpEveryMs) {
  bool ended = platform::WaitPumping([this] { return Reap(false); }, timeoutMs, pumpEveryMs);
  return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

bool Process::Running() { return !Reap(false); }

DWORD Process::ExitCode() {
  Reap(false);
  return ended_ ? exitCode_ : STILL_ACTIVE;
}

bool Process::Terminate(DWORD exitCode, DWORD graceMs) {
  if (Reap(false)) return false;
  terminated_ = true;
  terminateCode_ = exitCode;
  ::kill(pid_, SIGTERM);
  if (Wait(graceMs) != WAIT_OBJECT_0) {
    ::kill(pid_, SIGKILL);
    Reap(true);
  }
  return true;
}

}  // namespace yux::platform
