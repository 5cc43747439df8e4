#include "tests/peers/smtppeers.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "tests/peers/sslfixture.h"

namespace yux::test {

namespace {

constexpr const char* kServerScript = R"PY(
import asyncio, base64, errno, hmac, json, logging, os, socket, ssl, sys, time
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

args = json.loads(sys.argv[1])
folder = args["folder"]
logging.basicConfig(filename=os.path.join(folder, "server.log"), level=logging.DEBUG)
sys.stderr = open(os.path.join(folder, "server.err"), "w")

# Every command line the server reads is logged at INFO as "peer >> line"
# (AUTH arguments already masked); the client's port and the line's first
# word go to commands.txt.
class CommandRecord(logging.Handler):
    def emit(self, record):
        if (record.levelno == logging.INFO and record.msg == "%r >> %r" and
                len(record.args) == 2 and isinstance(record.args[1], bytes)):
            peer = record.args[0]
            port = peer[1] if isinstance(peer, tuple) and len(peer) > 1 else 0
            word = record.args[1].split(b" ", 1)[0].decode("ascii", "replace").upper()
            with open(os.path.join(folder, "commands.txt"), "a") as f:
                f.write("%d %s\n" % (port, word))
logging.getLogger("mail.log").addHandler(CommandRecord())

class Handler:
    def __init__(self):
        self.count = 0
        self.mails = 0

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        self.mails += 1
        if args.get("refuse_first_mail") and self.mails == 1:
            return "451 Try again later"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        name = os.path.join(folder, "mail%03d" % self.count)
        self.count += 1
        login = None
        if session.auth_data is not None:
            d = session.auth_data
            login = (d.login if isinstance(d, LoginPassword) else d)
            if isinstance(login, bytes):
                login = login.decode("utf-8", "replace")
        with open(name + ".json.tmp", "w") as f:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                       "login": login, "options": envelope.mail_options}, f)
        with open(name + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content)
        os.rename(name + ".json.tmp", name + ".json")
        os.rename(name + ".eml.tmp", name + ".eml")
        return "250 OK stored"

if args.get("refuse_ehlo"):
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        return ["550 EHLO not accepted here"]
    Handler.handle_EHLO = handle_EHLO

if args.get("refuse_rcpt"):
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        return "550 5.1.1 No such mailbox"
    Handler.handle_RCPT = handle_RCPT

if args.get("cram"):
    async def auth_CRAM__MD5(self, server, _args):
        challenge = ("<%d.%d@yux.test>" % (os.getpid(), time.time_ns())).encode()
        answer = await server.challenge_auth(challenge)
        if not isinstance(answer, bytes) or b" " not in answer:
            return AuthResult(success=False, handled=False)
        user, digest = answer.rsplit(b" ", 1)
        want = hmac.new(args["password"].encode(), challenge, "md5").hexdigest().encode()
        if user.decode() == args["user"] and hmac.compare_digest(digest, want):
            return AuthResult(success=True, auth_data=user.decode())
        return AuthResult(success=False, handled=False)
    Handler.auth_CRAM__MD5 = auth_CRAM__MD5

def authenticator(server, session, envelope, mechanism, auth_data):
    if not isinstance(auth_data, LoginPassword):
        return AuthResult(success=False, handled=False)
    ok = (auth_data.login == args["user"].encode() and
          auth_data.password == args["password"].encode())
    return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

kwargs = dict(hostname="127.0.0.1", port=args["port"], auth_require_tls=False,
              auth_exclude_mechanism=args.get("exclude", []))
if args.get("user"):
    kwargs["authenticator"] = authenticator
if args.get("size"):
    kwargs["data_size_limit"] = args["size"]
if args.get("tls") in ("starttls", "implicit"):
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(args["cert"], args["key"])
    if args["tls"] == "starttls":
        kwargs["tls_context"] = ctx
        kwargs["require_starttls"] = True
    else:
        kwargs["ssl_context"] = ctx
# The port was free when the test chose it; another test may have taken
# it since, and then a fresh one is used (the test reads it from "ready").
for attempt in range(5):
    controller = Controller(Handler(), **kwargs)
    try:
        controller.start()
        break
    except OSError as e:
        if e.errno != errno.EADDRINUSE or attempt == 4:
            raise
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        kwargs["port"] = probe.getsockname()[1]
        probe.close()
with open(os.path.join(folder, "ready.tmp"), "w") as f:
    f.write(str(kwargs["port"]))
os.rename(os.path.join(folder, "ready.tmp"), os.path.join(folder, "ready"))
# Ends with the test process, even one that died without stopping it.
parent = os.getppid()
try:
    while os.getppid() == parent:
        time.sleep(0.5)
finally:
    controller.stop()
)PY";

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string MailFile(const TempDir& dir, int index, const char* ext) {
  char name[32];
  std::snprintf(name, sizeof name, "mail%03d.%s", index, ext);
  return (dir / name).string();
}

}  // namespace

bool SmtpPeer::Start(const SmtpPeerOptions& o) {
  if (!std::filesystem::exists(kDebianPython)) {
    error_ = "no /usr/bin/python3";
    return false;
  }
  const std::string script = (dir_ / "smtpserver.py").string();
  WriteFile(script, kServerScript);
  port_ = o.port ? o.port : FreeLoopbackPort();
  std::string json = "{\"folder\": " + JsonString(dir_.str()) +
                     ", \"port\": " + std::to_string(port_) +
                     ", \"user\": " + JsonString(o.user) +
                     ", \"password\": " + JsonString(o.password) +
                     ", \"cram\": " + (o.cramMd5 ? "true" : "false") +
                     ", \"size\": " + std::to_string(o.sizeLimit) +
                     ", \"refuse_first_mail\": " + (o.refuseFirstMail ? "true" : "false") +
                     ", \"refuse_ehlo\": " + (o.refuseEhlo ? "true" : "false") +
                     ", \"refuse_rcpt\": " + (o.refuseRcpt ? "true" : "false") +
                     ", \"exclude\": [";
  for (std::size_t i = 0; i < o.exclude.size(); ++i)
    json += (i ? ", " : "") + JsonString(o.exclude[i]);
  json += "]";
  if (o.tls != SmtpPeerOptions::kPlain) {
    const TestPki& pki = TestPki::Get();
    if (!pki.Ok()) {
      error_ = "test PKI: " + pki.Error();
      return false;
    }
    json += std::string(", \"tls\": ") +
            (o.tls == SmtpPeerOptions::kStartTls ? "\"starttls\"" : "\"implicit\"") +
            ", \"cert\": " + JsonString(o.cert.empty() ? pki.Cert("server") : o.cert) +
            ", \"key\": " + JsonString(o.key.empty() ? pki.Key("server") : o.key);
  }
  json += "}";
  if (!process_.Start({kDebianPython, script, json})) {
    error_ = "cannot start python";
    return false;
  }
  // The controller writes "ready" once it accepts connections.
  for (int i = 0; i < 300 && !std::filesystem::exists(dir_ / "ready"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!std::filesystem::exists(dir_ / "ready")) {
    error_ = "aiosmtpd did not start: " + Log();
    return false;
  }
  port_ = std::atoi(ReadFile(dir_ / "ready").c_str());
  return port_ > 0;
}

int SmtpPeer::MessageCount() const {
  int n = 0;
  while (std::filesystem::exists(MailFile(dir_, n, "eml"))) ++n;
  return n;
}

std::string SmtpPeer::Message(int index) const { return ReadFile(MailFile(dir_, index, "eml")); }
std::string SmtpPeer::Envelope(int index) const {
  return ReadFile(MailFile(dir_, index, "json"));
}

std::string SmtpPeer::Log() const {
  std::string out;
  for (const char* f : {"server.err", "server.log"})
    if (std::filesystem::exists(dir_ / f)) out += ReadFile(dir_ / f);
  return out;
}

std::string SmtpPeer::Commands() const {
  return std::filesystem::exists(dir_ / "commands.txt") ? ReadFile(dir_ / "commands.txt") : std::string();
}

bool ReadSmtpLine(int fd, std::string& pending, std::string& line, int ms) {
  for (;;) {
    std::size_t end = pending.find("\r\n");
    if (end != std::string::npos) {
      line = pending.substr(0, end);
      pending.erase(0, end + 2);
      return true;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char b[4096];
    ssize_t n = ::recv(fd, b, sizeof b, 0);
    if (n <= 0) return false;
    pending.append(b, std::size_t(n));
  }
}

std::string ParseMailWithPython(const std::string& file) {
  const auto script = SourceDir() / "tests/net/protocols/parse_mail.py";
  ProcessResult r = RunProgram({kDebianPython, script.string(), file}, {}, 30000);
  return r.exitCode == 0 ? r.out : std::string();
}

}  // namespace yux::test
