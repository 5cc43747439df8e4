#include "platform/termsignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace yux::platform {
namespace {

int g_pipe[2] = {-1, -1};
std::function<void(int)> g_callback;

void Handler(int sig) {
  const int savedErrno = errno;  // the interrupted code may be about to read it
  const unsigned char b = static_cast<unsigned char>(sig);
  // Only async-signal-safe work here: hand the number to the event loop.
  [[maybe_unused]] auto n = write(g_pipe[1], &b, 1);
  errno = savedErrno;
}

}  // namespace

void OnTerminationSignal(std::function<void(int)> callback) {
  g_callback = std::move(callback);
  if (g_pipe[0] >= 0) return;
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  // Owned by the application object, so it goes with the event loop.
  auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [] {
    unsigned char b = 0;
    while (read(g_pipe[0], &b, 1) == 1) {
      if (g_callback) g_callback(b);
    }
  });
  struct sigaction sa {};
  sa.sa_handler = Handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

void IgnoreBrokenPipes() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace yux::platform
