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
  bool WrongCredentials = false;   // the current request's credentials were refused

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
// Wrong passwords an address may send before it is penalised.
inline constexpr int kFreeLoginFailures = 3;
// The first penalty, and the longest one it doubles up to.
inline constexpr std::int64_t kFirstLoginPenaltyMs = 1000;
inline constexpr std::int64_t kMaxLoginPenaltyMs = 60000;
// An address's failures are forgotten a day after its last one: a guesser
// that waits between its guesses gains nothing by it.
inline constexpr std::int64_t kForgetLoginAddressMs = 24 * 3600 * 1000;
// Addresses remembered at most.
inline constexpr std::size_t kMaxLoginAddresses = 4096;

// The client a request from the address `peer` counts for: its address,
// except that every address of the loopback network 127.0.0.0/8 (16
// million of them, all of this machine) is one client.
std::string LoginClientOf(const std::string& peer);

// Password guessing, bound to the client's address however many
// connections it opens.  After the free failures the address is
// penalised: a second, doubled with each further failure up to a minute.
// While the penalty runs, every request of the address that carries
// credentials is refused without looking at them, the right password too;
// once it has run out, one request has its credentials checked (checks are
// made one at a time, so at most one per address is ever under way), and
// a failure starts the next, doubled penalty.  An address stays penalised
// from its third failure until the right password or a day without a
// failure, also while no penalty runs: waiting between guesses earns no
// free checks.
//
// The table of addresses is bounded.  When it is full, a new address takes
// the place of the least recently heard of address that is not penalised;
// it never takes a penalised one's.  When every remembered address is
// penalised, all addresses not in the table share one penalty of their own
// until room is made, so that many addresses get no more checks than one.
// Other addresses are not slowed by a guesser, except in that case: while
// the table is full of penalised addresses, a new address of the owner
// waits with the rest of the newcomers.
class TLoginPenalty {
 public:
  enum TVerdict { lpAdmitted, lpWrong, lpRefused };
  // Milliseconds of a clock that only moves forward.
  using TClock = std::function<std::int64_t()>;
  explicit TLoginPenalty(TClock clock = {});

  // The verdict on a request of `peer` that carries credentials; `matches`
  // checks them, and is asked only when the address may have a check now.
  TVerdict Check(const std::string& peer, const std::function<bool()>& matches);
  // Milliseconds of `peer`'s penalty still to run (0: none).
  std::int64_t PenaltyLeftMs(const std::string& peer);
  // Addresses remembered now.
  std::size_t Addresses() const { return addresses_.size(); }

 private:
  struct TAddress {
    int failures = 0;
    std::int64_t lastHeard = 0;    // ms of its latest request with credentials
    std::int64_t lastFailure = 0;  // ms of its latest wrong password
    std::int64_t penaltyMs = 0;    // the penalty in force or last served
    std::int64_t until = 0;        // ms when the penalty ends
    bool Penalised() const { return failures >= kFreeLoginFailures; }
  };
  void Forget(std::int64_t now);
  // The record that judges `client`: its own, the newcomers' shared one
  // when the table is full of penalised addresses, or none yet.
  TAddress* Find(const std::string& client);
  // A record of its own for `client`, made room for if need be.
  TAddress& Add(const std::string& client);

  TClock clock_;
  std::map<std::string, TAddress> addresses_;
  TAddress newcomers_;
};

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

 private:
  friend class TMyHttpConnection;
  // Whether the Basic credentials a request of `peer` offers (the values
  // of its Authorization lines) open the panel; the address's penalty
  // decides whether they are looked at.
  bool CredentialsAdmitted(const std::string& peer, const std::vector<std::string>& offered);
  // Whether the request may be answered: refused credentials get the 401
  // page and end the connection, missing credentials get the 401 page.
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
  TLoginPenalty loginPenalty_;
  // Refused credentials per client (LoginClientOf), for the log; forgotten
  // an hour after the last one.
  struct FailedLogins {
    int count = 0;
    std::int64_t last = 0;        // ms of the last failure
    std::int64_t logged = 0;      // ms of the last log line (0: none)
  };
  std::map<std::string, FailedLogins> failedLogins_;
  // Connections refused or failed since the last line about them.
  int troubleCount_ = 0;
  std::int64_t troubleLogged_ = 0;
};

}  // namespace yux
