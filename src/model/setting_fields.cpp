#include "model/setting_fields.h"

#include "platform/ini_file.h"

namespace trovanex {

std::int32_t ParseWholeNumber(std::string_view text, std::int32_t fallback) {
  return ParseIniInteger(text).value_or(fallback);
}

std::int32_t BufferSizeInKiB(std::int32_t bytes) {
  return bytes / 1024;
}

std::optional<std::int32_t> BufferSizeFromKiB(std::string_view text) {
  const std::optional<std::int32_t> kib = ParseIniInteger(text);
  if (!kib || *kib < 1 || *kib > kMaxBufferSizeKiB) return std::nullopt;
  return *kib * 1024;
}

SettingFields SettingFields::FromConfig(const TTxConfig& config) {
  SettingFields fields;
  fields.connect_port = std::to_string(config.ListenPort);
  fields.connect_timeout = std::to_string(config.ConnectionTimeout);
  fields.read_timeout = std::to_string(config.ReadTimeout);
  fields.allow_outer_connection = config.AllowOuterConnection;
  fields.use_proxy = config.UseProxy;
  fields.proxy_address = config.ProxyAddress;
  fields.proxy_port = std::to_string(config.ProxyPort);
  fields.buffer_size_kib = std::to_string(BufferSizeInKiB(config.BufferSize));
  fields.https_capture = config.Https.Capture;
  fields.https_hosts = config.Https.Hosts.Text();
  fields.extra_ca_file = config.Https.ExtraCaFile;
  fields.use_as_system_proxy = config.UseAsSystemProxy;
  return fields;
}

std::optional<std::string> SettingFields::ApplyTo(TTxConfig& config) const {
  const std::optional<std::int32_t> buffer_size = BufferSizeFromKiB(buffer_size_kib);
  if (!buffer_size)
    return "バッファサイズには 1 から " + std::to_string(kMaxBufferSizeKiB) +
           " までの整数を KiB 単位で入力してください。";
  HttpsHosts hosts = HttpsHosts::Parse(https_hosts);
  if (!hosts.Rejected().empty()) {
    std::string refused;
    for (const std::string& entry : hosts.Rejected()) refused += "「" + entry + "」";
    return "HTTPS のホストに使えない指定があります: " + refused +
           "\nホスト名（www.example.com）か「*.」で始まるドメイン（*.example.com）を「;」で区切って"
           "入力してください。";
  }
  config.ListenPort = ParseWholeNumber(connect_port, 81);
  config.ConnectionTimeout = ParseWholeNumber(connect_timeout, 5000);
  config.ReadTimeout = ParseWholeNumber(read_timeout, 30000);
  config.BufferSize = *buffer_size;
  config.AllowOuterConnection = allow_outer_connection;
  config.UseProxy = use_proxy;
  config.ProxyAddress = proxy_address;
  config.ProxyPort = ParseWholeNumber(proxy_port, 8080);
  config.Https.Capture = https_capture;
  config.Https.Hosts = std::move(hosts);
  config.Https.ExtraCaFile = extra_ca_file;
  config.UseAsSystemProxy = use_as_system_proxy;
  return std::nullopt;
}

}  // namespace trovanex
