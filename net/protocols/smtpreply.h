#pragma once
// Reading what an SMTP server says: reply codes, the reply-line buffer, and
// the EHLO lines that announce AUTH mechanisms, SIZE and STARTTLS.  Pure
// functions over text, so that they can be tried with any input.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace yux::net {

// The code a reply line gives when it carries no number.
inline constexpr int kSmtpNoReplyCode = 20600;
// The reply buffer's size: a line that does not fit is a protocol error.
inline constexpr std::size_t kSmtpReplyBufferSize = 4096;

// What one reply (all the lines of a multi-line reply) may hold: beyond
// either bound the server is not answering but flooding.
inline constexpr std::size_t kSmtpMaxReplyBytes = 65536;
inline constexpr std::size_t kSmtpMaxReplyLines = 1000;
// The most mechanism names an EHLO reply is taken to announce.
inline constexpr std::size_t kSmtpMaxAuthTypes = 64;

// The number at the start of a reply line (blanks skipped, an optional
// sign); `continuation` is true when a "-" follows a number other than 0
// right away.  0 when the line holds no number (or the number 0).
int SmtpReplyCode(std::string_view line, bool& continuation);

// Collects received bytes and hands out the complete lines (without their
// CR LF).  A line that cannot complete within the buffer makes Overflow()
// true; the buffer then takes nothing more.
class TSmtpReplyBuffer {
 public:
  // The bytes the buffer can still take.
  std::size_t Room() const { return kSmtpReplyBufferSize - data_.size(); }
  // False (nothing added) when the bytes do not fit.
  bool Append(std::string_view data);
  // The next complete line, or false.
  bool NextLine(std::string& line);
  bool Overflow() const { return overflow_; }
  bool Empty() const { return data_.empty(); }
  std::size_t Size() const { return data_.size(); }
  void Clear() {
    data_.clear();
    overflow_ = false;
  }

 private:
  std::string data_;
  bool overflow_ = false;
};

// What the lines of an EHLO reply announce.
struct TSmtpEhloInfo {
  std::vector<std::string> AuthTypes;  // each name once, upper case
  bool SizeSupported = false;
  std::int64_t MaxMessageSize = 0;
  bool StartTlsOffered = false;
};

// Reads one EHLO reply line ("250-AUTH LOGIN PLAIN", "250 SIZE 1000",
// "250-AUTH=LOGIN", "250-STARTTLS") into `info`: the line's mechanism names
// not yet known are added, up to kSmtpMaxAuthTypes in all.
void SmtpParseEhloLine(std::string_view line, TSmtpEhloInfo& info);

}  // namespace yux::net
