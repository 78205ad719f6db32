// Socket failures carry the Windows Sockets error numbers on every platform, because the
// proxy's behaviour and its log lines are defined in those numbers (11001 host not found,
// 10061 refused, 10053 aborted, 10054 reset, 10058 shut down, 10060 timed out, ...).
#pragma once

namespace trovanex {

inline constexpr int kWsaAccessDenied = 10013;
inline constexpr int kWsaInvalidArgument = 10022;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;
inline constexpr int kWsaConnectionAborted = 10053;
inline constexpr int kWsaConnectionReset = 10054;
inline constexpr int kWsaShutdown = 10058;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnectionRefused = 10061;

// The Windows Sockets number for an errno value left by a socket call. A value without a
// counterpart gives 10022 (invalid argument).
int WsaErrorFromErrno(int error_number);

// The Windows Sockets number for a getaddrinfo() result (EAI_*), given the errno it left (used
// for EAI_SYSTEM). A name that does not exist gives 11001; a result without a counterpart
// gives 10022.
int WsaErrorFromResolver(int resolver_result, int error_number);

// Throws the SocketFailure for an errno value left by a socket call: its Windows Sockets number
// and the system's text.
[[noreturn]] void ThrowSocketFailure(int error_number);

}  // namespace trovanex
