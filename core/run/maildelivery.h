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
class TSslContext;
class TSslSmtpCli;
}
}  // namespace yux
struct ssl_st;
namespace yux {
struct tarcopt;

// The TLS context of the program's mail and FTP clients.  It does not
// refuse a certificate during the handshake: the servers of backup targets
// mostly carry self-made certificates, which AcceptTlsServer judges.
net::TSslContext& ClientSslContext();

// The file (in the settings folder, readable by its owner alone) that
// keeps the certificate fingerprint first seen from each TLS server that
// no certificate authority vouches for: "host:port fingerprint" lines.
std::string TlsServersFile();

// Whether the TLS server that answered at host:port may have the login and
// the data, judged right after the handshake.  A certificate valid for the
// host under the system's certificate authorities passes.  Any other is
// accepted at first contact with host:port and remembered by its SHA-256
// fingerprint (one log line); later only that certificate passes, and
// another ends the session with a log line naming the host, both
// fingerprints and how to accept the new one.  `fingerprint` receives the
// certificate's.
bool AcceptTlsServer(ssl_st* ssl, const std::string& host, const std::string& port,
                     std::string& fingerprint);

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
// `user` is empty: no AUTH) and its TLS mode "sss"; TLS uses the shared
// client context unless one is set already.
void SetSmtpAccount(net::TSslSmtpCli& c, const std::string& server, const std::string& defaultPort,
                    const std::string& user, const std::string& password, int sss);

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
