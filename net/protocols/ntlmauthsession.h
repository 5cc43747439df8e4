#pragma once
// TNtlmAuthSession: the server side of an NTLM login.  It answers a type-1
// message with a type-2 challenge of its own and checks the type-3 answer
// (NTLMv1, NTLM2 session or NTLMv2 response) against the password that
// OnAuthGetPassword supplies for the user the message names.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/protocols/ntlm.h"

namespace yux::net {

enum TNtlmAuthState { AuthIdle = 0, AuthChallengeSent = 1, AuthSucceeded = 2, AuthFailed = 3 };

// Status codes as the security interface reports them.
inline constexpr std::int32_t SEC_E_OK = 0;
inline constexpr std::int32_t SEC_I_CONTINUE_NEEDED = 0x00090312;
inline constexpr std::int32_t SEC_E_INVALID_TOKEN = static_cast<std::int32_t>(0x80090308u);
inline constexpr std::int32_t SEC_E_LOGON_DENIED = static_cast<std::int32_t>(0x8009030Cu);

class TNtlmAuthSession {
 public:
  TNtlmAuthSession() = default;
  TNtlmAuthSession(const TNtlmAuthSession&) = delete;
  TNtlmAuthSession& operator=(const TNtlmAuthSession&) = delete;

  // Takes the client's Base64 message.  An empty text resets the session
  // and gives false.  A type-1 message (or anything but a type-3 answer to
  // our challenge) starts over and, when it is a negotiate message, puts
  // the session in AuthChallengeSent with the challenge in NtlmMessage().
  // A type-3 answer ends in AuthSucceeded or AuthFailed.  True exactly
  // when the state is AuthSucceeded.
  bool ProcessMessage(std::string_view base64);

  // The Base64 message to send back (the challenge), empty when none.
  const std::string& NtlmMessage() const { return FNtlmMessage; }
  TNtlmAuthState State() const { return FState; }
  std::int32_t LastStatus() const { return FLastStatus; }
  // From the type-3 message, in the system code page.
  const std::string& User() const { return FUser; }
  const std::string& Domain() const { return FDomain; }
  const std::string& Host() const { return FHost; }

  // Forgets the challenge once the login is decided; State, User, Domain
  // and Host stay.
  void ReleaseContext();

  // May refuse the login after User, Domain and Host are known.
  std::function<void(TNtlmAuthSession& sender, bool& allow)> OnBeforeAccept;
  // Supplies the password of User (in the system code page).  Without a
  // handler every answer is refused.
  std::function<void(TNtlmAuthSession& sender, std::string& password)> OnAuthGetPassword;

 private:
  void Reset();
  void Fail(std::int32_t status);
  void IssueChallenge(std::string_view negotiate);
  void CheckAuthenticate(std::string_view msg);
  bool ResponseMatches(std::string_view msg, std::u16string_view user16,
                       std::u16string_view domain16);

  TNtlmAuthState FState = AuthIdle;
  std::int32_t FLastStatus = SEC_E_OK;
  std::string FNtlmMessage;
  std::string FUser, FDomain, FHost;
  TNtlmChallenge FChallenge{};
  std::uint32_t FChallengeFlags = 0;
};

}  // namespace yux::net
