// TLS over a proxy connection, both ways: towards the browser inside an opened CONNECT tunnel
// (this side shows a leaf certificate of the local authority), and towards the origin (this
// side verifies the origin's certificate, always). Each call does the handshake over the
// connection's stream and then puts the TLS session over it (Connection::UseStream), so that
// every later read and write of the connection is plaintext. TLS 1.2 and later, HTTP/1.1
// by ALPN. Failures throw TlsFailure (or TlsVerifyFailed), PeerClosed or SocketFailure.
#pragma once

#include <string>

#include "platform/connection.h"
#include "tls/leaf_cache.h"
#include "tls/tls_errors.h"

namespace trovanex {

// The browser side, after "200 Connection established" was written. Bytes the connection has
// already received are the first of the handshake. The leaf is the one for `connect_host`: the
// browser's SNI name must be that host (ASCII case and one final dot on either aside) or absent.
// Any other name ends the handshake with an "unrecognized name" alert, no certificate is made
// for it, and TlsFailure names both names. Waits at most `timeout_ms` for the whole handshake
// (<= 0: no limit), however slowly the browser's bytes come; past it, TlsFailure "handshake
// timed out". Returns the name the leaf was made for (connect_host, normalised).
std::string AcceptTls(Connection& browser, LeafCache& leaves, const std::string& connect_host,
                      int timeout_ms);

// The origin side, on a connected `origin` for `host` at `port` (a name, or an IPv4 or IPv6
// address, brackets allowed), directly or through an upstream proxy's tunnel: SNI for a name,
// the certificate checked against the system's trust store and the certificates of
// `extra_ca_file` (a PEM file; empty: none) and against the name or address in its subject
// alternative names (never its subject's common name, as browsers do). The file is read again
// when it has changed since it was last read. Throws TlsVerifyFailed when the
// certificate does not verify, TlsFailure when `extra_ca_file` cannot be read or the handshake
// fails. Returns whether a session the same origin (`host` and `port`) gave before was resumed.
bool ConnectTls(Connection& origin, const std::string& host, int port,
                const std::string& extra_ca_file, int timeout_ms);

// Loads what verifying origins with `extra_ca_file` needs (the system's trust store takes tens
// of milliseconds), so that the first opened tunnel does not wait for it. Throws TlsFailure like
// ConnectTls for a file that cannot be read.
void PrepareOriginTls(const std::string& extra_ca_file);

}  // namespace trovanex
