#pragma once
// Helpers of the SMTP client's tests: a mail file read back by Python's
// email package, as JSON.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>
#include <string>
#include <vector>

#include "net/protocols/smtpssl.h"
#include "net/socket/sslcontext.h"
#include "platform/messages.h"

#include "tests/peers/smtppeers.h"

namespace yux::test {

struct ParsedMail {
  bool ok = false;
  QJsonObject json;
  std::string Header(const char* name) const {
    return json["headers"].toObject()[name].toString().toStdString();
  }
  int Defects() const { return int(json["defects"].toArray().size()); }
  std::string DefectText() const {
    return QJsonDocument(json["defects"].toArray()).toJson().toStdString();
  }
  int PartCount() const { return int(json["parts"].toArray().size()); }
  QJsonObject Part(int i) const { return json["parts"].toArray()[i].toObject(); }
  std::string PartBytes(int i) const {
    return QByteArray::fromHex(Part(i)["hex"].toString().toLatin1()).toStdString();
  }
  std::string PartFileName(int i) const { return Part(i)["filename"].toString().toStdString(); }
};

inline ParsedMail ParseMail(const std::string& file) {
  ParsedMail m;
  const std::string out = ParseMailWithPython(file);
  if (out.empty()) return m;
  QJsonDocument d = QJsonDocument::fromJson(QByteArray::fromStdString(out));
  m.ok = d.isObject();
  m.json = d.object();
  return m;
}

// Text with its CR LF line ends made LF.
inline std::string Lf(std::string s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
  return out;
}

// A client of 127.0.0.1:port with its transcript and the outcome of its
// last request.
struct Client {
  using TSslSmtpCli = net::TSslSmtpCli;
  using TSslContext = net::TSslContext;
  using TSmtpRequest = net::TSmtpRequest;
  using TSmtpSslType = net::TSmtpSslType;
  using TCustomSmtpClient = net::TCustomSmtpClient;
  using WORD = net::WORD;
  TSslSmtpCli c;
  TSslContext ctx;
  std::vector<std::string> display;
  int done = -1;
  TSmtpRequest doneRq = net::smtpCustom;
  Client(int port, TSmtpSslType ssl = net::smtpTlsNone) {
    c.Host = "127.0.0.1";
    c.Port = std::to_string(port);
    c.SignOn = "yux.test";
    c.SslType = ssl;
    c.SetSslContext(&ctx);
    c.HdrFrom = "Sender Name <sender@example.com>";
    c.FromName = c.HdrFrom;
    c.HdrTo = "Rcpt <rcpt@example.org>";
    c.RcptName = {"rcpt@example.org"};
    c.HdrSubject = "Test message";
    c.MailMessage = {"Line one.", ".dot line", "last"};
    c.OnDisplay = [this](TCustomSmtpClient*, const std::string& m) { display.push_back(m); };
    c.OnRequestDone = [this](TCustomSmtpClient*, TSmtpRequest rq, WORD e) {
      doneRq = rq;
      done = e;
    };
  }
  // Starts a request and waits for its OnRequestDone; its error code.
  int Run(const std::function<void()>& start) {
    done = -1;
    start();
    if (!yux::platform::WaitPumping([&] { return done >= 0; }, 20000, 2)) return -2;
    return done;
  }
  // The commands sent, in order, without their arguments.
  std::vector<std::string> Commands() const {
    std::vector<std::string> out;
    for (const std::string& d : display)
      if (d.starts_with("> ")) {
        std::string cmd = d.substr(2, d.find(' ', 2) == std::string::npos ? std::string::npos
                                                                           : d.find(' ', 2) - 2);
        if (cmd == "EHLO" || cmd == "HELO" || cmd == "STARTTLS" || cmd == "AUTH" ||
            cmd == "MAIL" || cmd == "RCPT" || cmd == "DATA" || cmd == "QUIT")
          out.push_back(d.substr(2, cmd == "AUTH" ? d.find(' ', 7) - 2 : cmd.size()));
      }
    return out;
  }
  std::string Transcript() const {
    std::string t;
    for (const std::string& d : display) t += d + "\n";
    return t;
  }
};

}  // namespace yux::test
