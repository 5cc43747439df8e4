#pragma once
// SIGTERM and SIGINT delivered on the event loop: the desktop session's end
// (or a service manager's stop) reaches the program as a normal callback on
// the thread that installed it, never inside a signal handler.
#include <functional>

namespace yux::platform {

// Installs the handler (once per process; a later call replaces the
// callback).  Must be called on the thread that runs the event loop.
void OnTerminationSignal(std::function<void(int signal)> callback);

// A write to a connection or a pipe whose other end has gone fails with
// EPIPE instead of ending the process.  Call it before any socket exists;
// the programs the process starts get the default back (Process::Start).
void IgnoreBrokenPipes();

}  // namespace yux::platform
