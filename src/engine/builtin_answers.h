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

// The stored file at `path`, in pieces of `piece` bytes, with the content type the copy arrived
// with or, failing that, its extension's (engine/content_types.h). Only a regular file is served,
// opened without blocking and without following a symbolic link in its last component: for anything
// else (a pipe, a device, a link, a file that cannot be opened) nothing is sent and the result is
// false, as for a missing file. Throws when the file cannot be read whole or the browser goes away.
bool SendLocalFileAnswer(Connection& browser, const TProxyRequest& request, const std::string& path,
                         std::size_t piece, Monitor& monitor);

}  // namespace trovanex
