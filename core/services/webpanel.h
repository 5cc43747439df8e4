#pragma once
// The web control panel: an HTTP server that shows the program log, the
// archiver's error log, the schedule and the preset list, and takes
// scheduler commands.  It listens on every address (it is for remote
// access), so every request of every method must carry the options' login
// and password (HTTP Basic) or come on a connection they already opened.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/protocols/httpserver.h"

namespace yux {

class TWebPanel;

// A connection of the panel: remembers that it was authorised once, and
// collects a posted form.
class TMyHttpConnection : public net::THttpConnection {
 public:
  explicit TMyHttpConnection(TWebPanel* panel) : panel_(panel) {}

  std::string PostedData;          // the body of a posted form
  std::int64_t PostedCount = 0;    // bytes of it received
  bool Authorised = false;         // a request on it carried matching credentials
  bool WrongCredentials = false;   // the current request carried credentials that do not match

 protected:
  void CheckAuthentication() override;
  void SendUnauthorizedPage() override;

 private:
  friend class TWebPanel;
  TWebPanel* panel_;
};

// Largest form body the panel reads.
inline constexpr std::int64_t kMaxPostedForm = 64 * 1024;
// Connections served at once; more get the server's "too busy" answer.
inline constexpr int kPanelMaxClients = 50;
// Connections one client address may hold at once; more get the same.
inline constexpr int kPanelMaxClientsPerAddress = 8;
// Seconds a request's header and body may take to come in.
inline constexpr std::uint32_t kPanelRequestTimeoutSec = 20;
// Wrong passwords an address may send before its answers are delayed.
inline constexpr int kFreeLoginFailures = 3;

class TWebPanel {
 public:
  // `logLines` gives the main window's log lines, oldest first.
  explicit TWebPanel(std::function<std::vector<std::string>()> logLines);
  ~TWebPanel();

  // Starts listening on the options' port ("rap"), with the start lines of
  // the log.  Refused (with an error line) without a login and a password.
  void Start();
  // Stops listening ("HTTP - Stopped." or "not running").
  void Stop();
  bool Running() const { return running_; }
  // The port it listens on (the real one after port "0").
  std::string BoundPort() const;
  net::THttpServer& Http() { return *http_; }

  // Panel settings (not saved): log lines shown and the refresh interval.
  int Lines = 25;
  std::string Refresh = "0";

  // The pages, as they are answered (exposed for tests).
  std::string RootPage() const;
  std::string FramePage() const;
  std::string CommandPage() const;
  std::string LogPage() const;
  std::string RarLogPage() const;
  std::string SchedulePage() const;

  // True when the Basic credentials of `authorization` (the header value)
  // match the options' login and password.
  static bool CredentialsMatch(const std::string& authorization);

  // Milliseconds the next answer to a wrong password from `peer` waits:
  // none for the first few failures, then a second doubled per failure up
  // to 8 s, and the answers to one address come one such step apart.
  // Asking reserves the answer's turn.
  std::int64_t LoginPenaltyMs(const std::string& peer);

 private:
  friend class TMyHttpConnection;
  // Whether the request may be answered: a wrong password is refused (and
  // its connection ended), missing credentials get the 401 page.
  bool Admitted(TMyHttpConnection* c, net::THttpGetFlag& flags);
  void GetDocument(TMyHttpConnection* c, net::THttpGetFlag& flags);
  void PostDocument(TMyHttpConnection* c, net::THttpGetFlag& flags);
  void PostedData(TMyHttpConnection* c);
  void LogSetup(TMyHttpConnection* c);
  void Command(TMyHttpConnection* c);
  void Answer(TMyHttpConnection* c, const std::string& body, const std::string& status = {});
  void AuthorisationFailed(const std::string& peer);
  void AuthorisationSucceeded(const std::string& peer);
  void SendLoginRefusal(TMyHttpConnection* c);
  void ConnectionTrouble(int error, const std::string& message);
  std::string PageHead(const std::string& title, bool logPage) const;
  std::string ColouredLines(const std::vector<std::string>& lines) const;

  std::function<std::vector<std::string>()> logLines_;
  std::unique_ptr<net::THttpServer> http_;
  bool running_ = false;
  // Wrong passwords per address, forgotten an hour after the last one.
  struct FailedLogins {
    int count = 0;
    std::int64_t last = 0;        // ms of the last failure
    std::int64_t logged = 0;      // ms of the last log line (0: none)
    std::int64_t nextAnswer = 0;  // ms before which no further refusal goes out
  };
  std::map<std::string, FailedLogins> failedLogins_;
  // Connections refused or failed since the last line about them.
  int troubleCount_ = 0;
  std::int64_t troubleLogged_ = 0;
  // Lets a delayed answer know whether the panel still exists.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace yux
