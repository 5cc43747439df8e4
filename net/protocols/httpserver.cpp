#include "net/protocols/httpserver.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>

#include "net/protocols/mimeutils.h"
#include "net/socket/netutils.h"

namespace yux::net {

namespace {


std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

std::string Trim(std::string s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

// The Content-Length value: plain digits within 64 bits, else -1.
std::int64_t ParseContentLength(const std::string& v) {
  std::string t = Trim(v);
  if (t.empty() || t.size() > 19) return -1;
  std::int64_t n = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    if (n > (INT64_MAX - (c - '0')) / 10) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

const char kPage400[] =
    "<HTML><HEAD><TITLE>400 Bad Request</TITLE></HEAD><BODY><H1>400 Bad Request</H1>The request "
    "could not be understood by the server due to malformed syntax.<P></BODY></HTML>\r\n";
const char kPage414[] =
    "<HTML><HEAD><TITLE>414 Request-URI Too Long</TITLE></HEAD><BODY><H1>414 Request-URI Too "
    "Long</H1><P></BODY></HTML>\r\n";
const char kPage416[] =
    "<HTML><HEAD><TITLE>416 Requested range not satisfiable</TITLE></HEAD><BODY><H1>416 "
    "Requested range not satisfiable</H1><P></BODY></HTML>\r\n";

}  // namespace

// ===========================================================================
// THttpConnection: the request cycle

THttpConnection::THttpConnection() {
  // Attach again so the request-done message number is counted.
  DetachHiddenWindow();
  AttachHiddenWindow();
  // Lines are split here rather than by the socket's line mode: requests
  // that follow a body or wait behind an answer are already buffered, and
  // they must be found as soon as the connection is ready for them.
  LineEdit = false;
  LineEnd = "\n";
  ComponentOptions.Include(wsoNoReceiveLoop);
  // An answer is a header and blocks written one after another: without
  // this, each small last segment would wait for the client's delayed ACK.
  ComponentOptions.Include(wsoTcpNoDelay);
  OnDataAvailable = [this](TCustomWSocket* s, WORD e) {
    // The socket's receive loop would swallow a failure and leave the
    // request half handled: it ends this connection instead.
    try {
      HandleDataAvailable(s, e);
    } catch (const std::exception& ex) {
      ProcessBgException(ex);
    }
  };
}

THttpConnection::~THttpConnection() { ReleaseWindowOnce(); }

void THttpConnection::AllocateMessageNumbers() {
  TSslWSocketClient::AllocateMessageNumbers();
  msgRequestDone_ = AllocateMessage();
  msgProcessInput_ = AllocateMessage();
}

void THttpConnection::FreeMessageNumbers() {
  TSslWSocketClient::FreeMessageNumbers();
  ReleaseMessage(msgRequestDone_);
  ReleaseMessage(msgProcessInput_);
}

void THttpConnection::HandleWindowMessage(TMessage& msg) {
  if (msgRequestDone_ && msg.Msg == msgRequestDone_) {
    try {
      HandleRequestDoneMessage();
    } catch (const std::exception& e) {
      ProcessBgException(e);
    }
    return;
  }
  if (msgProcessInput_ && msg.Msg == msgProcessInput_) {
    try {
      ProcessInput();
      if (Connected() && inbuf_.size() < size_t(kMaxPipelinedBytes)) ReadInput();
    } catch (const std::exception& e) {
      ProcessBgException(e);
    }
    return;
  }
  TSslWSocketClient::HandleWindowMessage(msg);
}

void THttpConnection::BeginSession() {
  if (!Banner.empty()) SendString(Banner);
}

void THttpConnection::HandleRequestDoneMessage() { TriggerHttpRequestDone(); }

int THttpConnection::TakeBuffered(void* buffer, int len) {
  int n = int(std::min(inbuf_.size(), size_t(std::max(len, 0))));
  std::memcpy(buffer, inbuf_.data(), size_t(n));
  inbuf_.erase(0, size_t(n));
  return n;
}

int THttpConnection::Receive(void* buffer, int len) {
  if (State != hcPostedData) {
    if (!inbuf_.empty()) return TakeBuffered(buffer, len);
    return TSslWSocketClient::Receive(buffer, len);
  }
  int want = int(std::min<std::int64_t>(len, PostedRemaining));
  int n = 0;
  if (want > 0)
    n = !inbuf_.empty() ? TakeBuffered(buffer, want) : TSslWSocketClient::Receive(buffer, want);
  if (n > 0) PostedRemaining -= n;
  if (PostedRemaining <= 0) {
    PostedRemaining = 0;
    State = hcRequest;
    requestStarted_ = 0;  // the whole request is in
  }
  return n;
}

void THttpConnection::EndPostedData() {
  if (State == hcPostedData && PostedRemaining > 0) {
    // The application stopped early: the rest of the body is still read
    // and dropped, never taken for the next request.
    AcceptPostedData = false;
    if (msgProcessInput_) platform::PostMessage(GetWindowHandle(), msgProcessInput_, 0, 0);
    return;
  }
  State = hcRequest;
}

void THttpConnection::PrepareGracefulClose() {
  KeepAliveTimeSec = 5;
  CloseAfterAnswer = true;
  OnDataSent = [this](TCustomWSocket* s, WORD e) { HandleDataSent(s, e); };
}

void THttpConnection::RefuseRequest(bool unimplemented) {
  refused_ = true;
  answering_ = true;
  KeepAlive = false;
  PrepareGracefulClose();
  if (!Connected()) return;
  if (unimplemented)
    SendUnimplementedPage();
  else
    SendBadRequestPage();
}

void THttpConnection::HandleDataAvailable(TCustomWSocket*, WORD error) {
  if (State == hcPostedData && AcceptPostedData && OnPostedData && inbuf_.empty()) {
    OnPostedData(this, error);
    return;
  }
  if (inbuf_.size() >= size_t(kMaxPipelinedBytes)) return;  // read again once processed
  ReadInput();
  ProcessInput();
}

void THttpConnection::ReadInput() {
  char buf[16384];
  int n = TSslWSocketClient::Receive(buf, sizeof buf);
  if (n > 0) {
    inbuf_.append(buf, size_t(n));
    if (!answering_) MarkRequestStarted();
  }
}

void THttpConnection::MarkRequestStarted() {
  if (requestStarted_ == 0) requestStarted_ = platform::GetTickCount() | 1;
}

bool THttpConnection::RequestOverdue(DWORD now, std::uint32_t limitSec) const {
  return limitSec != 0 && requestStarted_ != 0 &&
         NetTickDiff(requestStarted_, now) > std::uint64_t(limitSec) * 1000;
}

void THttpConnection::ProcessInput() {
  while (!inbuf_.empty()) {
    if (!Connected()) {
      inbuf_.clear();
      return;
    }
    if (State == hcPostedData) {
      if (AcceptPostedData && OnPostedData) {
        size_t before = inbuf_.size();
        OnPostedData(this, 0);
        if (inbuf_.size() == before) return;  // the application reads later
        continue;
      }
      // A body nobody takes is read and dropped, at most 1024 bytes a time.
      Receive(scratch_.data(), int(scratch_.size()));
      continue;
    }
    if (refused_) {
      // Nothing more is answered on this connection.
      inbuf_.clear();
      return;
    }
    // A pipelined request waits until the current answer is sent.
    if (answering_) return;
    size_t lf = inbuf_.find('\n');
    if (lf == std::string::npos ? inbuf_.size() > size_t(kMaxRequestLine)
                                : lf >= size_t(kMaxRequestLine)) {
      RefuseRequest();
      return;
    }
    if (lf == std::string::npos) return;
    std::string line = inbuf_.substr(0, lf);
    inbuf_.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    HandleLine(line);
  }
}

void THttpConnection::HandleLine(const std::string& line) {
  if (State == hcSendData) {
    if (line.empty()) return;
    State = hcRequest;
  }
  if (State == hcRequest) {
    if (line.empty()) return;  // blank lines before a request are skipped
    MarkRequestStarted();  // a pipelined request starts when it is read
    HeaderContentType.clear();
    HeaderAccept.clear();
    HeaderReferer.clear();
    HeaderAcceptLanguage.clear();
    HeaderAcceptEncoding.clear();
    HeaderUserAgent.clear();
    HeaderAuthorization.clear();
    HeaderCookie.clear();
    HeaderHost.clear();
    HostName.clear();
    HostPort.clear();
    HeaderConnection.clear();
    ContentLength = 0;
    HasContentLength = false;
    badContentLength_ = false;
    transferEncoding_ = false;
    Ranges.clear();
    HeaderLines.clear();
    headerCount_ = 0;
    AuthUserName.clear();
    AuthPassword.clear();
    AuthDigestUri.clear();
    if (Server) {
      AuthTypes = Server->AuthTypes;
      AuthRealm = Server->AuthRealm;
      AuthDigestNonceLifeTimeMin = Server->AuthDigestNonceLifeTimeMin;
    }
    KeepAlive = false;
    KeepAliveAsked = false;
    VersionCode = 11;
    if (KeepAliveTimeSec != 0) --RequestsLeft;
    AnswerStatus = 0;
    AcceptPostedData = false;
    OnDataSent = [this](TCustomWSocket* s, WORD e) { HandleDataSent(s, e); };
    docFile_ = TDocFileKey{};
    ParseRequestLine(line);
    SendBody = Method != "HEAD";
    State = hcHeader;
    if (Version != "HTTP/1.0" && Version != "HTTP/1.1") {
      // Not a version this server speaks: the answer must not echo it.
      Version = "HTTP/1.1";
      RefuseRequest();
    }
    return;
  }
  // hcHeader
  if (!line.empty()) {
    if (++headerCount_ > kMaxHeaderLines) {
      RefuseRequest();
      return;
    }
    // "Transfer-Encoding : chunked" is no header this server reads, but a
    // proxy in front may read it: the body's end would be ambiguous.
    size_t colon = line.find(':');
    if (colon != std::string::npos && colon > 0 && (line[colon - 1] == ' ' || line[colon - 1] == '\t')) {
      RefuseRequest();
      return;
    }
    try {
      InterpretHeaderLine(line);
    } catch (...) {
    }
    HeaderLines.push_back(line);
    return;
  }
  EndOfHeader();
}

void THttpConnection::InterpretHeaderLine(const std::string& line) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  size_t v = line.find_first_not_of(' ', colon + 1);
  std::string value = v == std::string::npos ? "" : line.substr(v);
  if (IStartsWith(line, "content-type:")) {
    HeaderContentType = value;
  } else if (IStartsWith(line, "content-length:")) {
    std::int64_t n = ParseContentLength(value);
    // A second Content-Length with another value makes the body's end
    // ambiguous: refused like an unreadable one.
    if (n < 0 || (HasContentLength && n != ContentLength)) badContentLength_ = true;
    HasContentLength = true;
    ContentLength = n < 0 ? -1 : n;
  } else if (IStartsWith(line, "transfer-encoding:")) {
    transferEncoding_ = true;
  } else if (IStartsWith(line, "Accept:")) {
    HeaderAccept = value;
  } else if (IStartsWith(line, "Referer:")) {
    HeaderReferer = value;
  } else if (IStartsWith(line, "Accept-Language:")) {
    HeaderAcceptLanguage = value;
  } else if (IStartsWith(line, "Accept-Encoding:")) {
    HeaderAcceptEncoding = value;
  } else if (IStartsWith(line, "User-Agent:")) {
    HeaderUserAgent = value;
  } else if (IStartsWith(line, "Authorization:")) {
    HeaderAuthorization = value;
  } else if (IStartsWith(line, "Cookie:")) {
    HeaderCookie = value;
  } else if (IStartsWith(line, "Host:")) {
    HeaderHost = value;
    size_t c = value.find(':');
    if (c == std::string::npos) {
      HostName = value;
      HostPort = Server ? Server->Port() : "";
    } else {
      HostName = value.substr(0, c);
      HostPort = value.substr(c + 1, 100);
    }
  } else if (IStartsWith(line, "Connection:")) {
    HeaderConnection = value;
    KeepAliveAsked = IEquals(Trim(value), "keep-alive");
    if (VersionCode == 10)
      KeepAlive = KeepAliveAsked;
    else if (IEquals(Trim(value), "close"))
      KeepAlive = false;
  } else if (IStartsWith(line, "Range:")) {
    ParseRangeHeader(value, Ranges);
  }
}

void THttpConnection::EndOfHeader() {
  if (transferEncoding_) {
    RefuseRequest(true);
    return;
  }
  if (badContentLength_ || ContentLength < 0) {
    RefuseRequest();
    return;
  }
  answering_ = true;
  State = ContentLength > 0 ? hcPostedData : hcSendData;
  if (ContentLength == 0) requestStarted_ = 0;
  // Any body is consumed before the next request line is read: given to
  // the application when it accepts it, else read and dropped.
  PostedRemaining = ContentLength;
  ProcessRequest();
}

void THttpConnection::ParseRequestLine(const std::string& line) {
  size_t i = line.find(' ');
  Method = Upper(line.substr(0, i));
  std::string target, version;
  if (i != std::string::npos) {
    i = line.find_first_not_of(' ', i);
    if (i != std::string::npos) {
      size_t e = line.find(' ', i);
      target = line.substr(i, e == std::string::npos ? std::string::npos : e - i);
      if (e != std::string::npos) {
        size_t s = line.find_first_not_of(' ', e);
        if (s != std::string::npos) version = line.substr(s, line.find(' ', s) - s);
      }
    }
  }
  requestTarget_ = target;
  size_t q = target.find('?');
  if (q == std::string::npos) {
    Path = target;
    Params.clear();
  } else {
    Path = target.substr(0, q);
    Params = target.substr(q + 1);
  }
  Version = Trim(Upper(version));
  if (Version.empty()) Version = "HTTP/1.0";
  VersionCode = Version == "HTTP/1.0" ? 10 : 11;
  KeepAlive = VersionCode == 11;
}

void THttpConnection::ProcessRequest() {
  if (KeepAlive && KeepAliveTimeSec != 0) KeepAlive = RequestsLeft > 0;
  TriggerBeforeProcessRequest();
  if (!Connected()) return;
  if (requestTarget_.size() > size_t(kMaxRequestTarget)) {
    refused_ = true;
    KeepAlive = false;
    PrepareGracefulClose();
    ErrorPage("414 Request-URI Too Long", "text/html", kPage414);
    return;
  }
  if (Path == "/") {
    Document = DocDir;
  } else if (MapRequestPath(Path, DocDir, Document) != TPathMapResult::Ok) {
    RefuseRequest();
    return;
  }
  FindDocument();
  CheckAuthentication();
  if (Method == "GET") {
    HandleGetRequest();
  } else if (Method == "POST") {
    HandlePostRequest();
  } else if (Method == "HEAD") {
    HandleHeadRequest();
  } else {
    bool handled = false;
    TriggerUnknownRequestMethod(handled);
    if (!handled) {
      RefuseRequest(true);
      return;
    }
  }
  TriggerBeforeAnswer();
}

void THttpConnection::FindDocument() {
  // Mostly one open answers every question about the document: whether it
  // lies inside the folder, what it is, whether it can be read.  What that
  // cannot settle is asked path by path.
  bool trailingSlash = !Document.empty() && Document.back() == '/';
  if (FindDocumentBeneath(DocDir, Document, found_, Server ? &Server->DocumentRoot() : nullptr)) {
    OutsideRoot = false;
    if (!found_.Directory) return;
    std::string index = Document + (trailingSlash ? "" : "/") + DefaultDoc;
    TFoundDocument file;
    if (OpenRegularFile(index, file) || IsRegularFile(index)) {
      Document = index;
      // The index file is named by path, not found beneath the folder: a
      // link by that name may lead out of it.
      OutsideRoot = !DocumentInsideRoot(Document, DocDir);
      if (file.Regular) {
        found_.Reset();
        std::swap(found_.Fd, file.Fd);
        found_.Regular = true;
        found_.Size = file.Size;
        found_.MTimeSec = file.MTimeSec;
        found_.MTimeNsec = file.MTimeNsec;
        found_.Dev = file.Dev;
        found_.Ino = file.Ino;
        found_.Path = Document;
      }
    }
    return;
  }
  // A name the file system cannot hold names no file: not found, rather
  // than outside the folder because its real path cannot be worked out.
  OutsideRoot = FitsFileSystem(Document) && !DocumentInsideRoot(Document, DocDir);
  const std::string folder = Document;
  if (trailingSlash) {
    if (IsRegularFile(Document + DefaultDoc)) Document += DefaultDoc;
  } else if (IsDirectory(Document) && IsRegularFile(Document + "/" + DefaultDoc)) {
    Document += "/" + DefaultDoc;
  }
  if (Document != folder && !OutsideRoot) OutsideRoot = !DocumentInsideRoot(Document, DocDir);
}

bool THttpConnection::DocumentIsDirectory() {
  if (!found_.Path.empty() && found_.Path == Document) return found_.Directory;
  return IsDirectory(Document);
}

bool THttpConnection::DocumentIsReadableFile(bool forReading) {
  if (!found_.Path.empty() && found_.Path == Document) return found_.Regular && found_.Fd >= 0;
  return IsRegularFile(Document) && (!forReading || CanOpenForReading(Document));
}

void THttpConnection::HandleGetRequest() { DispatchGetOrHead(true); }
void THttpConnection::HandleHeadRequest() { DispatchGetOrHead(false); }

void THttpConnection::DispatchGetOrHead(bool get) {
  THttpGetFlag flags;
  if (!Authenticated)
    flags = hg401;
  else if (!OutsideRoot || Options.Contains(hoAllowOutsideRoot))
    flags = Options.Contains(hoAllowDirList) && DocumentIsDirectory() ? hgSendDirList : hgSendDoc;
  else
    flags = hg403;
  if (get)
    TriggerGetDocument(flags);
  else
    TriggerHeadDocument(flags);
  if (!Connected()) return;
  auto errorPage = [&](void (THttpConnection::*page)()) {
    if (!KeepAlive) PrepareGracefulClose();
    (this->*page)();
  };
  switch (flags) {
    case hgSendDoc:
      if (DocumentIsReadableFile(get))
        SendDocumentFile(get);
      else
        errorPage(&THttpConnection::SendNotFoundPage);
      break;
    case hgSendStream: SendDocStream(); break;
    case hgWillSendMySelf: break;
    case hg404: errorPage(&THttpConnection::SendNotFoundPage); break;
    case hg403: errorPage(&THttpConnection::SendForbiddenPage); break;
    case hg401: errorPage(&THttpConnection::SendUnauthorizedPage); break;
    case hg400:
      if (get) {
        errorPage(&THttpConnection::SendBadRequestPage);
        break;
      }
      [[fallthrough]];
    default:
      if (flags == hgSendDirList) {
        SendDirectoryListing(get);
        break;
      }
      if (!KeepAlive) RefuseRequest();
  }
}

void THttpConnection::HandlePostRequest() {
  if (!HasContentLength || ContentLength < 0) {
    RefuseRequest();
    return;
  }
  THttpGetFlag flags;
  if (!Authenticated)
    flags = hg401;
  else if (!OutsideRoot || Options.Contains(hoAllowOutsideRoot))
    flags = hg404;
  else
    flags = hg403;
  AcceptPostedData = false;
  TriggerPostDocument(flags);
  if (!Connected()) return;
  switch (flags) {
    case hg404:
    case hg403:
    case hg401:
      if (!KeepAlive) PrepareGracefulClose();
      if (flags == hg404)
        SendNotFoundPage();
      else if (flags == hg403)
        SendForbiddenPage();
      else
        SendUnauthorizedPage();
      break;
    case hg400: RefuseRequest(); break;
    case hgAcceptData:
      AcceptPostedData = true;
      break;
    default:
      if (!KeepAlive) PrepareGracefulClose();
  }
}

// ---------------------------------------------------------------------------
// Authentication

void THttpConnection::CheckAuthentication() {
  if (Server) {
    AuthTypes = Server->AuthTypes;
    AuthRealm = Server->AuthRealm;
    AuthDigestNonceLifeTimeMin = Server->AuthDigestNonceLifeTimeMin;
    if (Server->OnAuthGetType) Server->OnAuthGetType(Server, this);
  }
  TAuthenticationTypes noneOnly{atNone};
  if (AuthTypes.Empty() || AuthTypes == noneOnly) {
    Authenticated = true;
    return;
  }
  Authenticated = false;
  const std::string& h = HeaderAuthorization;
  AuthType = atNone;
  if (h.size() > 4) {
    if (IStartsWith(h, "ntlm "))
      AuthType = atNtlm;
    else if (IStartsWith(h, "digest "))
      AuthType = atDigest;
    else if (IStartsWith(h, "basic "))
      AuthType = atBasic;
  }
  if (AuthType == atNone || !AuthTypes.Contains(AuthType)) return;
  AuthTypes = TAuthenticationTypes{AuthType};
  auto result = [&](bool ok) {
    if (Server && Server->OnAuthResult) Server->OnAuthResult(Server, this, ok);
  };
  if (AuthType == atBasic) {
    std::string dec = h.size() > 6 ? DecodeBase64String(h.substr(6)) : "";
    if (dec.empty()) return;
    size_t c = dec.find(':');
    AuthUserName = dec.substr(0, c);
    AuthPassword = c == std::string::npos ? "" : dec.substr(c + 1);
    std::string expected;
    TriggerAuthGetPassword(expected);
    Authenticated = BasicPasswordMatches(expected);
    result(Authenticated);
    return;
  }
  if (AuthType == atDigest) {
    bool stale = false;
    Authenticated = CheckDigest(stale);
    digestStale_ = stale;
    if (!stale) result(Authenticated);
    return;
  }
  // NTLM
  if (!ntlm_) {
    ntlm_ = std::make_unique<TNtlmAuthSession>();
    ntlm_->OnBeforeAccept = [this](TNtlmAuthSession&, bool& allow) {
      if (Server && Server->OnAuthNtlmBeforeValidate)
        Server->OnAuthNtlmBeforeValidate(Server, this, allow);
    };
    ntlm_->OnAuthGetPassword = [this](TNtlmAuthSession& s, std::string& password) {
      AuthUserName = s.User();
      TriggerAuthGetPassword(password);
    };
  }
  Authenticated = ntlm_->ProcessMessage(h.size() > 5 ? std::string_view(h).substr(5) : "");
  if (ntlm_->State() == AuthSucceeded || ntlm_->State() == AuthFailed) {
    AuthUserName = ntlm_->User();
    result(Authenticated);
    if (ntlm_->State() == AuthSucceeded) ntlm_->ReleaseContext();
  }
}

bool THttpConnection::BasicPasswordMatches(const std::string& password) {
  return password == AuthPassword;
}

bool THttpConnection::CheckDigest(bool& stale) {
  stale = false;
  TDigestAuthorization a;
  std::string value = HeaderAuthorization.substr(7);
  if (!DigestParseAuthorization(value, a) || !Server) return false;
  AuthUserName = a.User;
  AuthDigestUri = a.Uri;
  // The nonce must be one this server made for this realm and opaque.
  if (a.Realm != AuthRealm || !DigestCheckNonce(a.Nonce, Server->ServerSecret(), a.Realm, a.Opaque))
    return false;
  if (DigestDateTimeNow() - a.NonceTime > double(AuthDigestNonceLifeTimeMin) / 1440.0) {
    stale = true;
    return false;
  }
  // The answer must be for this very request.
  if (a.Uri != requestTarget_) return false;
  bool authOffered = Server->AuthDigestMethod != daAuthInt;
  bool authIntOffered = Server->AuthDigestMethod != daAuth;
  std::string entityHash;
  if (a.Qop == "auth") {
    if (!authOffered) return false;
  } else if (a.Qop == "auth-int") {
    // The body is not read yet: only a request without one can be checked.
    if (!authIntOffered || ContentLength > 0) return false;
    entityHash = DigestMD5Hex("");
  } else {
    return false;  // the challenge always offers a qop
  }
  if (a.Algorithm != "MD5" && a.Algorithm != "MD5-sess") return false;
  if (a.Nc.size() != 8 || a.Nc.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  std::string password;
  TriggerAuthGetPassword(password);
  std::string ha1 = DigestComputeHA1(a.Algorithm, a.User, a.Realm, password, a.Nonce, a.CNonce);
  std::string expected =
      DigestComputeResponse(ha1, a.Nonce, a.Nc, a.CNonce, a.Qop, Method, a.Uri, entityHash);
  if (!IEquals(expected, a.Response)) return false;
  // A replayed Authorization repeats its count: each use must raise it.
  std::uint32_t nc = std::uint32_t(std::stoul(a.Nc, nullptr, 16));
  return Server->DigestNonceCountRises(a.Nonce, nc, a.NonceTime);
}

void THttpConnection::TriggerAuthGetPassword(std::string& password) {
  if (Server && Server->OnAuthGetPassword) Server->OnAuthGetPassword(Server, this, password);
}

// ---------------------------------------------------------------------------
// Sending

std::string THttpConnection::ConnectionLines() const {
  std::string s;
  if (VersionCode == 11) {
    if (!KeepAlive)
      s = "Connection: Close\r\n";
    else if (KeepAliveAsked)
      s = "Connection: Keep-Alive\r\n";
  } else if (KeepAlive) {
    s = "Connection: Keep-Alive\r\n";
  }
  if (KeepAlive && KeepAliveAsked && KeepAliveTimeSec != 0)
    s += "Keep-Alive: timeout=" + std::to_string(KeepAliveTimeSec) +
         ", max=" + std::to_string(RequestsLeft) + "\r\n";
  return s;
}

void THttpConnection::SendHeader(const std::string& text) {
  std::string h = text;
  if (Server && !Server->PersistentHeader.empty() && h.size() >= 2)
    h.insert(h.size() - 2, Server->PersistentHeader);
  PutTextInSendBuffer(h);
}

void THttpConnection::ErrorPage(const std::string& status, const std::string& contentType,
                                const std::string& body, const std::string& extraLines) {
  std::string h = Version + " " + status + "\r\n" + extraLines + "Content-Type: " + contentType +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
                  ConnectionLines() + "\r\n";
  SendHeader(h);
  AnswerStatus = std::atoi(status.c_str());
  answering_ = true;
  if (!Connected()) return;
  if (SendBody)
    SendString(body);
  else
    Send(nullptr, 0);
}

void THttpConnection::SendBadRequestPage() {
  ErrorPage("400 Bad Request", "text/html", kPage400);
}

void THttpConnection::SendRangeErrorPage() {
  ErrorPage("416 Requested range not satisfiable", "text/html", kPage416);
}

void THttpConnection::SendNotFoundPage() {
  ErrorPage("404 Not Found", "text/html",
            "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>The "
            "requested URL " +
                HtmlEscapeText(Path) + " was not found on this server.<P></BODY></HTML>\r\n");
}

void THttpConnection::SendForbiddenPage() {
  ErrorPage("403 Forbidden", "text/html",
            "<HTML><HEAD><TITLE>403 Forbidden</TITLE></HEAD><BODY><H1>403 Forbidden</H1>The "
            "requested URL " +
                HtmlEscapeText(Path) + " is Forbidden on this server.<P></BODY></HTML>\r\n");
}

void THttpConnection::SendUnauthorizedPage() {
  std::string challenges;
  if (AuthTypes.Contains(atNtlm)) {
    if (ntlm_ && ntlm_->State() == AuthChallengeSent && !ntlm_->NtlmMessage().empty())
      challenges += "WWW-Authenticate: NTLM " + ntlm_->NtlmMessage() + "\r\n";
    else
      challenges += "WWW-Authenticate: NTLM\r\n";
  }
  if (AuthTypes.Contains(atDigest) && Server) {
    std::string opaque, nonce;
    challenges += "WWW-Authenticate: Digest " +
                  DigestBuildChallenge(Server->AuthDigestMethod, Server->ServerSecret(),
                                       AuthRealm, opaque, nonce, digestStale_) +
                  "\r\n";
    digestStale_ = false;
  }
  if (AuthTypes.Contains(atBasic))
    challenges += "WWW-Authenticate: Basic Realm=\"" + AuthRealm + "\"\r\n";
  ErrorPage("401 Access Denied", "text/html",
            "<HTML><HEAD><TITLE>401 Access Denied</TITLE></HEAD><BODY><H1>401 Access "
            "Denied</H1>The requested URL " +
                HtmlEscapeText(Path) + " requires authorization.<P></BODY></HTML>\r\n",
            challenges);
}

void THttpConnection::SendUnimplementedPage() {
  ErrorPage("501 Unimplemented", "text/plain", "501 Unimplemented");
}

void THttpConnection::AnswerWithText(THttpGetFlag& flags, const std::string& status,
                                     const std::string& contentType, const std::string& header,
                                     const std::string& body) {
  DocStream = std::make_unique<TSrvMemoryStream>(body);
  AnswerWithStream(flags, status, contentType, header);
}

void THttpConnection::AnswerWithStream(THttpGetFlag& flags, const std::string& status,
                                       const std::string& contentType,
                                       const std::string& header) {
  flags = hgWillSendMySelf;
  answering_ = true;
  std::string h;
  if (status.empty()) {
    h = Version + " 200 OK\r\n";
    AnswerStatus = 200;
  } else {
    h = Version + " " + status + "\r\n";
    AnswerStatus = std::atoi(status.c_str());
  }
  h += "Content-Type: " + (contentType.empty() ? std::string("text/html") : contentType) + "\r\n";
  h += ConnectionLines();
  std::string encoding;
  if (DocStream) {
    if (IsCompressible(contentType)) encoding = EncodeContent();
    h += "Content-Length: " + std::to_string(DocStream->Size()) + "\r\n";
    if (!encoding.empty()) h += "Vary: Accept-Encoding\r\n";
  } else {
    h += "Content-Length: 0\r\n";
  }
  h += header + encoding;
  if (Server) h += Server->PersistentHeader;
  h += "\r\n";
  PutTextInSendBuffer(h);
  if (SendBody) {
    SendDocStream();
  } else {
    DataSent = DocSize = 0;
    DocStream.reset();
    if (Connected()) Send(nullptr, 0);
  }
}

void THttpConnection::SendDocStream() {
  answering_ = true;
  if (!DocStream) DocStream = std::make_unique<TSrvMemoryStream>();
  DocStream->SetPosition(0);
  DocSize = DocStream->Size();
  DataSent = 0;
  OnDataSent = [this](TCustomWSocket* s, WORD e) { HandleDataSent(s, e); };
  if (DocSize > 0) {
    int maxBlk = Server ? Server->MaxBlkSize : 8192;
    if (BlockSize < DocSize && BlockSize < maxBlk)
      BlockSize = int(std::min<std::int64_t>(maxBlk, DocSize));
    if (GetBufSize() < BlockSize) SetBufSize(BlockSize);
  }
  if (int(block_.size()) < BlockSize) block_.resize(size_t(BlockSize));
  if (DocSize == 0) {
    // Only the header waits in the buffer: send it; its data-sent event
    // ends the answer.
    if (Connected()) Send(nullptr, 0);
    return;
  }
  // A document that is a file, or one range of one, goes out straight from
  // the file when nothing between here and the network changes the bytes.
  fileSource_ = nullptr;
  fileOwner_ = nullptr;
  fileStart_ = 0;
  if (DocSize >= kSendFileMin && PlainConnection()) {
    TStream* src = DocStream.get();
    std::int64_t start = 0;
    if (auto* r = dynamic_cast<THttpRangeStream*>(src)) src = r->SingleRangeSource(start);
    if (auto* f = dynamic_cast<TSrvFileStream*>(src)) {
      fileSource_ = f;
      fileOwner_ = DocStream.get();
      fileStart_ = start;
    }
  }
  startingAnswer_ = true;
  try {
    HandleDataSent(this, 0);
  } catch (...) {
    startingAnswer_ = false;
    throw;
  }
  startingAnswer_ = false;
}

void THttpConnection::AnswerDone() {
  answering_ = false;
  found_.Reset();
  if (!inbuf_.empty() && msgProcessInput_)
    platform::PostMessage(GetWindowHandle(), msgProcessInput_, 0, 0);
}

bool THttpConnection::PlainConnection() { return !SslActive() && !ThrottlingActive(); }

void THttpConnection::EndCutAnswer() {
  // The document ended early (cut while sent): the promised length can
  // no longer be kept, so the connection ends with what was sent.
  DocStream.reset();
  KeepAlive = false;
  refused_ = true;
  Shutdown(1);
  answering_ = false;
}

bool THttpConnection::SendDocumentData() {
  if (!PlainConnection()) {
    // Through TLS or the throttle: one block a turn, paced by the layers.
    std::int64_t want = std::min<std::int64_t>(BlockSize, DocSize - DataSent);
    std::int64_t n = DocStream->Read(block_.data(), want);
    if (n <= 0) {
      EndCutAnswer();
      return false;
    }
    DataSent += n;
    if (Connected()) Send(block_.data(), int(n));
    return false;
  }
  // Everything the network takes at once, up to the turn's share.
  std::int64_t budget = kMaxSendPerTurn;
  while (DataSent < DocSize) {
    if (!Connected()) return false;
    if (budget <= 0) {
      Send(nullptr, 0);  // the answer goes on from the message loop
      return false;
    }
    std::int64_t want = std::min(DocSize - DataSent, budget);
    if (fileSource_ && DocStream.get() == fileOwner_) {
      int n = SendFile(fileSource_->Fd(), fileStart_ + DataSent,
                       int(std::min<std::int64_t>(want, 1 << 30)));
      if (n > 0) {
        DataSent += n;
        budget -= n;
        if (!AllSent()) return false;
        continue;
      }
      if (!Connected() || !AllSent()) return false;  // gone, or waiting for room
      if (n == 0) {
        EndCutAnswer();  // the file is shorter than it was
        return false;
      }
      // The file cannot be sent that way: the rest is read and sent.
      fileSource_ = nullptr;
      DocStream->SetPosition(DataSent);
      continue;
    }
    if (!batch_) batch_.reset(new char[kSendBatchBytes]);
    std::int64_t limit = std::min<std::int64_t>(want, kSendBatchBytes);
    std::int64_t got = 0;
    while (got < limit) {
      std::int64_t n =
          DocStream->Read(batch_.get() + got, std::min<std::int64_t>(BlockSize, limit - got));
      if (n <= 0) break;
      got += n;
    }
    if (got == 0) {
      // What was read before goes first; then the connection ends.
      TryToSend();
      if (Connected() && AllSent()) EndCutAnswer();
      return false;
    }
    DataSent += got;
    budget -= got;
    if (!AllSent() && BufferedByteCount() + got <= GetBufSize()) {
      // A header still queued and a short body join in the queue's buffer
      // and leave in one send.
      PutDataInSendBuffer(batch_.get(), int(got));
      TryToSend();
    } else if (SendDirect(batch_.get(), int(got)) < 0) {
      return false;
    }
    if (!Connected() || !AllSent()) return false;
  }
  return true;
}

void THttpConnection::HandleDataSent(TCustomWSocket*, WORD) {
  // The document goes out whole before anything else happens, also when
  // the connection is to close after it.
  if (DocStream && DataSent < DocSize && !SendDocumentData()) return;
  // What is still queued is sent; the end of the answer always comes from
  // the message loop, so OnAfterAnswer follows OnBeforeAnswer.
  if (DocStream && (!AllSent() || startingAnswer_)) {
    if (Connected()) Send(nullptr, 0);
    return;
  }
  if (CloseAfterAnswer) {
    if (!AllSent()) return;
    if (answering_) TriggerAfterAnswer();
    DocStream.reset();
    answering_ = false;
    refused_ = true;
    Shutdown(1);
    return;
  }
  if (!DocStream) {
    if (answering_ && AllSent()) {
      TriggerAfterAnswer();
      // A header-only answer (HEAD) ends a connection that is not kept
      // as any other answer does.
      if (!KeepAlive) {
        refused_ = true;
        Shutdown(1);
      }
      AnswerDone();
    }
    return;
  }
  TriggerAfterAnswer();
  DocStream.reset();
  if (!KeepAlive) {
    refused_ = true;
    Shutdown(1);
  }
  platform::PostMessage(GetWindowHandle(), msgRequestDone_, 0, 0);
  AnswerDone();
}

// ---------------------------------------------------------------------------
// Triggers

void THttpConnection::TriggerGetDocument(THttpGetFlag& flags) {
  if (OnGetDocument) OnGetDocument(this, flags);
}
void THttpConnection::TriggerHeadDocument(THttpGetFlag& flags) {
  if (OnHeadDocument) OnHeadDocument(this, flags);
}
void THttpConnection::TriggerPostDocument(THttpGetFlag& flags) {
  if (OnPostDocument) OnPostDocument(this, flags);
}
void THttpConnection::TriggerHttpRequestDone() {
  if (OnHttpRequestDone) OnHttpRequestDone(this);
}
void THttpConnection::TriggerBeforeProcessRequest() {
  if (OnBeforeProcessRequest) OnBeforeProcessRequest(this);
}
void THttpConnection::TriggerFilterDirEntry(THttpDirEntry& entry) {
  if (OnFilterDirEntry) OnFilterDirEntry(this, entry);
}
void THttpConnection::TriggerBeforeAnswer() {
  if (OnBeforeAnswer) OnBeforeAnswer(this);
}
void THttpConnection::TriggerAfterAnswer() {
  if (OnAfterAnswer) OnAfterAnswer(this);
}
void THttpConnection::TriggerContentEncode(std::string& contentEncoding, bool& handled) {
  if (OnContentEncode) OnContentEncode(this, contentEncoding, handled);
}
void THttpConnection::TriggerContEncoded() {
  if (OnContEncoded) OnContEncoded(this);
}
void THttpConnection::TriggerUnknownRequestMethod(bool& handled) {
  if (OnUnknownRequestMethod) OnUnknownRequestMethod(this, handled);
}
void THttpConnection::TriggerMimeContentType(const std::string& fileName,
                                             std::string& contentType) {
  if (OnMimeContentType) OnMimeContentType(this, fileName, contentType);
}
void THttpConnection::TriggerGetRowData(const std::string& tableName, int row,
                                        TStringIndex& tagData, bool& more, void* userData) {
  if (OnGetRowData) OnGetRowData(this, tableName, row, tagData, more, userData);
}

// ===========================================================================
// THttpServer

THttpServer::THttpServer() {
  ConnectionClass = [] { return new THttpConnection; };
  MakeSrvSocket();
}

THttpServer::~THttpServer() {
  keepAliveTimer_.reset();
  srvSocket_.reset();
}

void THttpServer::MakeSrvSocket() {
  static int made = 0;
  srvSocket_ = std::make_unique<TWSocketServer>();
  srvSocket_->Name = Name + "_SrvSocket" + std::to_string(++made);
  keepAliveTimer_ = std::make_unique<TNetTimer>(srvSocket_.get());
  keepAliveTimer_->SetInterval(1000);
  keepAliveTimer_->SetOnTimer([this](TNetTimer*) { CheckKeepAlive(); });
  keepAliveTimer_->SetEnabled(true);
  if (OnBgException()) srvSocket_->SetOnBgException(OnBgException());
}

void THttpServer::SetOnBgException(TNetBgExceptionEvent v) {
  TNetWndControl::SetOnBgException(v);
  if (srvSocket_) srvSocket_->SetOnBgException(std::move(v));
}

void THttpServer::SetPort(const std::string& v) {
  if (v == port_) return;
  port_ = v;
  if (srvSocket_ && srvSocket_->State() == wsListening) {
    srvSocket_->Close();
    Start();
  }
}

void THttpServer::SetAddr(const std::string& v) {
  if (v == addr_) return;
  addr_ = v;
  if (srvSocket_ && srvSocket_->State() == wsListening) {
    srvSocket_->Close();
    Start();
  }
}

void THttpServer::SetDocDir(const std::string& v) {
  std::string d = v;
  if (d.size() > 1 && d.back() == '/') d.pop_back();
  std::string n = NormalisePath(d);
  docDir_ = n.empty() ? d : n;
}

THttpConnection* THttpServer::Client(int index) const {
  return srvSocket_ ? dynamic_cast<THttpConnection*>(srvSocket_->ConnectionAt(index)) : nullptr;
}

void THttpServer::Start() {
  if (!srvSocket_) MakeSrvSocket();
  if (srvSocket_->State() == wsListening) return;
  TWSocketServer& s = *srvSocket_;
  s.ConnectionClass = [this]() -> TWSocketClient* { return ConnectionClass(); };
  s.OnClientCreate = [this](TCustomWSocketServer*, TWSocketClient* c) { ClientCreated(c); };
  s.OnClientConnect = [this](TCustomWSocketServer*, TWSocketClient* c, WORD e) {
    ClientConnected(c, e);
  };
  s.OnClientDisconnect = [this](TCustomWSocketServer*, TWSocketClient* c, WORD e) {
    if (auto* h = dynamic_cast<THttpConnection*>(c)) TriggerClientDisconnect(h, e);
  };
  s.OnChangeState = [this](TCustomWSocket*, TSocketState, TSocketState n) {
    if (n == wsListening) TriggerServerStarted();
  };
  s.OnSessionClosed = [this](TCustomWSocket*, WORD) { TriggerServerStopped(); };
  s.OnAcceptError = [this](TCustomWSocketServer*, int error, const std::string& message) {
    if (OnAcceptError) OnAcceptError(this, error, message);
  };
  s.Banner.clear();
  s.BannerTooBusy =
      "HTTP/1.0 503 Service Unavailable\r\nContent-type: text/plain\r\nContent-length: "
      "33\r\n\r\nServer overloaded. Retry later.\r\n";
  s.LineEnd = "";
  s.SetProto("tcp");
  s.SetPort(port_);
  s.SetAddr(addr_);
  s.MaxClients = MaxClients;
  s.MaxClientsPerAddress = MaxClientsPerAddress;
  s.ListenBacklog = ListenBacklog;
  s.SetBandwidthLimit(BandwidthLimit);
  s.SetBandwidthSampling(BandwidthSampling);
  s.SetNetLogger(NetLogger);
  std::random_device rd;
  std::uniform_int_distribution<std::uint32_t> dist(0, 2147483646);
  secret_ = (std::uint64_t(dist(rd)) << 32) | dist(rd);
  nonceCounts_.clear();
  s.Listen();
  if (s.LogOptionActive(TLogOption::loProtSpecInfo))
    s.LogDebug(TLogOption::loProtSpecInfo, Name + " started");
}

void THttpServer::Stop() {
  if (!srvSocket_) return;
  srvSocket_->Close();
  srvSocket_->DropAllClients();
  if (srvSocket_->LogOptionActive(TLogOption::loProtSpecInfo))
    srvSocket_->LogDebug(TLogOption::loProtSpecInfo, Name + " stopped");
}

void THttpServer::ClientCreated(TWSocketClient* client) {
  auto* c = dynamic_cast<THttpConnection*>(client);
  if (!c) return;
  c->LingerOnOff = LingerOnOff;
  c->LingerTimeout = LingerTimeout;
  c->Options = Options;
  c->KeepAliveTimeSec = keepAliveTimeSec_;
  c->NewCounter();
  if (c->Counter()) c->Counter()->SetConnected();
}

void THttpServer::ClientConnected(TWSocketClient* client, WORD error) {
  auto* c = dynamic_cast<THttpConnection*>(client);
  if (!c) return;
  c->Server = this;
  c->DocDir = docDir_;
  c->TemplateDir = TemplateDir;
  c->DefaultDoc = DefaultDoc;
  c->RequestsLeft = MaxRequestsKeepAlive;
  c->OnGetDocument = [this](THttpConnection* s, THttpGetFlag& f) {
    if (OnGetDocument) OnGetDocument(this, s, f);
  };
  c->OnHeadDocument = [this](THttpConnection* s, THttpGetFlag& f) {
    if (OnHeadDocument) OnHeadDocument(this, s, f);
  };
  c->OnPostDocument = [this](THttpConnection* s, THttpGetFlag& f) {
    if (OnPostDocument) OnPostDocument(this, s, f);
  };
  if (OnPostedData)
    c->OnPostedData = [this](THttpConnection* s, WORD e) { OnPostedData(this, s, e); };
  auto notify = [this](THttpClientEvent THttpServer::*ev) {
    return [this, ev](THttpConnection* s) {
      if (this->*ev) (this->*ev)(this, s);
    };
  };
  c->OnHttpRequestDone = notify(&THttpServer::OnHttpRequestDone);
  c->OnBeforeProcessRequest = notify(&THttpServer::OnBeforeProcessRequest);
  c->OnBeforeAnswer = notify(&THttpServer::OnBeforeAnswer);
  c->OnAfterAnswer = notify(&THttpServer::OnAfterAnswer);
  c->OnContEncoded = notify(&THttpServer::OnHttpContEncoded);
  c->OnFilterDirEntry = [this](THttpConnection* s, THttpDirEntry& e) {
    if (OnFilterDirEntry) OnFilterDirEntry(this, s, e);
  };
  c->OnContentEncode = [this](THttpConnection* s, std::string& enc, bool& handled) {
    if (OnHttpContentEncode) OnHttpContentEncode(this, s, enc, handled);
  };
  c->OnUnknownRequestMethod = [this](THttpConnection* s, bool& handled) {
    if (OnUnknownRequestMethod) OnUnknownRequestMethod(this, s, handled);
  };
  c->OnMimeContentType = [this](THttpConnection* s, const std::string& f, std::string& t) {
    if (OnHttpMimeContentType) OnHttpMimeContentType(this, s, f, t);
  };
  TriggerClientConnect(c, error);
}

void THttpServer::CheckKeepAlive() {
  if (inTimer_ || !srvSocket_) return;
  inTimer_ = true;
  DWORD now = platform::GetTickCount();
  for (int i = srvSocket_->ConnectionCount() - 1; i >= 0; --i) {
    if (i >= srvSocket_->ConnectionCount()) continue;  // a handler dropped others
    auto* c = dynamic_cast<THttpConnection*>(srvSocket_->ConnectionAt(i));
    if (!c) continue;
    // A request must come whole within its time, however its bytes
    // trickle in; an idle connection within the keep-alive time.
    bool overdue = c->RequestOverdue(now, RequestTimeoutSec);
    bool idle = c->KeepAliveTimeSec != 0 && c->Counter() &&
                NetTickDiff(c->Counter()->NewestActivityTick(), now) >
                    std::uint64_t(c->KeepAliveTimeSec) * 1000;
    if (!overdue && !idle) continue;
    try {
      srvSocket_->DropClient(c);
    } catch (const std::exception& e) {
      // The connection is gone all the same; the timer and the listener
      // carry on.
      if (srvSocket_->HasClient(c)) srvSocket_->DropClient(c);
      if (OnAcceptError) OnAcceptError(this, 0, e.what());
    }
  }
  inTimer_ = false;
}

std::shared_ptr<const std::string> THttpServer::FindCompressed(const TDocFileKey& file,
                                                              const std::string& coding) {
  auto it = compressed_.find({file.Path, coding});
  if (it == compressed_.end() || !(it->second.File == file)) return nullptr;
  it->second.LastUse = ++compressedUses_;
  return it->second.Data;
}

void THttpServer::KeepCompressed(const TDocFileKey& file, const std::string& coding,
                                 std::shared_ptr<const std::string> data) {
  if (!data || data->size() > kCompressedCacheBytes / 4) return;
  auto key = std::make_pair(file.Path, coding);
  if (auto it = compressed_.find(key); it != compressed_.end()) {
    compressedBytes_ -= it->second.Data->size();
    compressed_.erase(it);
  }
  // The least recently used go first.
  while (compressedBytes_ + data->size() > kCompressedCacheBytes && !compressed_.empty()) {
    auto victim = std::min_element(compressed_.begin(), compressed_.end(), [](auto& a, auto& b) {
      return a.second.LastUse < b.second.LastUse;
    });
    compressedBytes_ -= victim->second.Data->size();
    compressed_.erase(victim);
  }
  compressedBytes_ += data->size();
  compressed_[key] = TCompressedEntry{file, std::move(data), ++compressedUses_};
}

bool THttpServer::DigestNonceCountRises(const std::string& nonce, std::uint32_t nc,
                                        double nonceTime) {
  // Forget nonces that can no longer be used; keep the table bounded.
  double oldest = DigestDateTimeNow() - double(AuthDigestNonceLifeTimeMin) / 1440.0;
  for (auto it = nonceCounts_.begin(); it != nonceCounts_.end();)
    it = it->second.second < oldest ? nonceCounts_.erase(it) : std::next(it);
  auto it = nonceCounts_.find(nonce);
  if (it == nonceCounts_.end() && nonceTime <= evictedUpTo_) return false;
  if (it != nonceCounts_.end()) {
    if (nc <= it->second.first) return false;
    it->second.first = nc;
    return true;
  }
  if (nonceCounts_.size() >= kMaxDigestNonces) {
    // Full: the oldest nonce goes (its client gets a fresh challenge).
    auto victim = std::min_element(nonceCounts_.begin(), nonceCounts_.end(),
                                   [](auto& a, auto& b) { return a.second.second < b.second.second; });
    // Its count is forgotten: every nonce as old is refused from now on.
    evictedUpTo_ = std::max(evictedUpTo_, victim->second.second);
    nonceCounts_.erase(victim);
  }
  nonceCounts_[nonce] = {nc, nonceTime};
  return true;
}

void THttpServer::TriggerServerStarted() {
  if (OnServerStarted) OnServerStarted(this);
}
void THttpServer::TriggerServerStopped() {
  if (OnServerStopped) OnServerStopped(this);
}
void THttpServer::TriggerClientConnect(THttpConnection* client, WORD error) {
  if (OnClientConnect) OnClientConnect(this, client, error);
}
void THttpServer::TriggerClientDisconnect(THttpConnection* client, WORD error) {
  if (OnClientDisconnect) OnClientDisconnect(this, client, error);
}

}  // namespace yux::net
