// NTLM messages from outside.  The first byte picks the role:
//  0: a server's type-2 challenge (the rest, as raw message bytes) read by
//     the client, which then answers it at the level the second byte picks;
//  1: our acceptor given a real negotiate message, then the rest as the
//     client's type-3 answer;
//  2: the rest as the first message to our acceptor;
//  3: a client and our acceptor agreeing: the rest holds user, password and
//     domain lines; a plain-ASCII login must succeed at every level.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/mimeutils.h"
#include "net/protocols/ntlm.h"
#include "net/protocols/ntlmauthsession.h"

using namespace yux;
using namespace yux::net;

namespace {

bool PlainAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

void Client(std::string_view message, int level) {
  const TNTLM_Msg2_Info info = NtlmParseChallenge(EncodeBase64String(message));
  if (!info.Valid) return;
  const std::string answer =
      NtlmBuildAuthenticate("DOMAIN", "HOST", "user", level, 0, info, "secret");
  // Only an NTLMv2 response too long for its 16-bit length goes unanswered.
  if (level >= 3 && info.TargetInfo.size() + 48 > 0xFFFF) {
    YUX_FUZZ_CHECK(answer.empty(), "an NTLMv2 response over 65535 bytes was sent");
    return;
  }
  YUX_FUZZ_CHECK(!answer.empty(), "no answer to a valid challenge");
  YUX_FUZZ_CHECK(!DecodeBase64String(answer).empty(), answer);
}

void Acceptor(std::string_view first, std::string_view second) {
  TNtlmAuthSession session;
  session.OnAuthGetPassword = [](TNtlmAuthSession&, std::string& pw) { pw = "secret"; };
  session.ProcessMessage(EncodeBase64String(first));
  if (session.State() == AuthChallengeSent) {
    // Our own challenge reads back as valid.
    YUX_FUZZ_CHECK(NtlmParseChallenge(session.NtlmMessage()).Valid, session.NtlmMessage());
  }
  if (!second.empty()) {
    const bool ok = session.ProcessMessage(EncodeBase64String(second));
    YUX_FUZZ_CHECK(ok == (session.State() == AuthSucceeded), "result and state disagree");
  }
  // Text handed in directly, as a header carries it.
  TNtlmAuthSession raw;
  raw.ProcessMessage(first);
}

void Agreement(std::string_view rest, int level) {
  const std::string user(fuzz::NextLine(rest));
  const std::string password(fuzz::NextLine(rest));
  const std::string domain(fuzz::NextLine(rest));

  TNtlmAuthSession server;
  server.OnAuthGetPassword = [&](TNtlmAuthSession&, std::string& pw) { pw = password; };
  server.ProcessMessage(NtlmBuildNegotiate(domain, "HOST", level));
  if (server.State() != AuthChallengeSent) fuzz::Fail("our negotiate message was refused");
  const TNTLM_Msg2_Info info = NtlmParseChallenge(server.NtlmMessage());
  YUX_FUZZ_CHECK(info.Valid, server.NtlmMessage());
  const std::string answer = NtlmBuildAuthenticate(domain, "HOST", user, level, 0, info, password);
  const bool ok = server.ProcessMessage(answer);
  if (!user.empty() && user.size() <= 64 && password.size() <= 64 && domain.size() <= 64 &&
      PlainAscii(user) && PlainAscii(password) && PlainAscii(domain)) {
    YUX_FUZZ_CHECK(ok, "user '" + user + "' password '" + password + "' domain '" + domain +
                           "' level " + std::to_string(level));
    YUX_FUZZ_CHECK(server.User() == user, server.User());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > fuzz::kMaxTextInput) return 0;
  const int mode = data[0] % 4;
  const int level = data[1] % 6;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  switch (mode) {
    case 0:
      Client(rest, level);
      break;
    case 1:
      Acceptor(DecodeBase64String(NtlmBuildNegotiate("DOMAIN", "HOST", level)), rest);
      break;
    case 2:
      Acceptor(rest, {});
      break;
    default:
      Agreement(rest, level);
      break;
  }
  return 0;
}
