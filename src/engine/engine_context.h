// What every connection of the proxy shares: the monitor, the current settings, the hash list,
// the error pages, the saving switch and the capture. It outlives every connection thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "engine/capture_hooks.h"
#include "engine/https_opening.h"
#include "engine/resources.h"
#include "model/hash_list.h"
#include "model/settings_holder.h"
#include "monitor/monitor.h"

namespace trovanex {

struct EngineContext {
  // Makes the capture of one connection; the connection keeps `config` alive meanwhile.
  using CaptureFactory = std::function<std::unique_ptr<CaptureHooks>(
      std::uint32_t connection_no, std::shared_ptr<TTxConfig> config)>;

  Monitor& monitor;
  SettingsHolder& settings;
  THashList& hash_list;
  ErrorPages pages;
  std::string program_folder;             // ends with the separator; temporary files go here
  std::atomic<bool> SaveAvailable{true};  // written by the front end only
  CaptureFactory new_capture;             // none: nothing is captured
  // The port the proxy listens on, never connected to on this machine; -1 until it listens.
  std::atomic<int> listen_port{-1};
  // The local authority and its certificates, for the HTTPS hosts the user names; none: every
  // tunnel stays blind.
  std::shared_ptr<HttpsOpening> https{};
};

}  // namespace trovanex
