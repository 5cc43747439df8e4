#pragma once
// Helpers of the SMTP client's tests: a mail file read back by Python's
// email package, as JSON.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <string>

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

}  // namespace yux::test
