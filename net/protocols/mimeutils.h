#pragma once
// Shared encoding routines of the network suite: Base64 for strings and
// buffers.  The backup core uses the string forms for its scrambled option
// lines and the web panel's login check.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

// Standard Base64 (A-Z a-z 0-9 + /, "=" padding), no line breaks.
std::string EncodeBase64Buffer(const void* data, std::size_t len);
std::string EncodeBase64String(std::string_view text);

// Bytes of a Base64 text.  CR and LF at the start of a group are skipped.
// Decoding stops at the first character outside the alphabet (what was
// decoded before it is kept); a final group shorter than four characters
// gives the whole bytes its characters carry.  Never reads past the end.
std::string DecodeBase64String(std::string_view text);

// Size of the Base64 form of `size` bytes in lines of 76 characters, each
// ended by CR LF.
std::int64_t CalcBase64EncodedSize(std::int64_t size);

}  // namespace yux::net
