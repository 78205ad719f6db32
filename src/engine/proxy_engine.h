// The proxy: a listener whose connections are admitted and served by PlainRequestSession.
#pragma once

#include <chrono>
#include <memory>

#include "engine/engine_context.h"
#include "platform/listener.h"

namespace trovanex {

class ProxyEngine {
 public:
  explicit ProxyEngine(EngineContext& context);
  ~ProxyEngine();

  // Starts listening; throws SocketFailure naming the port and the reason.
  void Start(int port);
  int Port() const { return listener_.Port(); }
  // Stops accepting, closes every open connection and waits for their threads; returns how
  // many were still running when the wait ended.
  int Stop(std::chrono::milliseconds wait = std::chrono::milliseconds(5000));

 private:
  EngineContext& context_;
  Listener listener_;
};

}  // namespace trovanex
