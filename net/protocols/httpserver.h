#pragma once
// The web server component: a socket server whose clients are HTTP
// connections.  Each connection reads HTTP/1.0 and 1.1 requests line by
// line, maps the path onto the document folder, decides a default answer
// (file, listing, 401, 403, 404), lets the application change it in an
// event, then answers with a file, a stream, a text, a listing or an error
// page.  Keep-alive connections serve several requests, bounded by a count
// and an idle time; request bodies are handed to the application piece by
// piece or read and dropped.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/protocols/digest.h"
#include "net/protocols/httpsrvtemplate.h"
#include "net/protocols/httpsrvutil.h"
#include "net/protocols/mimetypes.h"
#include "net/protocols/ntlmauthsession.h"
#include "net/protocols/wsocketserver.h"
#include "net/socket/nettimer.h"
#include "net/socket/sslcontext.h"

namespace yux::net {

enum THttpGetFlag {
  hgSendDoc,
  hgSendStream,
  hgWillSendMySelf,
  hg404,
  hg403,
  hg401,
  hg400,
  hgAcceptData,
  hgSendDirList
};
enum THttpConnState { hcRequest, hcHeader, hcPostedData, hcSendData };
enum THttpOption { hoAllowDirList, hoAllowOutsideRoot, hoContentEncoding };
enum TAuthenticationType { atNone, atBasic, atDigest, atNtlm };

// Sets of these, as the socket suite keeps its own option sets.
using THttpOptions = TSslSet<THttpOption>;
using TAuthenticationTypes = TSslSet<TAuthenticationType>;

// Bounds on what a client may send before its request is refused.
inline constexpr int kMaxRequestLine = 8192;   // request and header lines
inline constexpr int kMaxHeaderLines = 100;
// Longer request targets get 414.
inline constexpr int kMaxRequestTarget = 4096;
// Received bytes held while an answer is being sent (pipelined requests);
// beyond it the connection stops reading until the answer is done.
inline constexpr int kMaxPipelinedBytes = 1 << 20;
// Digest nonces whose counts are remembered.
inline constexpr size_t kMaxDigestNonces = 4096;
// An answer hands at most this much to the network in one turn of the
// message loop, so that a large document does not hold up the others.
inline constexpr std::int64_t kMaxSendPerTurn = 1 << 21;
// Bytes of a document read for one send (several blocks).
inline constexpr int kSendBatchBytes = 1 << 16;
// A plain file at least this large goes out straight from the file
// (smaller ones are read: fewer calls than guarding the direct send).
inline constexpr std::int64_t kSendFileMin = 1 << 16;
// Compressed document files kept for the next request, in bytes.
inline constexpr std::size_t kCompressedCacheBytes = 32u << 20;

// Which version of which file a document answer was read from.
struct TDocFileKey {
  std::string Path;
  std::uint64_t Dev = 0, Ino = 0;
  std::int64_t Size = 0, MTimeSec = 0, MTimeNsec = 0;
  bool operator==(const TDocFileKey&) const = default;
};

// One entry of a directory listing.
struct THttpDirEntry {
  bool Visible = true;
  std::string Name;
  std::int64_t SizeBytes = 0;
  int Year = 0, Month = 0, Day = 0, Hour = 0, Min = 0, Sec = 0;
  bool VolumeID = false, Directory = false, ReadOnly = false, SysFile = false, Hidden = false;
};

class THttpServer;
class THttpConnection;

using THttpGetConnEvent = std::function<void(THttpConnection* sender, THttpGetFlag& flags)>;
using THttpConnNotify = std::function<void(THttpConnection* sender)>;
using THttpConnErrorEvent = std::function<void(THttpConnection* sender, WORD error)>;
using THttpConnFilterDirEntry = std::function<void(THttpConnection* sender, THttpDirEntry& e)>;
using TContentEncodeEvent =
    std::function<void(THttpConnection* sender, std::string& contentEncoding, bool& handled)>;
using TUnknownRequestMethodEvent = std::function<void(THttpConnection* sender, bool& handled)>;
using TMimeContentTypeEvent = std::function<void(THttpConnection* sender,
                                                 const std::string& fileName,
                                                 std::string& contentType)>;

class THttpConnection : public TSslWSocketClient {
 public:
  THttpConnection();
  ~THttpConnection() override;

  // ---- Settings copied from the server ----
  std::string DocDir, TemplateDir, DefaultDoc;
  THttpOptions Options;
  TAuthenticationTypes AuthTypes;
  std::string AuthRealm;
  DWORD AuthDigestNonceLifeTimeMin = 1;
  std::uint32_t KeepAliveTimeSec = 10;
  THttpServer* Server = nullptr;

  // ---- The request ----
  std::string Document;  // the file the path maps to
  std::string Path;      // request path without the query
  std::string Params;    // query text after "?"
  std::string Method, Version = "HTTP/1.0";
  int VersionCode = 11;
  bool SendBody = true;
  std::vector<std::string> HeaderLines;
  std::string HeaderContentType, HeaderAccept, HeaderReferer, HeaderAcceptLanguage,
      HeaderAcceptEncoding, HeaderUserAgent, HeaderAuthorization, HeaderCookie, HeaderHost,
      HostName, HostPort, HeaderConnection;
  std::int64_t ContentLength = 0;  // -1 when unreadable
  bool HasContentLength = false;
  THttpRangeList Ranges;
  bool KeepAlive = false, KeepAliveAsked = false, CloseAfterAnswer = false;
  int RequestsLeft = 100;
  THttpConnState State = hcRequest;
  bool Authenticated = true, OutsideRoot = false, AcceptPostedData = false;
  std::int64_t PostedRemaining = 0;
  TAuthenticationType AuthType = atNone;
  std::string AuthUserName, AuthPassword, AuthDigestUri;
  TNtlmAuthSession* AuthNtlmSession() const { return ntlm_.get(); }

  // ---- The answer ----
  int AnswerStatus = 0;
  std::unique_ptr<TStream> DocStream;
  std::string DocContentType;
  double LastModified = 0;
  std::int64_t DocSize = 0, DataSent = 0;
  int BlockSize = 8192;

  // ---- Events (bound to the server's when it made the connection) ----
  THttpGetConnEvent OnGetDocument, OnHeadDocument, OnPostDocument;
  THttpConnErrorEvent OnPostedData;
  THttpConnNotify OnHttpRequestDone, OnBeforeProcessRequest, OnBeforeAnswer, OnAfterAnswer,
      OnContEncoded;
  THttpConnFilterDirEntry OnFilterDirEntry;
  THttpGetRowDataEvent OnGetRowData;
  TContentEncodeEvent OnContentEncode;
  TUnknownRequestMethodEvent OnUnknownRequestMethod;
  TMimeContentTypeEvent OnMimeContentType;

  // ---- Request cycle ----
  virtual void CheckAuthentication();
  virtual bool BasicPasswordMatches(const std::string& password);
  virtual void HandleDataAvailable(TCustomWSocket* sender, WORD error);
  virtual void HandleDataSent(TCustomWSocket* sender, WORD error);
  virtual void ParseRequestLine(const std::string& line);
  virtual void ProcessRequest();
  virtual void HandleGetRequest();
  virtual void HandleHeadRequest();
  virtual void HandlePostRequest();
  // ---- Error pages ----
  virtual void SendRangeErrorPage();
  virtual void SendNotFoundPage();
  virtual void SendForbiddenPage();
  virtual void SendUnauthorizedPage();
  virtual void SendBadRequestPage();
  virtual void SendUnimplementedPage();
  virtual void HandleRequestDoneMessage();
  // ---- Triggers ----
  virtual void TriggerGetDocument(THttpGetFlag& flags);
  virtual void TriggerHeadDocument(THttpGetFlag& flags);
  virtual void TriggerPostDocument(THttpGetFlag& flags);
  virtual void TriggerHttpRequestDone();
  virtual void TriggerBeforeProcessRequest();
  virtual void TriggerFilterDirEntry(THttpDirEntry& entry);
  virtual void TriggerBeforeAnswer();
  virtual void TriggerAfterAnswer();
  virtual void TriggerContentEncode(std::string& contentEncoding, bool& handled);
  virtual void TriggerContEncoded();
  virtual void TriggerUnknownRequestMethod(bool& handled);
  virtual void TriggerMimeContentType(const std::string& fileName, std::string& contentType);
  // ---- Documents, compression, listings, templates ----
  virtual bool IsCompressible(const std::string& contentType);
  // Compresses DocStream when the client accepts it; the Content-Encoding
  // line (empty when the stream was left alone).
  virtual std::string EncodeContent();
  virtual void TriggerAuthGetPassword(std::string& password);
  virtual void SendDirectoryListing(bool sendBody);
  virtual void BuildDirectoryListing(std::string& html);
  virtual void FormatDirEntry(const THttpDirEntry& entry, std::string& html);
  virtual void TriggerGetRowData(const std::string& tableName, int row, TStringIndex& tagData,
                                 bool& more, void* userData);
  virtual void SendDocStream();
  virtual void SendDocument();
  virtual void SendDocumentWithHeader(const std::string& header);
  virtual void SendDocumentFile(bool sendBody);
  virtual void SendDocumentFileWithHeader(bool sendBody, const std::string& header);
  virtual void SendHeader(const std::string& text);
  virtual void EndPostedData();
  virtual void PrepareGracefulClose();
  virtual void AnswerPageFromFile(THttpGetFlag& flags, const std::string& status,
                                  const std::string& header, const std::string& fileName,
                                  void* userData, const THttpTags& tags);
  virtual void AnswerPageFromResource(THttpGetFlag& flags, const std::string& status,
                                      const std::string& header, const std::string& resName,
                                      const std::string& resType, void* userData,
                                      const THttpTags& tags);
  virtual void AnswerWithStream(THttpGetFlag& flags, const std::string& status,
                                const std::string& contentType, const std::string& header);
  virtual void AnswerRangedStream(THttpGetFlag& flags, const std::string& contentType,
                                  double lastModified);
  virtual void AnswerRangedStreamWithHeader(THttpGetFlag& flags, const std::string& contentType,
                                            double lastModified, const std::string& header);
  virtual void AnswerWithText(THttpGetFlag& flags, const std::string& status,
                              const std::string& contentType, const std::string& header,
                              const std::string& body);
  virtual std::string TemplateToString(const std::string& fileName, void* userData,
                                       const THttpTags& tags);
  virtual void TemplateFileToStream(const std::string& fileName, TStream& dest, void* userData,
                                    const THttpTags& tags);
  virtual void TemplateResourceToStream(const std::string& resName, const std::string& resType,
                                        TStream& dest, void* userData, const THttpTags& tags);

  // HTTP answers carry their own framing: the banner (the server's
  // too-busy answer) is sent as it is.
  void BeginSession() override;
  // In the body phase, reads at most what is left of the body.
  int Receive(void* buffer, int len) override;
  void HandleWindowMessage(TMessage& msg) override;
  int MessageNumbersNeeded() override { return TSslWSocketClient::MessageNumbersNeeded() + 2; }
  void AllocateMessageNumbers() override;
  void FreeMessageNumbers() override;

  // The socket is connected (State is the request-reading state).
  bool Connected() const { return TCustomWSocket::State() == wsConnected; }
  // The connection lines of an answer header.
  std::string ConnectionLines() const;
  // Whether an answer is being sent (pipelined requests wait for it).
  bool AnswerInProgress() const { return answering_; }
  // Whether the request being read (header and body) began more than
  // `limitSec` seconds before `now`; never for 0.
  bool RequestOverdue(DWORD now, std::uint32_t limitSec) const;

 protected:
  // Ends the connection after a malformed request: 400 (or the given
  // page) and close.
  void RefuseRequest(bool unimplemented = false);
  void ErrorPage(const std::string& status, const std::string& contentType,
                 const std::string& body, const std::string& extraLines = {});
  void AnswerDone();
  void InterpretHeaderLine(const std::string& line);
  void EndOfHeader();
  bool CheckDigest(bool& stale);
  void ReadInput();
  void ProcessInput();
  void HandleLine(const std::string& line);
  int TakeBuffered(void* buffer, int len);
  void DispatchGetOrHead(bool get);
  std::string LastModifiedLine() const;
  // Maps the request onto the document and looks at it (FindDocument), and
  // what was found, asked again by the path when Document has changed.
  void FindDocument();
  bool DocumentIsDirectory();
  bool DocumentIsReadableFile(bool forReading);
  // Whether nothing between the connection and the network changes what is
  // sent (no TLS, no throttling).
  bool PlainConnection();
  // Hands the document's next bytes to the network; true once all are.
  bool SendDocumentData();
  // The document ended before its announced length: the connection ends.
  void EndCutAnswer();
  // Sends DocStream as a document: ranges, compression, Last-Modified.
  void AnswerDocument(const std::string& type, const std::string& header, bool viaSendHeader);

 private:
  std::unique_ptr<TNtlmAuthSession> ntlm_;
  std::vector<char> block_;
  std::unique_ptr<char[]> batch_;  // several blocks for one send
  TFoundDocument found_;
  TDocFileKey docFile_;  // the file DocStream reads (Path empty: none)
  // The file a plain connection sends straight from, and where in it the
  // answer starts, while DocStream is fileOwner_.
  TSrvFileStream* fileSource_ = nullptr;
  const TStream* fileOwner_ = nullptr;
  std::int64_t fileStart_ = 0;
  bool startingAnswer_ = false;  // inside SendDocStream's first turn
  std::vector<char> scratch_ = std::vector<char>(1024);
  UINT msgRequestDone_ = 0, msgProcessInput_ = 0;
  std::string inbuf_;  // received, not processed yet
  bool answering_ = false;
  bool refused_ = false;
  bool digestStale_ = false;
  int headerCount_ = 0;
  std::string requestTarget_;
  bool badContentLength_ = false;
  bool transferEncoding_ = false;
  DWORD requestStarted_ = 0;  // tick of the request's first byte (0: none under way)
  void MarkRequestStarted();
};

using THttpConnectEvent =
    std::function<void(THttpServer* sender, THttpConnection* client, WORD error)>;
using THttpGetEvent =
    std::function<void(THttpServer* sender, THttpConnection* client, THttpGetFlag& flags)>;
using THttpPostedDataEvent =
    std::function<void(THttpServer* sender, THttpConnection* client, WORD error)>;
using THttpClientEvent = std::function<void(THttpServer* sender, THttpConnection* client)>;
using THttpFilterDirEntry =
    std::function<void(THttpServer* sender, THttpConnection* client, THttpDirEntry& entry)>;
using THttpContentEncodeEvent = std::function<void(
    THttpServer* sender, THttpConnection* client, std::string& contentEncoding, bool& handled)>;
using THttpUnknownRequestMethodEvent =
    std::function<void(THttpServer* sender, THttpConnection* client, bool& handled)>;
using THttpMimeContentTypeEvent =
    std::function<void(THttpServer* sender, THttpConnection* client, const std::string& fileName,
                       std::string& contentType)>;
using TAuthGetPasswordEvent =
    std::function<void(THttpServer* sender, THttpConnection* client, std::string& password)>;
using TAuthResultEvent =
    std::function<void(THttpServer* sender, THttpConnection* client, bool success)>;
using TAuthNtlmBeforeValidate =
    std::function<void(THttpServer* sender, THttpConnection* client, bool& allow)>;
using THttpServerNotify = std::function<void(THttpServer* sender)>;
// A connection that could not be accepted (`error`, the Winsock error) or
// whose handling failed (`error` 0); the server goes on listening.
using THttpAcceptErrorEvent =
    std::function<void(THttpServer* sender, int error, const std::string& message)>;
// Makes one connection object (with new).
using THttpConnectionClass = std::function<THttpConnection*()>;

class THttpServer : public TNetWndControl {
 public:
  THttpServer();
  ~THttpServer() override;

  std::string Name = "HttpServer";
  int ListenBacklog = 5;
  static std::string SrcVersion() { return "7.52"; }
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& v);
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& v);
  int MaxClients = 0;
  // Connections one client address may hold at once (0: no limit).
  int MaxClientsPerAddress = 0;
  const std::string& DocDir() const { return docDir_; }
  void SetDocDir(const std::string& v);
  std::string TemplateDir = "/wwwroot/templates";
  std::string DefaultDoc = "index.html";
  TSocketLingerOnOff LingerOnOff = wsLingerNoSet;
  int LingerTimeout = 0;
  THttpOptions Options;
  std::uint32_t KeepAliveTimeSec() const { return keepAliveTimeSec_; }
  void SetKeepAliveTimeSec(std::uint32_t v) { keepAliveTimeSec_ = std::min(v, 4294967u); }
  int MaxRequestsKeepAlive = 100;
  // A request's header and body must have come within this many seconds
  // of its first byte, else the connection is dropped; 0: no limit.
  std::uint32_t RequestTimeoutSec = 0;
  int SizeCompressMin = 5000;
  int SizeCompressMax = 5000000;
  std::string PersistentHeader;
  int MaxBlkSize = 8192;
  TMimeTypesList* MimeTypesList = nullptr;
  std::uint32_t BandwidthLimit = 0;
  std::uint32_t BandwidthSampling = 1000;
  TAuthenticationTypes AuthTypes;
  std::string AuthRealm = "yux";
  TAuthDigestMethod AuthDigestMethod = daAuth;
  std::uint32_t AuthDigestNonceLifeTimeMin = 1;
  TNetLogger* NetLogger = nullptr;
  THttpConnectionClass ConnectionClass;  // default: THttpConnection

  THttpServerNotify OnServerStarted, OnServerStopped;
  THttpConnectEvent OnClientConnect, OnClientDisconnect;
  THttpGetEvent OnGetDocument, OnHeadDocument, OnPostDocument;
  THttpPostedDataEvent OnPostedData;
  THttpClientEvent OnHttpRequestDone, OnBeforeProcessRequest, OnBeforeAnswer, OnAfterAnswer,
      OnHttpContEncoded, OnAuthGetType;
  THttpFilterDirEntry OnFilterDirEntry;
  THttpContentEncodeEvent OnHttpContentEncode;
  THttpUnknownRequestMethodEvent OnUnknownRequestMethod;
  THttpMimeContentTypeEvent OnHttpMimeContentType;
  TAuthGetPasswordEvent OnAuthGetPassword;
  TAuthResultEvent OnAuthResult;
  TAuthNtlmBeforeValidate OnAuthNtlmBeforeValidate;
  THttpAcceptErrorEvent OnAcceptError;

  virtual void Start();
  virtual void Stop();
  int ClientCount() const { return srvSocket_ ? srvSocket_->ConnectionCount() : 0; }
  THttpConnection* Client(int index) const;
  TWSocketServer* SrvSocket() const { return srvSocket_.get(); }
  // The port the server listens on (useful after Port "0").
  std::string BoundPort() const { return srvSocket_ ? srvSocket_->BoundPortText() : ""; }
  std::uint64_t ServerSecret() const { return secret_; }
  void SetOnBgException(TNetBgExceptionEvent v) override;

  // Remembers the nonce count of a Digest nonce; false when the count does
  // not rise above the last one seen for that nonce.
  bool DigestNonceCountRises(const std::string& nonce, std::uint32_t nc, double nonceTime);

  // Compressed answers of document files, by file version and coding
  // (null when not kept).
  std::shared_ptr<const std::string> FindCompressed(const TDocFileKey& file,
                                                    const std::string& coding);
  void KeepCompressed(const TDocFileKey& file, const std::string& coding,
                      std::shared_ptr<const std::string> data);
  std::size_t CompressedBytesKept() const { return compressedBytes_; }
  // The document folder, held open for the connections.
  TDocumentRoot& DocumentRoot() { return docRoot_; }

  // ---- Triggers ----
  virtual void TriggerServerStarted();
  virtual void TriggerServerStopped();
  virtual void TriggerClientConnect(THttpConnection* client, WORD error);
  virtual void TriggerClientDisconnect(THttpConnection* client, WORD error);

 private:
  friend class THttpConnection;
  void MakeSrvSocket();
  void ClientCreated(TWSocketClient* client);
  void ClientConnected(TWSocketClient* client, WORD error);
  void CheckKeepAlive();

  std::unique_ptr<TWSocketServer> srvSocket_;
  std::unique_ptr<TNetTimer> keepAliveTimer_;
  bool inTimer_ = false;
  std::string port_ = "80", addr_ = "0.0.0.0";
  std::string docDir_ = "/wwwroot";
  std::uint32_t keepAliveTimeSec_ = 10;
  std::uint64_t secret_ = 0;
  // Digest nonce -> last count and the nonce's time, for replay checks.
  std::map<std::string, std::pair<std::uint32_t, double>> nonceCounts_;
  double evictedUpTo_ = -1e9;
  struct TCompressedEntry {
    TDocFileKey File;
    std::shared_ptr<const std::string> Data;
    std::uint64_t LastUse = 0;
  };
  // (path, coding) -> the latest version compressed.
  std::map<std::pair<std::string, std::string>, TCompressedEntry> compressed_;
  std::size_t compressedBytes_ = 0;
  TDocumentRoot docRoot_;
  std::uint64_t compressedUses_ = 0;
};

}  // namespace yux::net
