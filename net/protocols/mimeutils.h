#pragma once
// Shared encoding routines of the network suite: Base64 for strings and
// buffers, quoted-printable, RFC 2047 encoded words for header values,
// header folding, the line readers that turn an attachment file into mail
// lines, and a small content-type guess by file extension.  The backup core
// uses the Base64 string forms for its scrambled option lines and the web
// panel's login check.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket/netstream.h"
#include "net/socket/netutils.h"

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

// The set of the bytes of a text.
TNetCharSet NetCharSetOf(std::string_view chars);

// True when the text holds a byte other than tab, LF, CR and 32 to 126.
bool HasNonAsciiChars(std::string_view text);

// One quoted-printable piece of text from `position` (0-based) on.  Bytes 32
// to 126 that are neither "=" nor in `specials` stay; a blank becomes "_"
// when spaceAsUnderscore; every other byte becomes "=" and two upper-case
// hex digits.  The piece holds at most maxLen characters when limitGiven
// (else 3 x the text length), never less than 16.  When the text does not
// fit, the piece ends with a soft break "=" (counted in the limit) and
// `position` stays at the first byte not written; otherwise `position`
// becomes text.size().  With multiByteSafe a character of codePage is never
// split.
std::string QuotedPrintableEncodeEx(std::string_view text, int maxLen, const TNetCharSet& specials,
                                    bool multiByteSafe, std::uint32_t codePage, bool limitGiven,
                                    std::size_t& position, bool spaceAsUnderscore);

// RFC 2047 encoded words ("=?charset?B?...?=" or "=?charset?Q?...?=") for a
// header value in codePage, joined by CR LF TAB.  encType is "B" or "Q";
// any other value, or a charset shorter than 2 characters, raises
// std::runtime_error.  In Q words "?", "=", "_" and the bytes of
// `specials` are always escaped.  A B word is split only between whole
// Base64 groups, and with multiByteSafe only between whole characters.
std::string HdrEncodeInLine(std::string_view text, const TNetCharSet& specials,
                            std::string_view encType, bool multiByteSafe, std::uint32_t codePage,
                            bool doFold, int maxLen, std::string_view charSet);
// The same for wide text, converted piece by piece to codePage (so every
// word holds whole characters, also in stateful code pages).
std::string HdrEncodeInLineW(std::u16string_view text, const TNetCharSet& specials,
                             std::string_view encType, std::uint32_t codePage, bool doFold,
                             int maxLen, std::string_view charSet);
// The same for text in the system code page.
std::string HdrEncodeInLineAnsi(std::string_view text, const TNetCharSet& specials,
                                std::string_view encType, std::uint32_t codePage, bool doFold,
                                int maxLen, std::string_view charSet);

// Cuts the next line of at most maxLen bytes from `position` (0-based): the
// cut falls just after the last break character seen outside a quoted span;
// a CR LF TAB outside quotes ends the line before it.  Without a break
// character the line goes on until one appears, unless forceCut, which cuts
// at maxLen.  `position` moves past the cut and past a CR LF right after
// it; at the end of the text the rest is returned and `position` becomes
// text.size().
std::string NetCutLine(std::string_view text, std::size_t& position, const TNetCharSet& breakChars,
                       int maxLen, bool forceCut, const TNetCharSet& quoteChars,
                       bool multiByteSafe, std::uint32_t codePage);
// Folds a header line at 76 bytes (breaks at TAB, blank, ",", ";", ">",
// "]"): the first line trimmed, each further one trimmed and preceded by a
// TAB, all appended to headerLines.
void FoldHeaderLine(std::vector<std::string>& headerLines, std::string_view text,
                    std::uint32_t codePage, bool multiByteSafe);
// The same with the caller's break characters and length, the lines joined
// by CR LF TAB.
std::string FoldText(std::string_view text, const TNetCharSet& breakChars, int maxLen,
                     std::uint32_t codePage, bool multiByteSafe);

// Attachment readers: the SMTP client asks them for one line at a time.
// The stream is a buffered file stream with a 4096-byte buffer; opening
// failures raise EFOpenError.
std::unique_ptr<TStream> AttachmentOpenStream(const std::string& fileName, std::uint16_t mode);
// A line up to CR (a following LF is taken with it) or a lone LF, at most
// 1022 bytes; `more` is true while the stream has bytes left.
void AttachmentReadPlainLine(TStream& stream, bool& more, std::string& line);
// A quoted-printable line of at most 76 characters including its final soft
// break "=" (every byte outside 32..126, and "." and "=", escaped), so the
// decoded lines joined give the file's bytes exactly.
void AttachmentReadQuotedPrintableLine(TStream& stream, bool& more, std::string& line);
// Up to 26 Base64 lines of 76 characters (57 bytes), joined by CR LF; the
// last line is left unterminated for the line interface to end.
void AttachmentReadBase64Line(TStream& stream, bool& more, std::string& line);
void AttachmentCloseStream(std::unique_ptr<TStream>& stream);

// Content type by extension: htm/html, gif, bmp, jpg/jpeg, txt; anything
// else application/octet-stream.
std::string ContentTypeOfFile(std::string_view fileName);

}  // namespace yux::net
