#include "platform/socket_error.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

namespace trovanex {
namespace {

// The numbers that the log lines and the error answers are defined in.
TEST(SocketError, SystemAndResolverCodesBecomeWindowsSocketsNumbers) {
  EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaErrorFromErrno(ECONNABORTED), 10053);
  EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaErrorFromErrno(EPIPE), 10058);
  EXPECT_EQ(WsaErrorFromErrno(ESHUTDOWN), 10058);
  EXPECT_EQ(WsaErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WsaErrorFromErrno(-12345), 10022);  // no counterpart

  EXPECT_EQ(WsaErrorFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(WsaErrorFromResolver(EAI_FAIL, 0), 11001);
  EXPECT_EQ(WsaErrorFromResolver(EAI_AGAIN, 0), 11002);
  // A system failure inside the resolver is told by its errno.
  EXPECT_EQ(WsaErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

}  // namespace
}  // namespace trovanex
