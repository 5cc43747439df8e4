#include "net/protocols/smtpssl.h"

#include <cstdio>

namespace yux::net {

TSslSmtpCli::TSslSmtpCli() {
  // The base made a plain socket: the TLS client works on its own kind.
  InstallControlSocket();
}

std::unique_ptr<TWSocket> TSslSmtpCli::BuildControlSocket() {
  auto s = std::make_unique<TSslWSocket>();
  s->SslMode = sslModeClient;
  return s;
}

void TSslSmtpCli::Connect() {
  StartTlsOffered = false;
  CtrlSocket()->SslEnable = false;
  TSyncSmtpCli::Connect();
}

void TSslSmtpCli::Ehlo() {
  StartTlsOffered = false;
  TSyncSmtpCli::Ehlo();
}

void TSslSmtpCli::Open() {
  if (SslType != smtpTlsExplicit) return TSyncSmtpCli::Open();
  TSmtpSteps steps = SmtpSteps({smtpStepConnect, smtpStepEhlo, smtpStepStartTls});
  if (AuthType != smtpAuthNone) steps = TSmtpSteps(steps | SmtpStepBit(smtpStepAuth));
  HighLevelAsync(smtpOpen, steps);
}

void TSslSmtpCli::TriggerResponse(const std::string& msg) {
  if (CurrentStep == smtpStepEhlo) {
    TSmtpEhloInfo info;
    SmtpParseEhloLine(msg, info);
    if (info.StartTlsOffered) StartTlsOffered = true;
  }
  TSyncSmtpCli::TriggerResponse(msg);
}

std::vector<TSmtpStep> TSslSmtpCli::HighLevelOrder() const {
  return {smtpStepConnect,  smtpStepHelo,   smtpStepEhlo, smtpStepStartTls,
          smtpStepAuth,     smtpStepVrfy,   smtpStepMailFrom, smtpStepRcptTo,
          smtpStepData,     smtpStepQuit,   smtpStepCalcMsgSize, smtpStepMailFromSIZE};
}

void TSslSmtpCli::StartStep(TSmtpStep step) {
  if (step != smtpStepStartTls) return TSyncSmtpCli::StartStep(step);
  // EHLO is sent again over the secured connection: what the server
  // offers there is all that counts.
  PendingSteps = TSmtpSteps(PendingSteps | SmtpStepBit(smtpStepEhlo));
  StartTls();
}

void TSslSmtpCli::StartTls() {
  CheckReady();
  CurrentStep = smtpStepStartTls;
  std::string refusal;
  if (!EsmtpSupported)
    refusal = "500 ESMTP not supported.";
  else if (!StartTlsOffered)
    refusal = "500 STARTTLS is not available.";
  else if (SslType == smtpTlsImplicit)
    refusal = "500 STARTTLS is not supported with a implicite SSL connection";
  if (!refusal.empty()) {
    if (!HighLevelFlag) RequestType = smtpStartTls;
    LastResponse = refusal;
    ErrorMessage = refusal;
    StatusCode = 500;
    RequestResult = 500;
    ClearHighLevelContinuation();
    SetDonePosted(false);
    TriggerRequestDone(500);
    return;
  }
  ExecAsync(smtpStartTls, "STARTTLS", {220}, [this] { StartTlsReplied(); });
}

void TSslSmtpCli::StartTlsReplied() {
  if (RequestResult != 0) return TriggerRequestDone(WORD(RequestResult));
  if (!ReplyBufferEmpty()) {
    // Whatever came behind the go-ahead was not written by the TLS peer:
    // reading it after the handshake would take it as the server's word.
    FailAndAbort(500, "500 Unexpected data after the reply to STARTTLS");
    return;
  }
  TriggerDisplay("Starting SSL handshake");
  BeginHandshake();
}

void TSslSmtpCli::BeginHandshake() {
  TWSocket* s = CtrlSocket();
  s->OnSslHandshakeDone = [this](TCustomWSocket* sender, WORD e, TX509Base* cert, bool& disc) {
    HandshakeDone(sender, e, cert, disc);
  };
  try {
    // The connection went to the resolved address: the server's name is
    // what the hello asks for and what the certificate is checked against.
    s->SslServerName = Host;
    s->SslEnable = true;
    s->StartSslHandshake();
  } catch (const std::exception& e) {
    s->SslEnable = false;
    const std::string text = ExceptionClassName(e) + " " + e.what();
    ErrorMessage = SslType == smtpTlsImplicit ? "SSL Handshake failed " + text : text;
    FailAndAbort(500, text);
  }
}

void TSslSmtpCli::HandleSocketConnected(WORD error) {
  if (SslType != smtpTlsImplicit || error != 0) return TSyncSmtpCli::HandleSocketConnected(error);
  Connected = true;
  TriggerDisplay("! Starting SSL handshake");
  BeginHandshake();
}

void TSslSmtpCli::HandshakeDone(TCustomWSocket* sender, WORD errCode, TX509Base* peerCert,
                                bool& disconnect) {
  if (OnSslHandshakeDone) OnSslHandshakeDone(sender, errCode, peerCert, disconnect);
  TWSocket* s = CtrlSocket();
  if (errCode != 0 || disconnect || s->State() != wsConnected) {
    TriggerDisplay("SSL Handshake failed");
    ErrorMessage = "SSL Handshake failed";
    FailAndAbort(500, "500 SSL Handshake failed");
    ErrorMessage = "SSL Handshake failed";
    return;
  }
  char text[256];
  std::snprintf(text, sizeof text, "Secure connection with %s, cipher %s, %d secret bits (%d total)",
                s->SslVersion.c_str(), s->SslCipher.c_str(), s->SslSecretBits, s->SslTotalBits);
  TriggerDisplay(text);
  if (SslType == smtpTlsImplicit) {
    SetState(smtpWaitingBanner);
    return;
  }
  TriggerRequestDone(0);
}

}  // namespace yux::net
