#include "support/engine_harness.h"

#include <algorithm>

#include "engine/resources.h"

namespace trovanex::testing {

EngineHarness::EngineHarness()
    : monitor(views.Views(), false),
      hash_list(folder / kHashListFileName),
      config_(std::make_shared<TTxConfig>()),
      settings_(config_),
      context{monitor, settings_, hash_list, LoadErrorPages(), folder.path(), true, {}},
      engine_(context) {
  config_->ReadTimeout = 2000;
  config_->ConnectionTimeout = 2000;
  config_->BufferSize = kDefaultBufferSize;
  config_->AllowOuterConnection = false;
}

EngineHarness::~EngineHarness() {
  engine_.Stop();
}

void EngineHarness::UseUpstreamProxy(int port) {
  config_->UseProxy = true;
  config_->ProxyAddress = "127.0.0.1";
  config_->ProxyPort = port;
}

int EngineHarness::Port() {
  if (!started_) {
    engine_.Start(0);
    started_ = true;
  }
  return engine_.Port();
}

int EngineHarness::Stop() {
  return engine_.Stop();
}

bool EngineHarness::WaitForEnded(std::uint32_t count) {
  const std::string both = std::to_string(count);
  return views.status.WaitForText(RecordingStatusView::kConnectCounter, both + " / " + both);
}

std::vector<std::string> EngineHarness::LogLinesStartingWith(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const std::string& line : LogLines())
    if (line.starts_with(prefix)) found.push_back(line);
  return found;
}

bool EngineHarness::Logged(const std::string& line) const {
  const std::vector<std::string> lines = LogLines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string GetRequest(int port, const std::string& path) {
  const std::string host = "127.0.0.1:" + std::to_string(port);
  return "GET http://" + host + path + " HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\n\r\n";
}

}  // namespace trovanex::testing
