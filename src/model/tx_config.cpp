#include "model/tx_config.h"

#include "model/condition_file.h"
#include "platform/errors.h"
#include "platform/ini_file.h"

namespace trovanex {
namespace {

constexpr char kSection[] = "Settings";
constexpr char kHttpsSection[] = "Https";
constexpr char kDesktopSection[] = "Desktop";
constexpr std::size_t kMaxTextLength = 2047;

std::int32_t ReadInteger(const IniFile& ini, const char* key, std::int32_t fallback,
                         const char* section = kSection) {
  const auto text = ini.Get(section, key);
  if (!text) return fallback;
  return ParseIniInteger(*text).value_or(fallback);
}

bool ReadBool(const IniFile& ini, const char* key, bool fallback, const char* section = kSection) {
  return ReadInteger(ini, key, fallback ? 1 : 0, section) != 0;
}

// Host lists and paths are not cut to the length of the older text keys: a cut pattern
// would name another host, and a cut path another file.
HttpsSettings ReadHttps(const IniFile& ini) {
  HttpsSettings https;
  https.Capture = ReadBool(ini, "Capture", false, kHttpsSection);
  https.Hosts = HttpsHosts::Parse(ini.Get(kHttpsSection, "Hosts").value_or(""));
  https.ExtraCaFile = ini.Get(kHttpsSection, "ExtraCaFile").value_or("");
  return https;
}

std::string ReadText(const IniFile& ini, const char* key) {
  std::string text = ini.Get(kSection, key).value_or("");
  if (text.size() > kMaxTextLength) text.resize(kMaxTextLength);
  return text;
}

}  // namespace

TTxConfig::TTxConfig() : Conditions(std::make_unique<TSearchConditionList>()) {}

void TTxConfig::LoadSettings(const std::string& program_folder, const std::string& settings_path,
                             MessageBoxes& boxes) {
  Conditions->AddChain(LoadSearchConditions(program_folder, boxes));

  const IniFile ini = IniFile::Load(settings_path);
  ListenPort = ReadInteger(ini, "ListenPort", 81);
  UseProxy = ReadBool(ini, "UseProxy", false);
  ProxyAddress = ReadText(ini, "ProxyAddress");
  ProxyPort = ReadInteger(ini, "ProxyPort", 8080);
  ConnectionTimeout = ReadInteger(ini, "ConnectionTimeout", 5000);
  ReadTimeout = ReadInteger(ini, "ReadTimeout", 30000);
  BufferSize = ReadInteger(ini, "BufferSize", kDefaultBufferSize);
  AllowOuterConnection = ReadBool(ini, "AllowOuterConnection", false);
  TrayDoubleClickMode = static_cast<std::uint8_t>(ReadInteger(ini, "TrayDoubleClickMode", 1));
  Https = ReadHttps(ini);
  UseAsSystemProxy = ReadBool(ini, "UseAsSystemProxy", false, kDesktopSection);
}

void TTxConfig::SaveSettings(const std::string& program_folder,
                             const std::string& settings_path) const {
  SaveSearchConditions(program_folder, Conditions.get());

  // Other sections and keys of an existing file are kept as they stand, so a file that
  // exists but cannot be read is not replaced by one that lost them.
  bool unreadable = false;
  IniFile ini = IniFile::Load(settings_path, &unreadable);
  if (unreadable) throw FileError(settings_path + " に書き込めません");
  ini.Set(kSection, "ListenPort", std::to_string(ListenPort));
  ini.Set(kSection, "UseProxy", UseProxy ? "1" : "0");
  ini.Set(kSection, "ProxyAddress", ProxyAddress);
  ini.Set(kSection, "ProxyPort", std::to_string(ProxyPort));
  ini.Set(kSection, "ConnectionTimeout", std::to_string(ConnectionTimeout));
  ini.Set(kSection, "ReadTimeout", std::to_string(ReadTimeout));
  ini.Set(kSection, "BufferSize", std::to_string(BufferSize));
  ini.Set(kSection, "AllowOuterConnection", AllowOuterConnection ? "1" : "0");
  ini.Set(kSection, "TrayDoubleClickMode", std::to_string(TrayDoubleClickMode));
  if (ini.HasSection(kHttpsSection) || Https != HttpsSettings{}) {
    ini.Set(kHttpsSection, "Capture", Https.Capture ? "1" : "0");
    ini.Set(kHttpsSection, "Hosts", Https.Hosts.Text());
    ini.Set(kHttpsSection, "ExtraCaFile", Https.ExtraCaFile);
  }
  if (ini.HasSection(kDesktopSection) || UseAsSystemProxy)
    ini.Set(kDesktopSection, "UseAsSystemProxy", UseAsSystemProxy ? "1" : "0");
  if (!ini.Save(settings_path)) throw FileError(settings_path + " に書き込めません");
}

void TTxConfig::Assign(const TTxConfig& other) {
  ListenPort = other.ListenPort;
  UseProxy = other.UseProxy;
  ProxyAddress = other.ProxyAddress;
  ProxyPort = other.ProxyPort;
  ConnectionTimeout = other.ConnectionTimeout;
  ReadTimeout = other.ReadTimeout;
  BufferSize = other.BufferSize;
  AllowOuterConnection = other.AllowOuterConnection;
  TrayDoubleClickMode = other.TrayDoubleClickMode;
  Https = other.Https;
  UseAsSystemProxy = other.UseAsSystemProxy;
  Conditions = CopySearchConditions(other.Conditions.get());
}

}  // namespace trovanex
