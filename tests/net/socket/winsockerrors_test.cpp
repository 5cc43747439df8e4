// The system's error numbers as Winsock numbers.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "net/socket/winsockerrors.h"

using namespace yux::net;

TEST(WinsockErrors, ErrnoTable) {
  struct {
    int err, code;
  } const cases[] = {
      {0, 0},
      {EAGAIN, 10035},       {EINPROGRESS, 10035},  // a connect under way
      {ECONNRESET, 10054},   {EPIPE, 10054},        {ENOTCONN, 10057},
      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {ECONNABORTED, 10053},
      {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},
      {EHOSTUNREACH, 10065}, {ENOTSOCK, 10038},     {EBADF, 10009},
      {EINTR, 10004},        {EINVAL, 10022},       {EMSGSIZE, 10040},
      {EISCONN, 10056},      {EALREADY, 10037},     {EAFNOSUPPORT, 10047},
      {ENOBUFS, 10055},      {ESHUTDOWN, 10058},    {EACCES, 10013},
  };
  for (const auto& c : cases) EXPECT_EQ(WinsockErrorFromErrno(c.err), c.code) << c.err;
  EXPECT_EQ(WinsockErrorFromEai(EAI_NONAME, 0), 11001);
  EXPECT_EQ(WinsockErrorFromEai(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(WinsockErrorFromEai(EAI_FAIL, 0), 11003);
  EXPECT_EQ(WinsockErrorFromEai(EAI_NODATA, 0), 11004);
  EXPECT_EQ(WinsockErrorFromEai(EAI_SYSTEM, ECONNREFUSED), 10061);
}
