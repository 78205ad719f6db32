#include "platform/socket_error.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

namespace trovanex {
namespace {

// The numbers the log and the error answers are defined in.
TEST(SocketError, SystemCodesBecomeWindowsSocketsNumbers) {
  const struct {
    int error_number;
    int wsa;
  } rows[] = {
      {ECONNREFUSED, 10061},  {ECONNABORTED, 10053},
      {ECONNRESET, 10054},    {EPIPE, 10058},
      {ESHUTDOWN, 10058},     {ETIMEDOUT, 10060},
      {ENETUNREACH, 10051},   {EHOSTUNREACH, 10065},
      {EADDRINUSE, 10048},    {EACCES, 10013},
      {EADDRNOTAVAIL, 10049}, {EMFILE, 10024},
      {EINVAL, 10022},        {0, 10022},
      {-12345, 10022},
  };
  for (const auto& row : rows)
    EXPECT_EQ(WsaErrorFromErrno(row.error_number), row.wsa) << row.error_number;
}

TEST(SocketError, ResolverResultsBecomeWindowsSocketsNumbers) {
  EXPECT_EQ(WsaErrorFromResolver(EAI_NONAME, 0), kWsaHostNotFound);
#ifdef EAI_NODATA
  EXPECT_EQ(WsaErrorFromResolver(EAI_NODATA, 0), kWsaHostNotFound);
#endif
  EXPECT_EQ(WsaErrorFromResolver(EAI_FAIL, 0), kWsaHostNotFound);
  EXPECT_EQ(WsaErrorFromResolver(EAI_AGAIN, 0), kWsaTryAgain);
  // A system failure inside the resolver is told by its errno.
  EXPECT_EQ(WsaErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), kWsaConnectionRefused);
  EXPECT_EQ(WsaErrorFromResolver(EAI_SYSTEM, ENOTCONN), 10057);
}

}  // namespace
}  // namespace trovanex
