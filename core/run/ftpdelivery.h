#pragma once
// The FTP delivery of a run: the texts and decisions its session is built
// on.  The login used for an empty user, how "fse" names the host and port,
// where a host script's answer may take the upload, which request result
// counts as an uploaded file, and the location a history line records for
// it (the restore dialog reads these locations back, so their form stays).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/run/rundelivery.h"

namespace yux {

namespace net {
class THttpCli;
class TSslFtpClient;
enum TFtpRequest : std::uint8_t;
}  // namespace net
struct tarcopt;
class TlsServerCheck;

// The host text a failed host script gives; the stage cancels on it.
inline constexpr const char* kFtpHostError = "***ERR***";

struct FtpLogin {
  std::string user;
  std::string password;
};
// "fus" and "fpa", or the anonymous login when both are empty.
FtpLogin FtpLoginFor(const std::string& fus, const std::string& fpa);

struct FtpHostPort {
  std::string host;
  std::string port;  // "ftp" when the text names none
};
// Splits a host text at its first ":".
FtpHostPort SplitFtpHost(const std::string& text);

// How every FTP session of the program reaches its server: the host and
// port, the login, active or passive data connections and the preset's TLS
// mode ("fss": 0 none, 1 AUTH TLS, 2 AUTH SSL, 3 implicit).
struct FtpConnection {
  FtpHostPort where;
  FtpLogin login;
  bool active = false;
  int fss = 0;
};
// Gives `client` these settings, a direct connection and binary transfers;
// under TLS also the program's client TLS context when it has none, and
// `tls` judges every server it reaches over TLS.  A TLS mode outside 0..3
// raises std::invalid_argument and changes nothing.
void PrepareFtpClient(net::TSslFtpClient& client, const FtpConnection& how, TlsServerCheck& tls);

// The login after ConnectAsync (which sends AUTH before USER under explicit
// TLS, so a TLS preset's password never travels in clear): PBSZ 0 and
// PROT P under TLS.  Call it with each request that ended well: true when
// it sent the login's next request, false when the login is complete.
bool NextFtpLoginStep(net::TSslFtpClient& client, net::TFtpRequest done, int fss);

// host + ":21" or ":" + port + "/" [+ folder + "/"] + name.
std::string FtpHistoryLocation(const FtpHostPort& where, const std::string& folder,
                               const std::string& name);

// The client's error number: the five characters after the first "#" of its
// error message, or its first five characters when there is no "#".
std::string FtpErrorNumber(const std::string& errorMessage);

// An upload arrived only when its request ended without an error and the
// server's final answer was 226 or 250.
bool FtpUploadCounted(int requestError, int statusCode);

struct FtpHostScript {
  std::string url;
  std::string body;  // posted as the form; empty without a "?"
};
// An "http://" server text split at its first "?".
FtpHostScript SplitFtpHostScript(const std::string& fse);

// The host a host script's reply names: only a 2xx reply counts, and its
// first line (blanks trimmed) must be a host name or IPv4 address with an
// optional ":port" in 1-65535; anything else gives kFtpHostError, so an
// error page or a stray text is never taken for a host.
std::string FtpHostFromScriptReply(int httpStatus, const std::vector<std::string>& lines);

// The bounds of a host script's answer: its body and the whole request.
inline constexpr std::int64_t kFtpHostScriptMaxBytes = 65536;
inline constexpr int kFtpHostScriptSeconds = 30;

// Posts the host script's body to its URL with `http` (blocking, 30 s
// without activity and kFtpHostScriptSeconds in all, an answer of at most
// kFtpHostScriptMaxBytes, up to 5 relocations) and returns the host its
// answer names, or kFtpHostError for a failed request or an unusable answer.
std::string ResolveFtpHostScript(net::THttpCli& http, const std::string& fse);

struct FtpJob : StageJob {
  net::TSslFtpClient* client = nullptr;
  net::THttpCli* http = nullptr;
  // Handles messages and keeps the run state while the session runs.
  std::function<void()> pump;
  // The deliveries' progress bar: 0..100, or -1 to hide it.
  std::function<void(int)> progress;
  // Bound of the whole session ("tft"), in milliseconds; 0 none.
  unsigned waitMs = 0;
  // A request without progress for this long is aborted; 0 never.
  unsigned watchdogMs = 30000;
  // One second of the retry interval (tests shorten it).
  unsigned secondMs = 1000;
};

enum class FtpResult { NoFiles, HostError, Done, Failed, Aborted };

// One session: logs in (with PBSZ 0 and PROT P under TLS), changes into
// "ffo", runs the cleaner ("fco", before or after the uploads per "fca"),
// uploads every produced file and records each counted upload in the
// history, deletes the volumes of an earlier set of a name whose new set
// it uploaded whole (core/run/volumesets.h), then the run's
// block in ".lgf".  Any refusal, a refused CWD
// included, ends the attempt; the options' retries reconnect and resume
// with the file that failed.  The abort flag (or the end of `waitMs`)
// aborts the session with a bounded wind-down and gives Aborted.
FtpResult DeliverByFtp(FtpJob& job);

}  // namespace yux
