#pragma once
// The SMTP client with message composition: the body from MailMessage in
// its transfer encoding and the files of EmailFiles as a multipart/mixed
// message, all handed to the engine through its line interface, so that
// sending, counting (CalcMsgSize) and filing (SendToFile) see the same
// lines.
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/protocols/smtpengine.h"

namespace yux::net {

enum TSmtpBeforeOpenFileAction {
  smtpBeforeOpenFileNone,
  smtpBeforeOpenFileNext,
  smtpBeforeOpenFileAbort
};
enum TSmtpAfterOpenFileAction {
  smtpAfterOpenFileNone,
  smtpAfterOpenFileNext,
  smtpAfterOpenFileRetry,
  smtpAfterOpenFileAbort
};

using TSmtpAttachContentType = std::function<void(TCustomSmtpClient* sender, int fileNumber,
                                                  std::string& fileName, std::string& contentType)>;
using TSmtpAttachContentTypeEh =
    std::function<void(TCustomSmtpClient* sender, int fileNumber, std::string& fileName,
                       std::string& contentType, TSmtpEncoding& attEncoding)>;
using TSmtpAttachHeader =
    std::function<void(TCustomSmtpClient* sender, int fileNumber, const std::string& fileName,
                       std::vector<std::string>& hdrLines)>;
using TSmtpBeforeFileOpen = std::function<void(TCustomSmtpClient* sender, int idx,
                                               const std::string& fileName,
                                               TSmtpBeforeOpenFileAction& action)>;
using TSmtpFileOpen = std::function<void(TCustomSmtpClient* sender, int idx,
                                         const std::string& fileName,
                                         std::unique_ptr<TStream>& stream)>;
// `e` is the failure of opening the file, or null.
using TSmtpAfterFileOpen =
    std::function<void(TCustomSmtpClient* sender, int idx, const std::string& fileName,
                       const std::exception* e, TSmtpAfterOpenFileAction& action)>;

class TSmtpCli : public TCustomSmtpClient {
 public:
  TSmtpCli() = default;
  ~TSmtpCli() override;

  TSmtpAttachContentType OnAttachContentType;
  TSmtpAttachContentTypeEh OnAttachContentTypeEh;
  TSmtpAttachHeader OnAttachHeader;
  TSmtpBeforeFileOpen OnBeforeFileOpen;
  TSmtpFileOpen OnFileOpen;
  TSmtpAfterFileOpen OnAfterFileOpen;

  // Empty for a message without attachments.
  const std::string& Boundary() const { return boundary_; }
  TSmtpDefaultEncoding BodyEncoding() const { return msgText_.Encoding(); }

  virtual void TriggerAttachContentType(int fileNumber, std::string& fileName,
                                        std::string& contentType);
  virtual void TriggerAttachContentTypeEh(int fileNumber, std::string& fileName,
                                          std::string& contentType, TSmtpEncoding& attEncoding);
  virtual void TriggerAttachHeader(int fileNumber, const std::string& fileName,
                                   std::vector<std::string>& hdrLines);
  virtual void BuildMimeParts();
  void TriggerGetData(int lineNum, std::string& msgLine, int maxLen, bool& more) override;
  void TriggerHeaderLine(std::string& line) override;
  void Data() override;

 protected:
  void AbortMessageParts() override;

 private:
  // Opens the next file that is not skipped and queues its part header;
  // false when none is left (or the request was aborted).
  bool OpenNextAttachment();
  void CloseAttachment();
  void QueueClosingBoundary();
  bool ReadAttachmentLine(std::string& line);

  std::deque<std::string> mimeList_;
  std::string boundary_;
  std::size_t fileIdx_ = 0;
  bool attachOpen_ = false;
  bool bodyActive_ = false;
  bool closingQueued_ = false;
  TSmtpEncoding attEncoding_ = smtpEncodeBase64;
  std::unique_ptr<TStream> attStream_;
  int appLineNum_ = 0;
  TSmtpMessageText msgText_;
};

}  // namespace yux::net
