#pragma once
// The system's error numbers as the Winsock error numbers the suite tests.
// Kept apart from winsock.h, whose constants share names with the system's
// socket macros, so that code holding system numbers can include it.
namespace yux::net {

// errno values (0 gives 0; an unknown one gives 10022, invalid argument).
int WinsockErrorFromErrno(int err);
// getaddrinfo/getnameinfo results: EAI_NONAME 11001, EAI_AGAIN 11002,
// EAI_FAIL 11003, no address of the family 11004; EAI_SYSTEM uses err.
int WinsockErrorFromEai(int eai, int err);

}  // namespace yux::net
