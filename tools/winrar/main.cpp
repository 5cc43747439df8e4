// winrar: the archiver the backup program drives where no other archiver is
// installed.  It takes the command lines the program builds and writes ZIP
// archives (AES-256 when a password is given).  Entries are deflated on
// every core; YUX_WINRAR_THREADS=n in the environment sets how many threads
// deflate (1: every entry on one thread), the archive being the same.
#include <clocale>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>

#include <unistd.h>

#include "tools/winrar/archiver.h"
#include "tools/winrar/switches.h"

namespace {

void OnSignal(int) { yux::winrar::RequestStop(); }

void LogBadCommandLine(const yux::winrar::Options& opt, const std::string& text) {
  if (!opt.quiet) std::cerr << "winrar: " << text << "\n";
  if (opt.logFile.empty()) return;
  std::ofstream out(opt.logFile, std::ios::binary | std::ios::app);
  std::time_t t = std::time(nullptr);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
  out << when << " " << text << "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  // Names are UTF-8 whatever the caller's locale is.
  if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "");
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  // The backup program splits its parameter text by the Windows rules
  // before it starts us, so argv holds the arguments as meant.
  std::vector<std::string> args(argv + 1, argv + argc);
  yux::winrar::Options opt;
  std::string error = yux::winrar::ParseCommandLine(args, &opt);
  if (!error.empty()) {
    LogBadCommandLine(opt, "bad command line: " + error);
    return yux::winrar::kBadCommandLine;
  }
  if (opt.passwordFromInput) {
    std::string line;
    if (isatty(0) || !std::getline(std::cin, line)) line.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      LogBadCommandLine(opt, "bad command line: -hp without a password needs it on standard input");
      return yux::winrar::kBadCommandLine;
    }
    opt.password = line;
  }
  if (opt.selfExtracting) {
    LogBadCommandLine(opt,
                      "-sfx: self-extracting archives cannot be made by this archiver; "
                      "choose the RAR or ZIP format");
    return yux::winrar::kBadCommandLine;
  }
  return yux::winrar::RunArchiver(opt);
}
