#include "tests/peers/httpclipeers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/peers/sslfixture.h"

namespace yux::test {

namespace {

bool WaitForListenerLong(int port, int seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end)
    if (WaitForListener(port)) return true;
  return false;
}

// Servers that give up root read and write here.
void OpenToAll(const std::filesystem::path& p) { ::chmod(p.c_str(), 0777); }

const char* kPythonServer = R"PY(
import base64, hashlib, hmac, os, struct, sys, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

def md4(data):
    try:
        return hashlib.new("md4", data).digest()
    except ValueError:
        pass
    def f(x, y, z): return (x & y) | (~x & z)
    def g(x, y, z): return (x & y) | (x & z) | (y & z)
    def h(x, y, z): return x ^ y ^ z
    def rol(v, s): v &= 0xFFFFFFFF; return ((v << s) | (v >> (32 - s))) & 0xFFFFFFFF
    msg = data + b"\x80" + b"\x00" * ((55 - len(data)) % 64) + struct.pack("<Q", len(data) * 8)
    a, b, c, d = 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476
    for off in range(0, len(msg), 64):
        x = struct.unpack("<16I", msg[off:off + 64])
        aa, bb, cc, dd = a, b, c, d
        for i in range(16):
            k, s = i, (3, 7, 11, 19)[i % 4]
            if i % 4 == 0: a = rol(a + f(b, c, d) + x[k], s)
            elif i % 4 == 1: d = rol(d + f(a, b, c) + x[k], s)
            elif i % 4 == 2: c = rol(c + f(d, a, b) + x[k], s)
            else: b = rol(b + f(c, d, a) + x[k], s)
        for i in range(16):
            k, s = (i % 4) * 4 + i // 4, (3, 5, 9, 13)[i % 4]
            if i % 4 == 0: a = rol(a + g(b, c, d) + x[k] + 0x5A827999, s)
            elif i % 4 == 1: d = rol(d + g(a, b, c) + x[k] + 0x5A827999, s)
            elif i % 4 == 2: c = rol(c + g(d, a, b) + x[k] + 0x5A827999, s)
            else: b = rol(b + g(c, d, a) + x[k] + 0x5A827999, s)
        order = (0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15)
        for i in range(16):
            k, s = order[i], (3, 9, 11, 15)[i % 4]
            if i % 4 == 0: a = rol(a + h(b, c, d) + x[k] + 0x6ED9EBA1, s)
            elif i % 4 == 1: d = rol(d + h(a, b, c) + x[k] + 0x6ED9EBA1, s)
            elif i % 4 == 2: c = rol(c + h(d, a, b) + x[k] + 0x6ED9EBA1, s)
            else: b = rol(b + h(c, d, a) + x[k] + 0x6ED9EBA1, s)
        a, b, c, d = (a + aa) & 0xFFFFFFFF, (b + bb) & 0xFFFFFFFF, (c + cc) & 0xFFFFFFFF, (d + dd) & 0xFFFFFFFF
    return struct.pack("<4I", a, b, c, d)

CHALLENGE = bytes(range(1, 9))

def utf16(s): return s.encode("utf-16-le")

def type2():
    tn = utf16("YUXDOM")
    ti = (struct.pack("<HH", 2, len(tn)) + tn + struct.pack("<HH", 1, len(utf16("YUXSRV"))) +
          utf16("YUXSRV") + struct.pack("<HH", 0, 0))
    flags = 0x00000001 | 0x00000200 | 0x00008000 | 0x00010000 | 0x00800000 | 0x20000000
    head = (b"NTLMSSP\x00" + struct.pack("<I", 2) + struct.pack("<HHI", len(tn), len(tn), 48) +
            struct.pack("<I", flags) + CHALLENGE + b"\x00" * 8 +
            struct.pack("<HHI", len(ti), len(ti), 48 + len(tn)))
    return base64.b64encode(head + tn + ti).decode()

def field(m, off):
    ln, _, o = struct.unpack("<HHI", m[off:off + 8])
    return m[o:o + ln]

def check_type3(b64):
    m = base64.b64decode(b64)
    if m[:8] != b"NTLMSSP\x00" or struct.unpack("<I", m[8:12])[0] != 3: return "not type 3"
    nt, user, domain = field(m, 20), field(m, 36).decode("utf-16-le"), field(m, 28).decode("utf-16-le")
    if user != "alice": return "user " + user
    if domain != "YUXDOM": return "domain " + domain
    key = hmac.new(md4(utf16("s3cret")), utf16(user.upper() + domain), "md5").digest()
    proof, blob = nt[:16], nt[16:]
    if hmac.new(key, CHALLENGE + blob, "md5").digest() != proof: return "wrong NTLMv2 response"
    return ""

def pattern(n):
    return bytes((i * 7) % 251 for i in range(n))

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a): pass

    def header_text(self):
        return "".join("%s: %s\r\n" % (k, v) for k, v in self.headers.items()).encode()

    def answer(self, code, body, extra=()):
        self.send_response(code)
        for k, v in extra: self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close" if self.close_connection else "keep-alive")
        self.end_headers()
        if self.command != "HEAD": self.wfile.write(body)

    def body(self):
        n = int(self.headers.get("Content-Length", "0"))
        return self.rfile.read(n) if n else b""

    def do_POST(self):
        data = self.body()
        if self.path == "/echo": return self.answer(200, self.header_text() + b"\r\n" + data)
        if self.path == "/r307": return self.answer(307, b"moved", [("Location", "/echo")])
        self.answer(404, b"no such path")

    def do_GET(self):
        p, _, q = self.path.partition("?")
        if p == "/headers": return self.answer(200, self.header_text())
        if p == "/chunked":
            data = pattern(int(q.split("=")[1]))
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            i, size = 0, 1
            while i < len(data):
                piece = data[i:i + size]
                self.wfile.write(b"%x; ext=1\r\n" % len(piece) + piece + b"\r\n")
                i += len(piece)
                size = size * 3 + 1
            self.wfile.write(b"0\r\nX-Trailer: t\r\n\r\n")
            return
        if p == "/continue":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            return self.answer(200, b"after continue")
        if p == "/relocate":
            if "Authorization" not in self.headers:
                return self.answer(401, b"who?", [("WWW-Authenticate", 'Basic realm="yux"')])
            return self.answer(302, b"", [("Location", q[3:])])
        if p == "/short":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + b"x" * 50)
            self.close_connection = True
            return
        if p == "/chunk-cut":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n")
            self.close_connection = True
            return
        if p == "/chunk-bad":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabcde\r\n0\r\n\r\n")
            self.close_connection = True
            return
        if p == "/endless-header":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Endless: ")
            try:
                for _ in range(400):
                    self.wfile.write(b"a" * 1024)
            except OSError:
                pass
            self.close_connection = True
            return
        if p == "/huge-header":
            try:
                self.wfile.write(b"HTTP/1.1 200 OK\r\n")
                for i in range(1200):
                    self.wfile.write(b"X-Fill-%d: " % i + b"f" * 1000 + b"\r\n")
            except OSError:
                pass
            self.close_connection = True
            return
        if p == "/noheader":
            self.wfile.write(b"<HTML><BODY>no header</BODY></HTML>\n")
            self.close_connection = True
            return
        if p == "/silent":
            time.sleep(8)
            self.close_connection = True
            return
        if p == "/ntlm" or p.endswith("/proxy-ntlm"):
            proxy = p != "/ntlm"
            ask, auth_name, code = (("Proxy-Authenticate", "Proxy-Authorization", 407) if proxy else
                                    ("WWW-Authenticate", "Authorization", 401))
            if proxy and self.headers.get("Proxy-Connection", "").lower() == "keep-alive":
                self.close_connection = False
            auth = self.headers.get(auth_name, "")
            if not auth.startswith("NTLM "):
                return self.answer(code, b"ntlm please", [(ask, "NTLM")])
            raw = base64.b64decode(auth[5:])
            kind = struct.unpack("<I", raw[8:12])[0]
            if kind == 1:
                return self.answer(code, b"challenge", [(ask, "NTLM " + type2())])
            why = check_type3(auth[5:])
            if why: return self.answer(403, why.encode())
            return self.answer(200, b"ntlm ok")
        self.answer(404, b"no such path")

ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
)PY";

}  // namespace

// ---------------------------------------------------------------------------

bool NginxPeer::Start(const std::string& serverExtra) {
  const TestPki& pki = TestPki::Get();
  if (!pki.Ok()) return false;
  std::filesystem::create_directories(Www());
  OpenToAll(dir_.path());
  OpenToAll(Www());
  // A free port can be taken by another program (a client's own port among
  // them) before nginx binds it: nginx then ends at once, and another pair
  // of ports is tried.
  for (int attempt = 0; attempt < 5; ++attempt) {
    Port = FreeLoopbackPort();
    SslPort = FreeLoopbackPort();
    if (Port == SslPort) continue;
    switch (Launch(serverExtra)) {
      case Launched::Listening: return true;
      case Launched::Failed: return false;
      case Launched::PortTaken: break;
    }
  }
  return false;
}

NginxPeer::Launched NginxPeer::Launch(const std::string& serverExtra) {
  const TestPki& pki = TestPki::Get();
  const std::string d = dir_.str();
  std::string extra = serverExtra;
  for (auto [from, to] : {std::pair<std::string, int>{"{PORT}", Port}, {"{SSLPORT}", SslPort}})
    for (std::size_t p; (p = extra.find(from)) != std::string::npos;)
      extra.replace(p, from.size(), std::to_string(to));
  std::string conf = "daemon off;\nworker_processes 1;\n";
  if (::geteuid() == 0) conf += "user root root;\n";
  conf += "error_log " + d + "/error.log info;\npid " + d + "/nginx.pid;\n"
          "events { worker_connections 64; }\n"
          "http {\n"
          "  log_format yux '$connection $connection_requests \"$request\" $status \"$ssl_server_name\"';\n"
          "  access_log " + d + "/access.log yux;\n"
          "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d + "/proxy;\n"
          "  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n"
          "  scgi_temp_path " + d + "/scgi;\n"
          "  types { text/html html; text/plain txt; application/octet-stream bin; }\n"
          "  default_type application/octet-stream;\n"
          "  keepalive_timeout 30;\n"
          "  server {\n"
          "    listen 127.0.0.1:" + std::to_string(Port) + ";\n"
          "    listen 127.0.0.1:" + std::to_string(SslPort) + " ssl;\n"
          "    server_name localhost;\n"
          "    ssl_certificate " + pki.Cert("server") + ";\n"
          "    ssl_certificate_key " + pki.Key("server") + ";\n"
          "    root " + Www().string() + ";\n" + extra + "\n  }\n}\n";
  WriteFile(dir_ / "nginx.conf", conf);
  std::filesystem::remove(dir_ / "error.log");
  std::filesystem::remove(dir_ / "nginx.pid");
  if (!proc_.Start({"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"}))
    return Launched::Failed;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < end) {
    if (proc_.Exited())
      return ErrorLog().find("Address already in use") != std::string::npos ? Launched::PortTaken
                                                                              : Launched::Failed;
    // nginx writes its pid file once its listening sockets are bound, so
    // the connections reach nginx and not a program that took a port.
    if (std::filesystem::exists(dir_ / "nginx.pid") && Listening(Port) && Listening(SslPort))
      return Launched::Listening;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling a starting program
  }
  return Launched::Failed;
}

std::string NginxPeer::AccessLog() const { return ReadFile(dir_ / "access.log"); }
std::string NginxPeer::ErrorLog() const { return ReadFile(dir_ / "error.log"); }

// ---------------------------------------------------------------------------

bool LighttpdDigestPeer::Start(const std::string& user, const std::string& password) {
  std::filesystem::create_directories(Www());
  OpenToAll(dir_.path());
  OpenToAll(Www());
  ProcessResult ha1 = RunProgram(
      {"/usr/bin/python3", "-c",
       "import hashlib,sys; print(hashlib.md5(sys.argv[1].encode()).hexdigest())",
       user + ":yux:" + password});
  if (ha1.exitCode != 0) return false;
  std::string hash = ha1.out.substr(0, 32);
  WriteFile(dir_ / "htdigest", user + ":yux:" + hash + "\n");
  ::chmod((dir_ / "htdigest").c_str(), 0644);
  Port = FreeLoopbackPort();
  const std::string d = dir_.str();
  WriteFile(dir_ / "lighttpd.conf",
            "server.document-root = \"" + Www().string() + "\"\n"
            "server.port = " + std::to_string(Port) + "\n"
            "server.bind = \"127.0.0.1\"\n"
            "server.errorlog = \"" + d + "/error.log\"\n"
            "server.pid-file = \"" + d + "/lighttpd.pid\"\n"
            "server.modules = (\"mod_auth\", \"mod_authn_file\")\n"
            "mimetype.assign = (\".txt\" => \"text/plain\")\n"
            "auth.backend = \"htdigest\"\n"
            "auth.backend.htdigest.userfile = \"" + d + "/htdigest\"\n"
            "auth.require = (\"/\" => (\"method\" => \"digest\", \"realm\" => \"yux\", "
            "\"require\" => \"valid-user\"))\n");
  if (!proc_.Start({"lighttpd", "-D", "-f", d + "/lighttpd.conf"})) return false;
  return WaitForListenerLong(Port, 10);
}

// ---------------------------------------------------------------------------

bool SquidDigestPeer::Start(const std::string& user, const std::string& password) {
  OpenToAll(dir_.path());
  WriteFile(dir_ / "passwd", user + ":" + password + "\n");
  ::chmod((dir_ / "passwd").c_str(), 0644);
  Port = FreeLoopbackPort();
  const std::string d = dir_.str();
  WriteFile(dir_ / "squid.conf",
            "http_port 127.0.0.1:" + std::to_string(Port) + "\n"
            "pid_filename " + d + "/squid.pid\n"
            "cache_log " + d + "/cache.log\n"
            "access_log none\n"
            "cache deny all\n"
            "cache_mem 8 MB\n"
            "coredump_dir " + d + "\n"
            "visible_hostname yux-test\n"
            "shutdown_lifetime 0 seconds\n"
            "auth_param digest program /usr/lib/squid/digest_file_auth " + d + "/passwd\n"
            "auth_param digest realm yux\n"
            "auth_param digest children 2\n"
            "acl authed proxy_auth REQUIRED\n"
            "http_access allow authed\n"
            "http_access deny all\n");
  if (!proc_.Start({"squid", "-N", "-f", d + "/squid.conf"})) return false;
  return WaitForListenerLong(Port, 20);
}

std::string SquidDigestPeer::CacheLog() const { return ReadFile(dir_ / "cache.log"); }

// ---------------------------------------------------------------------------

bool PythonHttpPeer::Start() {
  WriteFile(dir_ / "server.py", kPythonServer);
  Port = FreeLoopbackPort();
  if (!proc_.Start({"/usr/bin/python3", (dir_ / "server.py").string(), std::to_string(Port)}))
    return false;
  return WaitForListenerLong(Port, 10);
}

}  // namespace yux::test
