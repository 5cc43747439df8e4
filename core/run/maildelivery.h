#pragma once
// The e-mail delivery of a run: every produced file of the run folder is
// mailed to the preset's recipient, one message per file with the file as
// its only attachment, all over one SMTP session that the client's
// request-done event drives step by step.  Failures are retried by a timer
// of the stage's own; the stage's session counts as busy until it ends for
// good (all sent, retries used up or off, abort).
#include <functional>
#include <string>
#include <vector>

#include "core/run/rundelivery.h"

namespace yux {

namespace net {
class TSslSmtpCli;
}
struct tarcopt;
class TlsServerCheck;

// `deliveries` is told of every file whose DATA succeeded.
struct MailJob : StageJob {
  // A session that waits this long for the server (its greeting, a reply,
  // room to send data) is dropped and the retry rules apply; servers may
  // take five minutes per reply and ten after the end of a message.
  unsigned replyLimitMs = 300000;
  unsigned dataEndLimitMs = 600000;
  // One second of the retry interval (tests shorten it).
  unsigned secondMs = 1000;
};

enum class MailResult {
  NoFiles,  // nothing to send
  Ended,    // the session ended (some or all files sent, see the deliveries)
  Aborted,  // the abort flag or the stage's time-out ended it
};

// Splits "host" or "host:port" (the port after the first colon);
// `defaultPort` when there is none.
void SplitServer(const std::string& server, const std::string& defaultPort, std::string& host,
                 std::string& port);

// Points the client at "host[:port]" with the account's login (none when
// `user` is empty: no AUTH) and its TLS mode "sss" (0 none, 1 implicit, 2
// STARTTLS); TLS uses the shared client context unless one is set already,
// and `tls` judges the server.  Any other mode could send the login in
// clear text to a server the account only reaches over TLS: it raises
// std::invalid_argument and changes nothing.
void SetSmtpAccount(net::TSslSmtpCli& c, const std::string& server, const std::string& defaultPort,
                    const std::string& user, const std::string& password, int sss, TlsServerCheck& tls);

// Starts the session and waits for it to end.  The wait handles messages;
// the abort flag aborts the client, and the stage's time-out ("tsm"
// minutes) sets the abort flag.  Without that time-out the session's
// inactivity limits still bound every wait for the server.
MailResult DeliverByMail(const MailJob& job);

// True while the e-mail session of a run is busy (a retry wait included).
bool MailSessionBusy();

// Waits, handling messages, until none of the run's delivery sessions is
// busy.  When the abort flag is set the sessions are aborted and given a
// bounded wind-down (10 s); a pending retry is cancelled.  Returns false
// when the wait ended by abort.
bool WaitForDeliverySessions();

}  // namespace yux
