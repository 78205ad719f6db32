#include "engine/origin_route.h"

#include "engine/request_session.h"

namespace trovanex {

bool OwnOrigin::Connect(RequestSession& request) {
  const TTxConfig& config = request.Config();
  const TProxyRequest& target = request.Request();
  origin_.emplace();
  link_.emplace(browser_, *origin_);
  return request.ConnectTo(*this, config.UseProxy ? config.ProxyAddress : target.Host,
                           config.UseProxy ? config.ProxyPort : target.Port);
}

}  // namespace trovanex
