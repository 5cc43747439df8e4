#include "net/protocols/smtpcli.h"

#include <cctype>
#include <ctime>
#include <filesystem>

#include "net/protocols/mimeutils.h"
#include "net/socket/bufferedfilestream.h"
#include "net/socket/codepage.h"

namespace yux::net {

namespace {

std::uint16_t OpenMode(TSmtpShareMode m) {
  switch (m) {
    case smtpShareExclusive: return fmOpenRead | fmShareExclusive;
    case smtpShareDenyNone: return fmOpenRead | fmShareDenyNone;
    case smtpShareDenyWrite: return fmOpenRead | fmShareDenyWrite;
    default: return fmOpenRead;
  }
}

bool StartsWithNoCase(const std::string& s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

}  // namespace

TSmtpCli::~TSmtpCli() { attStream_.reset(); }

void TSmtpCli::TriggerAttachContentType(int fileNumber, std::string& fileName,
                                        std::string& contentType) {
  if (OnAttachContentType) OnAttachContentType(this, fileNumber, fileName, contentType);
}

void TSmtpCli::TriggerAttachContentTypeEh(int fileNumber, std::string& fileName,
                                          std::string& contentType, TSmtpEncoding& attEncoding) {
  if (OnAttachContentTypeEh)
    OnAttachContentTypeEh(this, fileNumber, fileName, contentType, attEncoding);
}

void TSmtpCli::TriggerAttachHeader(int fileNumber, const std::string& fileName,
                                   std::vector<std::string>& hdrLines) {
  if (OnAttachHeader) OnAttachHeader(this, fileNumber, fileName, hdrLines);
}

void TSmtpCli::Data() {
  BuildMimeParts();
  TCustomSmtpClient::Data();
}

void TSmtpCli::BuildMimeParts() {
  CloseAttachment();
  bodyActive_ = true;
  fileIdx_ = 0;
  attachOpen_ = false;
  closingQueued_ = false;
  appLineNum_ = 0;
  std::string body;
  for (std::size_t i = 0; i < MailMessage.size(); ++i) {
    if (i) body += "\r\n";
    body += MailMessage[i];
  }
  msgText_.Load(body, CodePage(), WrapMsgMaxLineLen(), WrapMessageText, Allow8bitChars,
                DefaultEncoding, ConvertToCharset);
  mimeList_.clear();
  if (EmailFiles().empty()) {
    boundary_.clear();
    return;
  }
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%m%d%y%H%M", &local);
  boundary_ = std::string("= Multipart Boundary ") + stamp;
  mimeList_ = {"This is a multipart MIME message.",
               "",
               "--" + boundary_,
               "Content-Type: " + SmtpContentTypeName(ContentType()) + "; charset=\"" + CharSet() +
                   "\"",
               "Content-Transfer-Encoding: " + SmtpEncodingName(msgText_.Encoding()),
               ""};
}

void TSmtpCli::TriggerHeaderLine(std::string& line) {
  if (!boundary_.empty()) {
    if (StartsWithNoCase(line, "CONTENT-TYPE:"))
      line = "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary_ + "\"";
  } else if (StartsWithNoCase(line, "CONTENT-TYPE: TEXT") &&
             msgText_.Encoding() != smtpEnc7bit) {
    line += "\r\nContent-Transfer-Encoding: " + SmtpEncodingName(msgText_.Encoding());
  }
  TCustomSmtpClient::TriggerHeaderLine(line);
}

void TSmtpCli::TriggerGetData(int lineNum, std::string& msgLine, int maxLen, bool& more) {
  more = true;
  if (!mimeList_.empty()) {
    msgLine = mimeList_.front();
    mimeList_.pop_front();
    return;
  }
  if (bodyActive_) {
    if (msgText_.NextLine(msgLine)) return;
    bool appMore = false;
    if (OnGetData) {
      appMore = true;
      msgLine.clear();
      ++appLineNum_;
      OnGetData(this, appLineNum_, msgLine, maxLen, appMore);
    }
    if (appMore) return;
    bodyActive_ = false;
  }
  (void)lineNum;
  if (attachOpen_) {
    if (ReadAttachmentLine(msgLine)) return;
  }
  if (OpenNextAttachment()) {
    msgLine = mimeList_.front();
    mimeList_.pop_front();
    return;
  }
  if (!mimeList_.empty()) {  // the closing boundary
    msgLine = mimeList_.front();
    mimeList_.pop_front();
    return;
  }
  more = false;
}

bool TSmtpCli::ReadAttachmentLine(std::string& line) {
  bool more = false;
  if (SizeCountMode() && attEncoding_ == smtpEncodeBase64) {
    // Counting: the encoded size follows from the file size; the empty line
    // handed out instead counts its own line end.
    MessageSize += CalcBase64EncodedSize(attStream_->Size()) - 2;
    line.clear();
  } else if (attEncoding_ == smtpEncodeBase64) {
    AttachmentReadBase64Line(*attStream_, more, line);
  } else if (attEncoding_ == smtpEncodeQP) {
    AttachmentReadQuotedPrintableLine(*attStream_, more, line);
  } else {
    AttachmentReadPlainLine(*attStream_, more, line);
  }
  const bool counted = SizeCountMode() && attEncoding_ == smtpEncodeBase64;
  if (!more) {
    CloseAttachment();
    ++fileIdx_;
    if (fileIdx_ >= EmailFiles().size()) QueueClosingBoundary();
    // An empty last read (an empty file) adds no line: an empty line would
    // become a line break of the file's content.
    if (line.empty() && !counted) return false;
  }
  return true;
}

void TSmtpCli::QueueClosingBoundary() {
  if (closingQueued_ || boundary_.empty()) return;
  closingQueued_ = true;
  mimeList_.push_back("");
  mimeList_.push_back("--" + boundary_ + "--");
}

bool TSmtpCli::OpenNextAttachment() {
  const std::vector<std::string>& files = EmailFiles();
  while (fileIdx_ < files.size()) {
    const std::string& fileName = files[fileIdx_];
    const int idx = int(fileIdx_);
    TSmtpBeforeOpenFileAction before = smtpBeforeOpenFileNone;
    if (OnBeforeFileOpen) OnBeforeFileOpen(this, idx, fileName, before);
    if (before == smtpBeforeOpenFileAbort) {
      Abort();
      return false;
    }
    if (before == smtpBeforeOpenFileNext) {
      ++fileIdx_;
      continue;
    }
    bool skip = false;
    for (;;) {
      std::unique_ptr<TStream> stream;
      if (OnFileOpen) OnFileOpen(this, idx, fileName, stream);
      std::exception_ptr failure;
      const std::exception* failurePtr = nullptr;
      if (!stream) {
        try {
          stream = AttachmentOpenStream(fileName, OpenMode(ShareMode));
        } catch (const std::exception&) {
          failure = std::current_exception();
        }
      }
      TSmtpAfterOpenFileAction after = smtpAfterOpenFileNone;
      if (OnAfterFileOpen) {
        if (failure) {
          try {
            std::rethrow_exception(failure);
          } catch (const std::exception& e) {
            failurePtr = &e;
            OnAfterFileOpen(this, idx, fileName, failurePtr, after);
          }
        } else {
          OnAfterFileOpen(this, idx, fileName, nullptr, after);
        }
      }
      if (after == smtpAfterOpenFileAbort) {
        Abort();
        return false;
      }
      if (after == smtpAfterOpenFileNext) {
        skip = true;
        break;
      }
      if (after == smtpAfterOpenFileRetry) continue;
      if (failure) std::rethrow_exception(failure);
      attStream_ = std::move(stream);
      break;
    }
    if (skip) {
      ++fileIdx_;
      continue;
    }
    std::string name = std::filesystem::path(fileName).filename().string();
    std::string type = ContentTypeOfFile(name);
    attEncoding_ = smtpEncodeBase64;
    TriggerAttachContentType(idx, name, type);
    TriggerAttachContentTypeEh(idx, name, type, attEncoding_);
    SmtpCheckNoLineBreak("A content type", type);
    std::vector<std::string> part =
        SmtpAttachmentPartHeader(boundary_, type, name, NetSystemCodePage(), attEncoding_);
    std::vector<std::string> extra;
    TriggerAttachHeader(idx, name, extra);
    part.insert(part.end(), extra.begin(), extra.end());
    part.push_back("");
    mimeList_.insert(mimeList_.end(), part.begin(), part.end());
    attachOpen_ = true;
    return true;
  }
  QueueClosingBoundary();
  return false;
}

void TSmtpCli::CloseAttachment() {
  AttachmentCloseStream(attStream_);
  attachOpen_ = false;
}

void TSmtpCli::AbortMessageParts() {
  CloseAttachment();
  mimeList_.clear();
  bodyActive_ = false;
}

}  // namespace yux::net
