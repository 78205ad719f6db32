#include "platform/socket_error.h"

#include <netdb.h>

#include <cerrno>

#include "platform/file_system.h"
#include "platform/net_errors.h"

namespace trovanex {
namespace {

enum class Source { kErrno, kResolver };

struct Mapping {
  Source source;
  int value;
  int wsa;
};

// Every translation into Windows Sockets numbers lives in this one table, so that a code means
// the same in a log line whichever call produced it.
constexpr Mapping kMappings[] = {
    {Source::kErrno, EINTR, 10004},
    {Source::kErrno, EBADF, 10009},
    {Source::kErrno, EACCES, 10013},
    {Source::kErrno, EPERM, 10013},
    {Source::kErrno, EFAULT, 10014},
    {Source::kErrno, EINVAL, kWsaInvalidArgument},
    {Source::kErrno, EMFILE, 10024},
    {Source::kErrno, ENFILE, 10024},
    {Source::kErrno, EWOULDBLOCK, 10035},
    {Source::kErrno, EAGAIN, 10035},
    {Source::kErrno, EINPROGRESS, 10036},
    {Source::kErrno, EALREADY, 10037},
    {Source::kErrno, ENOTSOCK, 10038},
    {Source::kErrno, EDESTADDRREQ, 10039},
    {Source::kErrno, EMSGSIZE, 10040},
    {Source::kErrno, EPROTOTYPE, 10041},
    {Source::kErrno, ENOPROTOOPT, 10042},
    {Source::kErrno, EPROTONOSUPPORT, 10043},
    {Source::kErrno, ESOCKTNOSUPPORT, 10044},
    {Source::kErrno, EOPNOTSUPP, 10045},
    {Source::kErrno, EPFNOSUPPORT, 10046},
    {Source::kErrno, EAFNOSUPPORT, 10047},
    {Source::kErrno, EADDRINUSE, 10048},
    {Source::kErrno, EADDRNOTAVAIL, 10049},
    {Source::kErrno, ENETDOWN, 10050},
    {Source::kErrno, ENETUNREACH, 10051},
    {Source::kErrno, ENETRESET, 10052},
    {Source::kErrno, ECONNABORTED, kWsaConnectionAborted},
    {Source::kErrno, ECONNRESET, kWsaConnectionReset},
    {Source::kErrno, ENOBUFS, 10055},
    {Source::kErrno, ENOMEM, 10055},
    {Source::kErrno, EISCONN, 10056},
    {Source::kErrno, ENOTCONN, 10057},
    {Source::kErrno, EPIPE, kWsaShutdown},
    {Source::kErrno, ESHUTDOWN, kWsaShutdown},
    {Source::kErrno, ETOOMANYREFS, 10059},
    {Source::kErrno, ETIMEDOUT, kWsaTimedOut},
    {Source::kErrno, ECONNREFUSED, kWsaConnectionRefused},
    {Source::kErrno, ELOOP, 10062},
    {Source::kErrno, ENAMETOOLONG, 10063},
    {Source::kErrno, EHOSTDOWN, 10064},
    {Source::kErrno, EHOSTUNREACH, 10065},
    {Source::kErrno, ENOTEMPTY, 10066},
    {Source::kErrno, EUSERS, 10068},
    {Source::kErrno, EDQUOT, 10069},
    {Source::kErrno, ESTALE, 10070},
    {Source::kErrno, EREMOTE, 10071},

    // A name the resolver cannot turn into an address, for whatever reason it gives, is a
    // name that does not exist: the browser then gets the unknown-domain page.
    {Source::kResolver, EAI_NONAME, kWsaHostNotFound},
#ifdef EAI_NODATA
    {Source::kResolver, EAI_NODATA, kWsaHostNotFound},
#endif
#ifdef EAI_ADDRFAMILY
    {Source::kResolver, EAI_ADDRFAMILY, kWsaHostNotFound},
#endif
    {Source::kResolver, EAI_FAIL, kWsaHostNotFound},
    {Source::kResolver, EAI_AGAIN, kWsaTryAgain},
    {Source::kResolver, EAI_MEMORY, 10055},
    {Source::kResolver, EAI_FAMILY, 10047},
    {Source::kResolver, EAI_SOCKTYPE, 10044},
    {Source::kResolver, EAI_SERVICE, 10109},
    {Source::kResolver, EAI_BADFLAGS, kWsaInvalidArgument},
};

int Lookup(Source source, int value) {
  for (const Mapping& mapping : kMappings) {
    if (mapping.source == source && mapping.value == value) return mapping.wsa;
  }
  return kWsaInvalidArgument;
}

}  // namespace

int WsaErrorFromErrno(int error_number) {
  return Lookup(Source::kErrno, error_number);
}

int WsaErrorFromResolver(int resolver_result, int error_number) {
  if (resolver_result == EAI_SYSTEM) return WsaErrorFromErrno(error_number);
  return Lookup(Source::kResolver, resolver_result);
}

void ThrowSocketFailure(int error_number) {
  throw SocketFailure(WsaErrorFromErrno(error_number), SystemErrorText(error_number));
}

}  // namespace trovanex
