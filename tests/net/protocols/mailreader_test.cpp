// A message assembled from these encoders the way the mail client writes
// one, read back by an outside parser (Python's standard email package).
#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <random>

#include "net/protocols/mimeutils.h"
#include "net/socket/bufferedfilestream.h"
#include "tests/support/testsupport.h"

using namespace yux::net;

namespace {

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string h;
  for (unsigned char c : bytes) {
    h.push_back(digits[c >> 4]);
    h.push_back(digits[c & 15]);
  }
  return h;
}

std::vector<std::string> QpBodyLines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    std::size_t pos = 0;
    if (line.empty()) out.emplace_back();
    while (pos < line.size())
      out.push_back(QuotedPrintableEncodeEx(line, 76, {}, true, 65001, true, pos, false));
    start = end + 2;
  }
  return out;
}

template <class Reader>
std::vector<std::string> AttachmentLines(const std::string& file, Reader read) {
  auto s = AttachmentOpenStream(file, fmOpenRead | fmShareDenyWrite);
  std::vector<std::string> lines;
  bool more = true;
  std::string line;
  while (more) {
    read(*s, more, line);
    lines.push_back(line);
  }
  AttachmentCloseStream(s);
  return lines;
}

}  // namespace

TEST(MailReader, PythonEmailPackageReadsOurMessage) {
  YUX_REQUIRE_PROGRAM("python3");
  yux::test::TempDir dir;

  const std::string fromName = "J\xC3\xB6rg M\xC3\xBCller-L\xC3\xBC" "denscheidt";
  const std::u16string subjectW =
      u"\u30D0\u30C3\u30AF\u30A2\u30C3\u30D7\u5B8C\u4E86: \u6BCE\u65E5\u306E\u30D7\u30EA\u30BB\u30C3\u30C8 "
      u"\"Documents\" \u306F\u6B63\u5E38\u306B\u7D42\u4E86\u3057\u307E\u3057\u305F (3 files, 12 MB) "
      u"\u6B21\u56DE\u306E\u5B9F\u884C\u306F\u660E\u65E5\u3067\u3059";
  const std::string subjectUtf8 = QString::fromStdU16String(subjectW).toStdString();
  const std::string noteLatin1 = "Gr\xFC\xDF" "e aus K\xF6ln, 50% = halber Preis? ja_nein";
  const std::string noteUtf8 = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln, 50% = halber Preis? ja_nein";
  std::string longUtf8;
  for (int i = 0; i < 12; ++i) longUtf8 += "Sicherung \xE2\x80\x9E" "Fotos\xE2\x80\x9C erfolgreich \xE2\x9C\x93 ";
  longUtf8.pop_back();

  const std::string body =
      "Hello,\r\n"
      "the backup of preset \"Documents\" finished at 03:00 \xE2\x80\x94 all 3 files were written "
      "to the disc and verified; the archive is 12,582,912 bytes long and its name is "
      "docs-261210.rar.\r\n"
      "A line that ends with a blank \r\n"
      ".a line starting with a dot and a = sign\r\n"
      "\r\n"
      "Gr\xC3\xBC\xC3\x9F" "e";

  std::string bin;
  std::mt19937 rng(2026);
  for (int i = 0; i < 10000; ++i) bin.push_back(static_cast<char>(rng()));
  yux::test::WriteFile(dir / "data.bin", bin);
  std::string qpData = "Plain words.\r\nTabs\tand = signs. Dots... " + std::string(300, '.') + "\r\n";
  for (int i = 0; i < 600; ++i) qpData.push_back(static_cast<char>(rng()));
  yux::test::WriteFile(dir / "notes.dat", qpData);

  const TNetCharSet phrase = NetCharSetOf("\"(),.:;<>@[\\]");
  const std::string boundary = "= Multipart Boundary 1210261318";
  std::vector<std::string> lines;
  lines.push_back("From: " + HdrEncodeInLineAnsi(fromName, phrase, "Q", 65001, true, 76 - 6, "UTF-8") +
                  " <joerg@example.com>");
  std::vector<std::string> to;
  std::string toValue = "To:";
  for (int i = 0; i < 8; ++i) toValue += " Recipient " + std::to_string(i) + " <r" + std::to_string(i) + "@example.org>,";
  toValue.pop_back();
  FoldHeaderLine(to, toValue, 65001, false);
  lines.insert(lines.end(), to.begin(), to.end());
  auto addEncoded = [&](const std::string& name, const std::string& words) {
    std::string h = name + words;
    std::size_t p;
    while ((p = h.find("\r\n")) != std::string::npos) {
      lines.push_back(h.substr(0, p));
      h.erase(0, p + 2);
    }
    lines.push_back(h);
  };
  addEncoded("Subject: ", HdrEncodeInLineW(subjectW, {}, "B", 50220, true, 76 - 9, "ISO-2022-JP"));
  addEncoded("X-Note: ", HdrEncodeInLine(noteLatin1, {}, "Q", false, 28591, true, 76 - 8, "ISO-8859-1"));
  addEncoded("X-Long: ", HdrEncodeInLine(longUtf8, {}, "B", true, 65001, true, 76 - 8, "utf-8"));
  addEncoded("X-Long-Q: ", HdrEncodeInLine(longUtf8, {}, "Q", true, 65001, true, 76 - 10, "utf-8"));
  lines.push_back("Mime-Version: 1.0");
  lines.push_back("Content-Type: multipart/mixed;");
  lines.push_back("\tboundary=\"" + boundary + "\"");
  lines.push_back("");
  lines.push_back("This is a multipart MIME message.");
  lines.push_back("");
  lines.push_back("--" + boundary);
  lines.push_back("Content-Type: text/plain; charset=\"utf-8\"");
  lines.push_back("Content-Transfer-Encoding: quoted-printable");
  lines.push_back("");
  for (auto& l : QpBodyLines(body)) lines.push_back(l);
  struct Att {
    const char* name;
    const char* encoding;
  };
  for (Att att : {Att{"data.bin", "base64"}, Att{"notes.dat", "quoted-printable"}}) {
    lines.push_back("--" + boundary);
    lines.push_back("Content-Type: " + ContentTypeOfFile(att.name) + ";");
    lines.push_back(std::string("\tname=\"") + att.name + "\"");
    lines.push_back(std::string("Content-Transfer-Encoding: ") + att.encoding);
    lines.push_back("Content-Disposition: attachment;");
    lines.push_back(std::string("\tfilename=\"") + att.name + "\"");
    lines.push_back("");
    auto data = att.encoding[0] == 'b' ? AttachmentLines((dir / att.name).string(), AttachmentReadBase64Line)
                                       : AttachmentLines((dir / att.name).string(), AttachmentReadQuotedPrintableLine);
    lines.insert(lines.end(), data.begin(), data.end());
  }
  lines.push_back("");
  lines.push_back("--" + boundary + "--");

  std::string message;
  for (const auto& l : lines) message += l + "\r\n";
  // Every physical line keeps to the 78 characters RFC 5322 recommends.
  std::size_t start = 0;
  while (start < message.size()) {
    std::size_t end = message.find("\r\n", start);
    EXPECT_LE(end - start, 78u) << message.substr(start, end - start);
    start = end + 2;
  }
  yux::test::WriteFile(dir / "mail.eml", message);

  auto script = yux::test::SourceDir() / "tests/net/protocols/parse_mail.py";
  auto r = yux::test::RunProgram({"python3", script.string(), (dir / "mail.eml").string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  QJsonObject doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
  ASSERT_FALSE(doc.isEmpty()) << r.out;
  EXPECT_TRUE(doc["defects"].toArray().isEmpty()) << r.out;

  QJsonObject h = doc["headers"].toObject();
  auto header = [&](const char* name) { return h[name].toString().toStdString(); };
  EXPECT_EQ(header("From"), fromName + " <joerg@example.com>");
  EXPECT_EQ(header("Subject"), subjectUtf8);
  EXPECT_EQ(header("X-Note"), noteUtf8);
  EXPECT_EQ(header("X-Long"), longUtf8);
  EXPECT_EQ(header("X-Long-Q"), longUtf8);
  std::string expectedTo = toValue.substr(4);
  EXPECT_EQ(header("To"), expectedTo);

  QJsonArray parts = doc["parts"].toArray();
  ASSERT_EQ(parts.size(), 3);
  auto part = [&](int i, const char* key) { return parts[i].toObject()[key].toString().toStdString(); };
  EXPECT_EQ(part(0, "type"), "text/plain");
  EXPECT_EQ(part(0, "charset"), "utf-8");
  // The text part's line ends may come back as LF: compare the words.
  std::string text = QByteArray::fromHex(QByteArray::fromStdString(part(0, "hex"))).toStdString();
  std::string expected = body;
  for (auto* s : {&text, &expected}) {
    std::size_t p;
    while ((p = s->find("\r\n")) != std::string::npos) s->replace(p, 2, "\n");
  }
  EXPECT_EQ(text, expected);
  EXPECT_EQ(part(1, "filename"), "data.bin");
  EXPECT_EQ(part(1, "type"), "application/octet-stream");
  EXPECT_EQ(part(1, "hex"), Hex(bin));
  EXPECT_EQ(part(2, "filename"), "notes.dat");
  EXPECT_EQ(part(2, "hex"), Hex(qpData));
}
