// Serves a folder with the HTTP server, for the wrk and ab benchmark
// (httpserver_bench.sh), until it is killed.
//   httpserver_bench <folder> <port> [--gzip] [--block <bytes>]
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/protocols/httpserver.h"

int main(int argc, char** argv) {
  // As in yux: a client that hangs up during a sendfile must not end the
  // server; the sockets report EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);
  QCoreApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <folder> <port> [--gzip] [--block <bytes>]\n", argv[0]);
    return 2;
  }
  yux::net::THttpServer server;
  server.SetAddr("127.0.0.1");
  server.SetPort(argv[2]);
  server.SetDocDir(argv[1]);
  server.ListenBacklog = 511;
  server.MaxRequestsKeepAlive = 1000000;
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--gzip") {
      server.Options.Include(yux::net::hoContentEncoding);
      server.SizeCompressMax = 100000000;
    } else if (a == "--block" && i + 1 < argc) {
      server.MaxBlkSize = std::atoi(argv[++i]);
    }
  }
  server.Start();
  std::printf("serving %s on 127.0.0.1:%s\n", argv[1], server.BoundPort().c_str());
  std::fflush(stdout);
  return app.exec();
}
