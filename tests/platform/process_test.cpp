#include "platform/process.h"
#include "tests/platform/scoped_env.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace yux::platform;
using Args = std::vector<std::string>;

namespace {

const std::string kHelper = YUX_PLATFORM_HELPER;

Args SplitZeros(const std::string& s) {
  Args out;
  std::string cur;
  for (char c : s) {
    if (c == '\0') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  return out;
}

}  // namespace

TEST(Process, ParameterStringsReachTheChildIntact) {
  yux::test::TempDir tmp;
  std::string out = (tmp / "argv").string();
  struct Case {
    std::string params;
    Args want;
  } cases[] = {
      {"", {}},
      {"a b  c", {"a", "b", "c"}},
      {"\"with blank\" x", {"with blank", "x"}},
      {R"("C:\Program Files\WinRAR\" -r)", {R"(C:\Program Files\WinRAR" -r)"}},
      {R"(a -hp"pass word" "" end\)", {"a", "-hppass word", "", "end\\"}},
      {R"("quote\"inside" 'single')", {"quote\"inside", "'single'"}},
      {"$HOME `x` ;|&", {"$HOME", "`x`", ";|&"}},  // no shell in between
      {"Ünïcödé *.txt", {"Ünïcödé", "*.txt"}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(out);
    auto p = Process::Start(kHelper, "argv " + out + " " + c.params);
    ASSERT_TRUE(p) << LastStartError();
    ASSERT_EQ(p->Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(p->ExitCode(), 0u);
    EXPECT_EQ(SplitZeros(yux::test::ReadFile(out)), c.want) << c.params;
  }
}

TEST(Process, ExitCodesAndStillActive) {
  for (int code : {0, 1, 3, 255}) {
    auto p = Process::Start(kHelper, "exit " + std::to_string(code));
    ASSERT_TRUE(p);
    ASSERT_EQ(p->Wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(p->ExitCode(), static_cast<DWORD>(code));
  }
  auto p = Process::Start(kHelper, "sleep 5000");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->ExitCode(), STILL_ACTIVE);
  EXPECT_EQ(p->Wait(0), WAIT_TIMEOUT);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(p->Wait(50), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
  EXPECT_TRUE(p->Running());
  EXPECT_TRUE(p->Terminate(7));
  EXPECT_FALSE(p->Running());
  EXPECT_EQ(p->ExitCode(), 7u);
  EXPECT_FALSE(p->Terminate(8));
  EXPECT_EQ(p->ExitCode(), 7u);
  // The child is reaped: no zombie with its pid is left.
  EXPECT_NE(kill(p->Pid(), 0), 0);
}

TEST(Process, TerminateEscalatesToKill) {
  yux::test::TempDir tmp;
  auto ready = tmp / "ready";
  auto p = Process::Start(kHelper, "ignore-term " + ready.string());
  ASSERT_TRUE(p);
  while (!std::filesystem::exists(ready)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(p->Terminate(1, 200));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  EXPECT_FALSE(p->Running());
  EXPECT_EQ(p->ExitCode(), 1u);
}

TEST(Process, FailuresAreClear) {
  yux::test::TempDir tmp;
  SetLastError(0);
  EXPECT_EQ(Process::Start("/nonexistent/program", ""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(LastStartError().find("/nonexistent/program"), std::string::npos);
  EXPECT_EQ(Process::Start("no-such-program-yux", "x"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  StartOptions missingFolder;
  missingFolder.workingFolder = (tmp / "missing").string();
  EXPECT_EQ(Process::Start(kHelper, "exit 0", missingFolder), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  // A document is never run as a program.
  yux::test::WriteFile(tmp / "notes.txt", "text");
  StartOptions noDocuments;
  noDocuments.openDocuments = false;
  EXPECT_EQ(Process::Start((tmp / "notes.txt").string(), "", noDocuments), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(Process, EnvironmentFolderAndDescriptors) {
  yux::test::TempDir tmp;
  yux::test::ScopedEnv dir("YUX_TEST_OUT", tmp.str());
  // %VAR% in the program, parameters and folder, only when asked for.
  StartOptions expand;
  expand.expandEnvironment = true;
  expand.workingFolder = "%YUX_TEST_OUT%";
  auto p = Process::Start(kHelper, "cwd %yux_test_out%/cwd", expand);
  ASSERT_TRUE(p) << LastStartError();
  p->Wait(10000);
  EXPECT_EQ(yux::test::ReadFile(tmp / "cwd"), std::filesystem::canonical(tmp.path()).string());
  auto raw = Process::Start(kHelper, "argv " + (tmp / "raw").string() + " %YUX_TEST_OUT%");
  ASSERT_TRUE(raw);
  raw->Wait(10000);
  EXPECT_EQ(yux::test::ReadFile(tmp / "raw"), std::string("%YUX_TEST_OUT%") + '\0');

  // A descriptor opened without close-on-exec does not reach the child.
  int leak = open("/dev/null", O_RDONLY);
  ASSERT_GE(leak, 3);
  auto fds = Process::Start(kHelper, "fds " + (tmp / "fds").string());
  ASSERT_TRUE(fds);
  fds->Wait(10000);
  close(leak);
  EXPECT_EQ(yux::test::ReadFile(tmp / "fds"), "0 1 2 ");
}

// A program named relative to our folder is the one that was found and
// checked here, even when the child starts in another working folder (where
// a file of the same name must not be run instead).
TEST(Process, RelativeProgramIsResolvedBeforeTheFolderChanges) {
  yux::test::TempDir tmp;
  std::filesystem::create_directories(tmp / "ours");
  std::filesystem::create_directories(tmp / "theirs");
  for (const char* who : {"ours", "theirs"}) {
    auto prog = tmp / who / "prog";
    yux::test::WriteFile(prog, std::string("#!/bin/sh\necho ") + who + " > \"$1\"\n");
    ASSERT_EQ(chmod(prog.c_str(), 0755), 0);
  }
  auto out = tmp / "out";
  auto saved = std::filesystem::current_path();
  std::filesystem::current_path(tmp / "ours");
  StartOptions elsewhere;
  elsewhere.workingFolder = (tmp / "theirs").string();
  auto p = Process::Start("./prog", out.string(), elsewhere);
  std::filesystem::current_path(saved);
  ASSERT_TRUE(p) << LastStartError();
  ASSERT_EQ(p->Wait(10000), WAIT_OBJECT_0);
  EXPECT_EQ(yux::test::ReadFile(out), "ours\n");
}

TEST(Process, WaitPumpingHandlesMessagesMeanwhile) {
  int ticks = 0;
  HWND w = CreateMessageWindow([&](HWND, UINT m, WPARAM, LPARAM) {
    if (m == WM_TIMER) ++ticks;
    return LRESULT(0);
  });
  SetTimer(w, 1, 20);
  auto p = Process::Start(kHelper, "sleep 200");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->WaitPumping(10000, 10), WAIT_OBJECT_0);
  EXPECT_GE(ticks, 2);
  EXPECT_EQ(p->ExitCode(), 0u);
  DestroyWindow(w);
}

// The start that can feed standard input and ties the child's life to ours
// behaves as the plain one: folder, descriptors, failures.
TEST(Process, StandardInputAndDeathSignalStart) {
  yux::test::TempDir tmp;
  const auto script = tmp / "read.sh";
  yux::test::WriteFile(script,
                       "#!/bin/sh\nread x\nprintf '%s' \"$x\" > \"$1\"\npwd > \"$1.cwd\"\n"
                       "ls /proc/$$/fd | sort -n | tr '\\n' ' ' > \"$1.fds\"\nexit 4\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  StartOptions opt;
  opt.dieWithParent = true;
  opt.standardInput = "secret word\n";
  opt.workingFolder = tmp.str();
  int leak = open("/dev/null", O_RDONLY);
  auto p = Process::Start(script.string(), (tmp / "out").string(), opt);
  close(leak);
  ASSERT_TRUE(p) << LastStartError();
  ASSERT_EQ(p->Wait(10000), WAIT_OBJECT_0);
  EXPECT_EQ(p->ExitCode(), 4u);
  EXPECT_EQ(yux::test::ReadFile(tmp / "out"), "secret word");
  EXPECT_EQ(yux::test::ReadFile(tmp / "out.cwd"), std::filesystem::canonical(tmp.path()).string() + "\n");
  // 0 1 2, and the descriptor ls itself reads the folder through.
  EXPECT_EQ(yux::test::ReadFile(tmp / "out.fds").substr(0, 6), "0 1 2 ");

  opt.workingFolder.clear();
  yux::test::WriteFile(tmp / "plain", "not a program");
  chmod((tmp / "plain").c_str(), 0755);
  SetLastError(0);
  EXPECT_EQ(Process::Start((tmp / "plain").string(), "", opt), nullptr);
  EXPECT_NE(GetLastError(), 0u);
}

// The program ignores SIGPIPE (and a thread may hold it blocked); a child
// it starts, either way, gets it back at its default and unblocked, so a
// child writing into a pipe whose reader has gone ends as it would when
// started from a shell.
TEST(Process, ChildrenGetTheBrokenPipeSignalAtItsDefault) {
  yux::test::TempDir tmp;
  const auto script = tmp / "signals.sh";
  yux::test::WriteFile(script, "#!/bin/sh\nexec grep -E '^Sig(Ign|Blk):' /proc/self/status > \"$1\"\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  struct sigaction ignore {}, saved{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &saved);
  sigset_t pipe, mask;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &mask);
  for (const bool dieWithParent : {false, true}) {
    SCOPED_TRACE(dieWithParent ? "tied to our life" : "plain start");
    StartOptions opt;
    opt.dieWithParent = dieWithParent;
    const auto out = tmp / (dieWithParent ? "tied" : "plain");
    auto p = Process::Start(script.string(), out.string(), opt);
    ASSERT_TRUE(p) << LastStartError();
    ASSERT_EQ(p->Wait(10000), WAIT_OBJECT_0);
    const std::string lines = yux::test::ReadFile(out);
    for (const char* name : {"SigIgn:", "SigBlk:"}) {
      const size_t at = lines.find(name);
      ASSERT_NE(at, std::string::npos) << lines;
      const unsigned long long bits = std::stoull(lines.substr(at + 7), nullptr, 16);
      EXPECT_EQ(bits & (1ull << (SIGPIPE - 1)), 0u) << name << lines;
    }
  }
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGPIPE, &saved, nullptr);
}
