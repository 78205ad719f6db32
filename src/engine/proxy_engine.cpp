#include "engine/proxy_engine.h"

#include <signal.h>

#include "engine/plain_request_session.h"

namespace trovanex {

ProxyEngine::ProxyEngine(EngineContext& context)
    : context_(context),
      listener_([this](Connection& browser) { AdmitConnection(context_, browser); },
                [this](Connection& browser) { PlainRequestSession(context_, browser).Run(); }) {}

ProxyEngine::~ProxyEngine() {
  Stop();
}

void ProxyEngine::Start(int port) {
  // A browser that goes away must fail the write, not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  // Known before the first connection is accepted; port 0 picks one, known once listening.
  context_.listen_port = port;
  listener_.Start(port);
  context_.listen_port = listener_.Port();
}

int ProxyEngine::Stop(std::chrono::milliseconds wait) {
  return listener_.Stop(wait);
}

}  // namespace trovanex
