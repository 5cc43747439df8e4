#pragma once
// Composing a mail's text: address splitting, the header lines in a
// character set with RFC 2047 words where needed, the date and message
// identifier, the body text cut into lines in its transfer encoding, and the
// part header of an attachment.  Shared by the SMTP engine and its
// composing client; no network here.
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace yux::net {

// Usage errors of the SMTP client.
class SmtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TSmtpDefaultEncoding { smtpEnc7bit, smtpEnc8bit, smtpEncQuotedPrintable, smtpEncBase64 };
enum TSmtpContentType { smtpHtml, smtpPlainText };
enum TSmtpEncoding { smtpEncodeNone, smtpEncodeBase64, smtpEncodeQP };

std::string SmtpEncodingName(TSmtpDefaultEncoding e);
std::string SmtpContentTypeName(TSmtpContentType t);

// Raises SmtpException when a value that goes into a command or a header
// line holds CR or LF: no caller's text may start a line of its own.
void SmtpCheckNoLineBreak(std::string_view what, std::string_view value);

// Splits an address entry ("Name <a@b>", "\"Name\" a@b", "a@b") into its
// display name and address.
void SmtpSplitAddress(std::string_view entry, std::string& name, std::string& address);
std::string SmtpAddressOf(std::string_view entry);

// "ddd, d mmm yyyy hh:mm:ss +hhmm" with English names; `utcOffsetMinutes`
// is how far the local time is ahead of UTC.
std::string SmtpFormatDate(const std::tm& local, int utcOffsetMinutes);
// The current local time with the real offset of the time zone in force.
std::string SmtpDateNow();
// "yyyymmddhhnnsszzz" (UTC), ".", four random 16-bit values in hex, "@"
// and the computer's name.
std::string SmtpNewMessageId();

// True for the code pages whose text is always encoded (the stateful and
// multi-byte East Asian ones, and UTF-7).
bool SmtpIsSpecialCodePage(std::uint32_t codePage);

// The header lines of a message.
class TSmtpHeaderLines {
 public:
  std::vector<std::string> Lines;
  std::uint32_t CodePage = 65001;
  std::string CharSet = "utf-8";
  bool MultiByte = true;
  bool FoldHeaders = false;
  bool Allow8bitChars = true;
  bool ConvertToCharset = false;
  std::string EncType = "Q";  // "B" when the default encoding is Base64

  void Clear() { Lines.clear(); }
  void Add(std::string line) { Lines.push_back(std::move(line)); }
  // An address header ("From: ", "To: " ...) from a list of entries.
  void AddAddrHdr(std::string_view name, std::string_view value);
  // A text header ("Subject: ", "X-Mailer: ").
  void AddHdr(std::string_view name, std::string_view text);

 private:
  std::string Convert(std::string_view text) const;
  std::string EncodeWords(std::string_view text, int maxLen, bool phrase) const;
  void AddFolded(const std::string& line);
};

// The encoding the body text goes out in.
TSmtpDefaultEncoding SmtpChooseBodyEncoding(std::string_view text, TSmtpDefaultEncoding requested,
                                            bool allow8bitChars, std::uint32_t codePage);

// The body text being sent, handed out line by line in its encoding.
class TSmtpMessageText {
 public:
  // Takes the text (line breaks of any kind become CR LF) and chooses its
  // encoding.
  void Load(std::string_view text, std::uint32_t codePage, int wrapLen, bool wrap,
            bool allow8bitChars, TSmtpDefaultEncoding requested, bool convertFromSystem);
  TSmtpDefaultEncoding Encoding() const { return encoding_; }
  const std::string& Text() const { return text_; }
  // The next line (without CR LF); false once the text is exhausted.
  bool NextLine(std::string& line);

 private:
  std::string NextPlainLine();
  std::string NextQpLine();
  std::string text_;
  std::size_t pos_ = 0;
  bool done_ = true;
  std::string qpLine_;  // the source line being cut into quoted-printable lines
  std::size_t qpPos_ = 0;
  bool qpActive_ = false;
  TSmtpDefaultEncoding encoding_ = smtpEnc7bit;
  std::uint32_t codePage_ = 65001;
  int wrapLen_ = 76;
  bool wrap_ = false;
};

// The lines that open an attachment part.  Quotes and backslashes in the
// name are escaped; a name with any byte outside printable ASCII goes out
// as an RFC 2231 "filename*" in UTF-8 and an RFC 2047 "name".
std::vector<std::string> SmtpAttachmentPartHeader(const std::string& boundary,
                                                  const std::string& contentType,
                                                  const std::string& name,
                                                  std::uint32_t nameCodePage,
                                                  TSmtpEncoding encoding);

// A piece of text that goes into DATA, as the lines that go on the wire:
// every kind of line break becomes a line end, and each line that begins
// with "." gets a second one.
std::vector<std::string> SmtpDataLines(std::string_view text);

}  // namespace yux::net
