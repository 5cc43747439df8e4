#pragma once
// One-time passwords (RFC 2289): an FTP server's reply to USER may carry a
// challenge such as "otp-md5 499 ke1234"; the client then answers PASS with
// the one-time password computed from the challenge and the user's pass
// phrase, in hex or as six dictionary words.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

enum TOtpMethod { OtpKeyNone = 0, OtpKeyMd5 = 1, OtpKeyMd4 = 2, OtpKeySha1 = 3 };

using TOtpKey = std::array<std::uint8_t, 8>;

// The 2048 words of the six-word form, indexed by their 11-bit value.
extern const std::array<const char*, 2048> OtpDictionary;

// The highest sequence number answered: each step is one hash, and a
// server must not be able to keep the client hashing for minutes.
inline constexpr int OtpMaxSequence = 99999;

// Finds a challenge in a text: the first method name of the table ("none",
// "otp-md5", "otp-md4", "otp-sha1") found anywhere in it, then the
// sequence number and the seed (lower-cased).  False for "none", no method,
// a sequence number that is not a decimal number up to OtpMaxSequence, or a
// seed longer than 16 characters or holding a character other than a-z and
// 0-9.
bool OtpParseChallenge(std::string_view text, TOtpMethod& method, int& sequence, std::string& seed);
// The key for the sequence number: hash-and-fold of the lower-cased seed
// followed by the pass phrase, then `sequence` further hash-and-folds.
void OtpComputeKey(TOtpMethod method, std::string_view seed, std::string_view passPhrase,
                   TOtpKey& key, int sequence);
// 16 upper-case hexadecimal characters.
std::string OtpKeyToHex(const TOtpKey& key);
// Six dictionary words separated by single blanks (the last one carries
// the 2-bit checksum).
std::string OtpKeyToWords(const TOtpKey& key);
// True with the one-time password when the text holds a valid challenge.
bool OtpProcessChallenge(std::string_view challenge, std::string_view passPhrase, bool hexOutput,
                         std::string& response);

}  // namespace yux::net
