// The user's settings while the program runs: the listening port, the upstream proxy, the
// time-outs, the relay buffer size, who may connect, the tray double click, and the search
// conditions. Loaded at start from the ini file beside the executable and "Search.cfg";
// written back to both at a normal exit. The settings file's "[Settings]" section holds the
// nine keys it always had; what came later has sections of its own ("[Https]", "[Desktop]").
//
// A settings object that connections read is never edited: the settings dialog edits a copy
// (Assign) and the copy replaces it as a whole. Hold it through std::shared_ptr so a
// connection keeps the object it started with.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "model/https_hosts.h"
#include "model/message_boxes.h"
#include "model/search_condition.h"

namespace trovanex {

inline constexpr std::int32_t kDefaultBufferSize = 32767;

// The "[Https]" section: whether the named hosts' HTTPS is opened and kept, and the extra
// certificate authorities that origins may use. A file without the section reads as these
// defaults.
struct HttpsSettings {
  bool Capture = false;
  HttpsHosts Hosts;         // the "Hosts" text as the file holds it, and its patterns
  std::string ExtraCaFile;  // a PEM file; empty for the system's trust store alone

  bool operator==(const HttpsSettings& other) const {
    return Capture == other.Capture && Hosts.Text() == other.Hosts.Text() &&
           ExtraCaFile == other.ExtraCaFile;
  }
};

class TTxConfig {
 public:
  TTxConfig();
  TTxConfig(const TTxConfig&) = delete;
  TTxConfig& operator=(const TTxConfig&) = delete;

  std::int32_t ListenPort = 0;
  bool UseProxy = false;
  std::string ProxyAddress;
  std::int32_t ProxyPort = 0;
  std::int32_t ConnectionTimeout = 0;  // milliseconds
  std::int32_t ReadTimeout = 0;        // milliseconds
  std::int32_t BufferSize = 0;         // bytes; see RelayBufferSize
  bool AllowOuterConnection = false;
  std::uint8_t TrayDoubleClickMode = 0;
  std::unique_ptr<TSearchConditionList> Conditions;  // never null
  HttpsSettings Https;
  // "[Desktop]": while the program runs, this desktop's proxy settings point at it.
  bool UseAsSystemProxy = false;

  // Reads "Search.cfg" from `program_folder` (its errors go through `boxes`; a file that exists
  // but cannot be read throws FileError before the settings file is read), then the nine keys
  // of `settings_path`, the "[Https]" keys and "[Desktop]", each with its default when missing or
  // not a number. Host patterns that are not patterns are kept in the text and match nothing.
  void LoadSettings(const std::string& program_folder, const std::string& settings_path,
                    MessageBoxes& boxes);
  // Writes "Search.cfg" first, then the settings file. Throws FileError with the file's own
  // text; a failing condition file leaves the settings file unwritten. "[Https]" is written
  // when the file has it already or a value differs from its default, so the file of a user
  // who never turned HTTPS capture on keeps its ten lines; "[Desktop]" likewise.
  void SaveSettings(const std::string& program_folder, const std::string& settings_path) const;

  // Copies the nine values, the HTTPS and desktop settings and a deep copy of the conditions of
  // `other`.
  void Assign(const TTxConfig& other);

  TSearchCondition* FirstCondition() const { return Conditions->First(); }

  // The size of each relayed piece: BufferSize, or the default when it is below 1.
  std::int32_t RelayBufferSize() const { return BufferSize < 1 ? kDefaultBufferSize : BufferSize; }
};

}  // namespace trovanex
