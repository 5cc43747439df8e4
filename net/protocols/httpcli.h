#pragma once
// The HTTP/1.0 and HTTP/1.1 client: one request at a time (GET, POST, PUT,
// HEAD, DELETE, and a close request) over its own socket, directly,
// through an HTTP proxy (CONNECT for https) or through SOCKS; keep-alive
// reuse of the connection, relocations, Basic, Digest and NTLM
// authentication to server and proxy, chunked bodies and content decoding.
// A request is a state machine driven by the socket's events; the blocking
// forms pump messages until it is back to ready.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/protocols/contentcoding.h"
#include "net/protocols/httpcliparse.h"
#include "net/protocols/tunnelauth.h"
#include "net/socket/netstream.h"
#include "net/socket/wsocket.h"

namespace yux::net {

enum THttpState {
  httpReady,
  httpNotConnected,
  httpConnected,
  httpDnsLookup,
  httpDnsLookupDone,
  httpWaitingHeader,
  httpWaitingBody,
  httpBodyReceived,
  httpWaitingProxyConnect,
  httpClosing,
  httpAborting
};
const char* HttpStateName(THttpState s);

enum THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpDELETE, httpCLOSE };
enum THttpAuthType { httpAuthNone, httpAuthBasic, httpAuthNtlm, httpAuthDigest };
enum THttpCliOption {
  httpoNoBasicAuth,
  httpoNoNTLMAuth,
  httpoBandwidthControl,
  httpoEnableContentCoding,
  httpoUseQuality,
  httpoNoDigestAuth
};

class THttpCliOptions {
 public:
  constexpr THttpCliOptions() = default;
  constexpr THttpCliOptions(std::initializer_list<THttpCliOption> l) {
    for (auto o : l) bits_ |= 1u << o;
  }
  constexpr bool Contains(THttpCliOption o) const { return bits_ & (1u << o); }
  friend constexpr bool operator==(THttpCliOptions, THttpCliOptions) = default;

 private:
  unsigned bits_ = 0;
};

// The codes of RequestDoneError and EHttpException besides a socket error
// or, for a blocking request, an answer status of 400 and above.
enum : int {
  httperrNoError = 0,
  httperrBusy = 1,
  httperrNoData = 2,
  httperrAborted = 3,
  httperrVersion = 5,
  httperrInvalidAuthState = 6,
  httperrCustomTimeOut = 8,
  httperrNoStatusCode = 9,
  httperrTooManyRelocations = 10,
  httperrHeaderTooLarge = 11,
  httperrBodyIncomplete = 12,
  httperrBadChunk = 13,
  httperrBodyTooLarge = 14,
};

class EHttpException : public std::runtime_error {
 public:
  EHttpException(const std::string& msg, int code) : std::runtime_error(msg), ErrorCode(code) {}
  std::uint16_t ErrorCode;
};

class THttpCli;
using THttpNotifyEvent = std::function<void(THttpCli* sender)>;
using THttpRequestDone = std::function<void(THttpCli* sender, THttpRequest rqType, int errCode)>;
using THttpCommandEvent = std::function<void(THttpCli* sender, std::string& line)>;
using THttpDataEvent = std::function<void(THttpCli* sender, const void* buffer, int len)>;
using THttpLocationExceeded =
    std::function<void(THttpCli* sender, int count, bool& allowMore)>;
using THttpCookieEvent =
    std::function<void(THttpCli* sender, const std::string& cookie, bool& accept)>;
using THttpBeforeHeaderSend = std::function<void(THttpCli* sender, const std::string& method,
                                                 std::vector<std::string>& headers)>;
using THttpBeforeAuth = std::function<void(THttpCli* sender, THttpAuthType authType, bool proxy,
                                           const std::string& challenge, bool& allow)>;
using THttpSocketEvent = std::function<void(THttpCli* sender, WORD errCode)>;
using THttpSocksErrorEvent =
    std::function<void(THttpCli* sender, int error, const std::string& msg)>;
using THttpSocksAuthStateEvent = std::function<void(THttpCli* sender, TSocksAuthState state)>;

// The client's socket: the server name of the TLS hello is the host of the
// URL, not the address the socket connects to (an address, or the proxy).
class THttpCliSocket : public TSslWSocket {
 public:
  THttpCliSocket();
  std::string SslServerName;

 private:
  void ApplyServerName();
};

class THttpCli : public TNetWndControl {
 public:
  THttpCli();
  ~THttpCli() override;

  // ---- Settings ----
  std::string Name;
  std::string URL;
  std::string LocalAddr = "0.0.0.0";
  std::string Proxy;
  std::string ProxyPort = "80";
  std::string Sender;
  std::string Agent = "Mozilla/4.0 (compatible; YUX)";
  std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string AcceptLanguage;
  std::string Reference;
  std::string Connection;
  std::string ProxyConnection;
  std::string Username;
  std::string Password;
  std::string ProxyUsername;
  std::string ProxyPassword;
  bool NoCache = false;
  double ModifiedSince = 0;  // days since 1899-12-30, UTC
  std::string Cookie;
  std::string ContentTypePost = "application/x-www-form-urlencoded";
  std::string ContentRangeBegin;
  std::string ContentRangeEnd;
  const std::string& RequestVer() const { return requestVer_; }
  void SetRequestVer(const std::string& v);
  bool FollowRelocation = true;
  int LocationChangeMaxCount = 5;
  int LocationChangeCurCount = 0;
  THttpAuthType ServerAuth = httpAuthNone;
  THttpAuthType ProxyAuth = httpAuthNone;
  std::int64_t BandwidthLimit = 10000;
  DWORD BandwidthSampling = 1000;
  THttpCliOptions Options() const { return options_; }
  void SetOptions(THttpCliOptions v);
  TNetLogger* NetLogger() const { return socket_->NetLogger(); }
  void SetNetLogger(TNetLogger* v) { socket_->SetNetLogger(v); }
  int Timeout = 30;  // seconds without activity before a blocking request is aborted
  // Seconds a blocking request may take as a whole, however busy the
  // server keeps it; 0: no bound.
  int TotalTimeout = 0;
  // The most body bytes an answer may bring before the request ends with
  // httperrBodyTooLarge; -1: no bound.
  std::int64_t MaxBodySize = -1;
  std::string SocksServer;
  std::string SocksLevel = "5";
  std::string SocksPort = "1080";
  std::string SocksUsercode;
  std::string SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;
  // TLS for https; the client's own context (peer verification off) when
  // none is given.
  TSslContext* SslContext() const { return socket_->SslContext(); }
  void SetSslContext(TSslContext* v);

  // ---- Events ----
  THttpNotifyEvent OnTrace;
  THttpSocketEvent OnSessionConnected;
  THttpSocketEvent OnSessionClosed;
  THttpNotifyEvent OnHeaderData;
  THttpCommandEvent OnCommand;
  THttpNotifyEvent OnHeaderBegin;
  THttpNotifyEvent OnHeaderEnd;
  THttpNotifyEvent OnRequestHeaderBegin;
  THttpNotifyEvent OnRequestHeaderEnd;
  THttpNotifyEvent OnDocBegin;
  THttpDataEvent OnDocData;
  THttpNotifyEvent OnDocEnd;
  THttpNotifyEvent OnSendBegin;
  THttpDataEvent OnSendData;
  THttpNotifyEvent OnSendEnd;
  THttpNotifyEvent OnStateChange;
  THttpRequestDone OnRequestDone;
  THttpNotifyEvent OnLocationChange;
  THttpLocationExceeded OnLocationChangeExceeded;
  THttpCookieEvent OnCookie;
  THttpNotifyEvent OnDataPush;
  THttpNotifyEvent OnDataPush2;
  THttpSocketEvent OnSocksConnected;
  THttpSocksAuthStateEvent OnSocksAuthState;
  THttpSocksErrorEvent OnSocksError;
  THttpNotifyEvent OnSocketError;
  THttpBeforeHeaderSend OnBeforeHeaderSend;
  THttpBeforeAuth OnBeforeAuth;

  // ---- Request and answer ----
  TStream* RequestBody = nullptr;   // sent from its position; not owned
  TStream* ResponseBody = nullptr;  // receives the body; not owned
  THttpState State() const { return state_; }
  THttpRequest RequestType() const { return requestType_; }
  int ResponseStatus = 0;
  std::string ResponseReason;
  int RequestDoneError = 0;
  std::vector<std::string> ResponseHeader;
  std::int64_t ResponseLength = -1;
  std::string ResponseContentType;
  std::string ResponseTransferEncoding;
  std::string ResponseContentEncoding;
  std::string ServerVersion;
  bool CloseRequested = false;
  std::string DocumentName;
  std::string Location;  // the last Location value received
  const std::string& AcceptRanges() const { return acceptRanges_; }
  const std::string& Hostname() const { return targetHost_; }
  const std::string& Port() const { return targetPort_; }
  const std::string& Protocol() const { return protocol_; }
  const std::vector<std::string>& WWWAuthenticate() const { return wwwAuthLines_; }
  const std::vector<std::string>& ProxyAuthenticate() const { return proxyAuthLines_; }
  THttpContCodHandler& ContentCodingHnd() { return *contCoding_; }
  THttpCliSocket& CtrlSocket() { return *socket_; }

  // ---- Operations ----
  // Starts a request; OnRequestDone tells its end.
  void StartRequest(THttpRequest request);
  // Runs a request to its end, pumping messages; raises EHttpException
  // for an error or an answer of 400 and above.
  void RunRequestBlocking(THttpRequest request);
  // A blocking POST of RequestBody to URL.
  void Post();
  void Abort();

  // TNetWndControl
  void HandleWindowMessage(TMessage& msg) override;
  int MessageNumbersNeeded() override { return TNetWndControl::MessageNumbersNeeded() + 3; }
  void AllocateMessageNumbers() override;
  void FreeMessageNumbers() override;
  void SetMultiThreaded(bool v) override;
  void SetOnBgException(TNetBgExceptionEvent v) override;
  void SetMessagePumpHandler(std::function<void(TNetWndControl*)> v) override;
  void MarkTerminated(bool v) override;
  void AttachToThread() override;
  void DetachFromThread() override;

 private:
  enum TAuthStep { authNone, authStarted, authFinal };
  struct TAuthSide {
    THttpAuthType Scheme = httpAuthNone;  // the scheme in progress
    TAuthStep Step = authNone;
    TunnelAuthenticator Auth;           // Digest challenge and NTLM messages
    std::string NtlmMessage;            // the type 3 message to send
  };

  // Request set-up and connection.
  void PrepareRequest();
  void Connect();
  void SocketDnsLookupDone(WORD error);
  void SocketSessionConnected(WORD error);
  void SocketSessionClosed(WORD error);
  void SocketDataAvailable();
  void SocketDataSent();
  void SocketHandshakeDone(WORD error);
  std::string ConnectionKey() const;
  std::string KeyFor(const std::string& proto, const std::string& host,
                     const std::string& port) const;

  // Sending.
  void SendRequest(const std::string& method, const std::string& version);
  std::string MethodName() const;
  void StartSendingBody();
  void SendNextBlock();
  std::string AuthorizationLine(bool proxy);

  // Receiving.
  void ProcessReceived();
  bool HandleHeaderLine(const std::string& line);
  void HandleStatusLine(const std::string& line);
  void HandleField(const std::string& line);
  void HeaderEnds();
  void StartBody();
  void ReceiveBody();
  void BodyEnds();
  void WriteBody(const char* data, std::size_t len);
  void TriggerDocData(const void* data, int len);

  // Ends.
  void RequestEnds();
  bool StartRelocation();
  void ContinueRelocation();
  bool StartAuthRetry();
  bool TryAuth(bool proxy);
  void RepeatRequest();
  void Fail(int error, const std::string& reason, int status = 0);
  void FinishRequest();
  // Ends the running request at once: status 404, the reason and error.
  void StopRequest(int error, const std::string& reason);
  void PostDone();
  void SetState(THttpState s);
  void Log(const std::string& text);
  void DropConnection();
  void CloseConnectionDeferred();
  bool ConnectionOpen() const;
  void PostRestart(int kind);
  void Restart(int kind);
  void Connected();
  void StartTunnelTls();
  void StartPreemptiveAuth(TAuthSide& side, THttpAuthType scheme, bool proxy);
  void AbortAfterError() override;
  void ResetAnswer();
  void CutBackResponseBody();

  std::unique_ptr<TSslContext> ownSslContext_;  // outlives the socket that uses it
  std::unique_ptr<THttpCliSocket> socket_;
  std::unique_ptr<THttpContCodHandler> contCoding_;
  THttpCliOptions options_;
  std::string requestVer_ = "1.0";
  THttpState state_ = httpReady;
  THttpRequest requestType_ = httpGET;
  int readyFlag_ = 1;  // 1 while state_ is httpReady, for the blocking wait

  // The request as prepared from URL.
  std::string protocol_, targetHost_, targetPort_, path_, requestPath_;
  std::string connectHost_, connectPort_;
  std::string connectedKey_;  // what the open connection leads to
  std::string curUser_, curPass_, curConnection_, curProxyConnection_;
  std::string credOrigin_;  // scheme, host and port the server credentials belong to
  bool useProxy_ = false;
  bool tunnelled_ = false;  // the CONNECT tunnel of this connection is up

  // The answer.
  std::vector<char> readBuf_;
  std::string rcv_;
  std::size_t rcvPos_ = 0;
  THttpLineReader lineReader_;
  THttpChunkDecoder chunks_;
  bool statusSeen_ = false;
  bool headerBegun_ = false;
  bool chunked_ = false;
  std::int64_t bodyReceived_ = 0;
  std::int64_t responseBodyStart_ = 0;  // ResponseBody size before this answer
  std::string statusLine_;
  std::string acceptRanges_;
  std::vector<std::string> wwwAuthLines_, proxyAuthLines_;
  bool answerComplete_ = false;
  bool errorSeen_ = false;

  // Relocation and authentication.
  bool locationPending_ = false;
  std::string newUrl_;
  bool restartOnClose_ = false;
  TAuthSide serverAuth_, proxyAuth_;

  // Sending the body.
  bool sendingBody_ = false;
  bool endAfterSend_ = false;
  std::int64_t bodySent_ = 0;
  bool handshakeMessage_ = false;  // this request carries an NTLM type 1 or preemptive Basic without body

  UINT msgRequestDone_ = 0, msgInternalDone_ = 0, msgRestart_ = 0;
  int requestSerial_ = 0;     // stale restart messages are recognised by it
  int connectionSerial_ = 0;  // so is a deferred close meant for an earlier connection
  int restartKind_ = 0;
  bool dropping_ = false;     // the client itself closes the socket
  bool socketError_ = false;  // the socket reported an error through OnError
  bool tunnelHandshake_ = false;
  bool peerClosed_ = false;  // the session-closed event came for this connection
};

}  // namespace yux::net
