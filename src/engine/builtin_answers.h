// Answers the proxy makes itself, without asking an origin: its own resources under the
// reserved resource host, and addresses saved before, answered from the stored file.
#pragma once

#include <string>

#include "engine/proxy_request.h"
#include "monitor/monitor.h"
#include "platform/connection.h"

namespace trovanex {

// The resource named by the request's path ("/name.ext"), or a 404 answer.
void SendResourceAnswer(Connection& browser, const TProxyRequest& request);

// The stored file at `path`, in pieces of `piece` bytes. Throws when the file cannot be read
// whole or the browser goes away.
void SendLocalFileAnswer(Connection& browser, const TProxyRequest& request, const std::string& path,
                         std::size_t piece, Monitor& monitor);

}  // namespace trovanex
