#pragma once
// TMimeDecode: the line-level MIME decoding of the network suite.  The web
// panel decodes the Base64 text of an "Authorization: Basic" header with it;
// every decoded line passes the recogniser of uuencoded and yEnc files
// embedded in text lines.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/socket/netstream.h"

namespace yux::net {

class TMimeDecode {
 public:
  using TNotifyEvent = std::function<void(TMimeDecode* sender)>;
  using TMimeDecodePartLine = std::function<void(TMimeDecode* sender, const char* data, int len)>;
  using TInlineDecodeBegin = std::function<void(TMimeDecode* sender, const std::string& fileName)>;
  using TInlineDecodeLine = std::function<void(TMimeDecode* sender, const char* line, int len)>;
  using TInlineDecodeEnd = std::function<void(TMimeDecode* sender, const std::string& fileName)>;

  TMimeDecode();
  virtual ~TMimeDecode();
  TMimeDecode(const TMimeDecode&) = delete;
  TMimeDecode& operator=(const TMimeDecode&) = delete;

  // The current line: a zero-terminated buffer owned by the caller.
  char* LineData = nullptr;
  // Decode the lines of an embedded file even without an
  // OnInlineDecodeLine handler.
  bool InlineDecodeLines = false;
  bool InlineDetectionOff = false;
  // Receives every decoded part line (not owned).
  TStream* DestStream = nullptr;
  std::uint32_t CodePage;
  std::vector<std::string> HeaderLines;

  bool InInlineDecode() const { return FInInlineDecode; }
  bool InlineIsYEnc() const { return FInlineIsYEnc; }
  const std::string& InlineFileName() const { return FInlineFileName; }
  int YEncLineLength() const { return FYEncLineLength; }
  int YEncSize() const { return FYEncSize; }
  int YEncRemaining() const { return FYEncRemaining; }

  TNotifyEvent OnHeaderBegin, OnHeaderLine, OnHeaderEnd;
  TNotifyEvent OnPartHeaderBegin, OnPartHeaderLine, OnPartHeaderEnd;
  TNotifyEvent OnPartBegin;
  TMimeDecodePartLine OnPartLine;
  TNotifyEvent OnPartEnd, OnMessageEnd;
  TInlineDecodeBegin OnInlineDecodeBegin;
  TInlineDecodeLine OnInlineDecodeLine;
  TInlineDecodeEnd OnInlineDecodeEnd;

  // Decodes LineData in place: the bytes from the start of the buffer, then
  // a zero byte; then ProcessPartLine.
  void DecodeBase64Line();
  void ProcessPartLine(const char* data, int len);
  // True when the line belongs to an embedded file (begin, data or end).
  bool DecodeInlineLine(const char* line);

 protected:
  virtual void TriggerHeaderBegin();
  virtual void TriggerHeaderLine();
  virtual void TriggerHeaderEnd();
  virtual void TriggerPartHeaderBegin();
  virtual void TriggerPartHeaderLine();
  virtual void TriggerPartHeaderEnd();
  virtual void TriggerPartBegin();
  virtual void TriggerPartLine(const char* data, int len);
  virtual void TriggerPartEnd();
  virtual void TriggerMessageEnd();
  virtual void TriggerInlineDecodeBegin(const std::string& fileName);
  virtual void TriggerInlineDecodeLine(const char* line, int len);
  virtual void TriggerInlineDecodeEnd(const std::string& fileName);

 private:
  std::string DecodeEmbeddedLine(const std::string& line) const;
  void ParseYEncBegin(const std::string& line);

  bool FInInlineDecode = false;
  bool FInlineIsYEnc = false;
  std::string FInlineFileName;
  int FYEncLineLength = 0;
  int FYEncSize = 0;
  int FYEncRemaining = 0;
};

}  // namespace yux::net
