// GNOME's proxy settings (org.gnome.system.proxy), which every desktop that follows GNOME's
// settings shares and which browsers read, changed through the `gsettings` tool. What the proxy
// switch changes of them, and how they are read, set and put back.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace trovanex {

inline constexpr char kGnomeDesktop[] = "GNOME";

struct GnomeKey {
  const char* schema;
  const char* key;
};

// In the order they are set: the mode last, once everything it switches on is in place.
inline constexpr GnomeKey kGnomeProxyKeys[] = {
    {"org.gnome.system.proxy.http", "host"},    {"org.gnome.system.proxy.http", "port"},
    {"org.gnome.system.proxy.https", "host"},   {"org.gnome.system.proxy.https", "port"},
    {"org.gnome.system.proxy", "ignore-hosts"}, {"org.gnome.system.proxy", "mode"}};

// "schema key", as messages and the saved file name it.
std::string KeyName(const GnomeKey& key);

// What each of kGnomeProxyKeys holds, in that order: the user's own value as gsettings prints
// it, or nothing where the key is at its default.
using GnomeProxyState = std::vector<std::optional<std::string>>;

// Why the keys cannot be changed (a locked key), or nothing. `missing_schema` tells the one
// reason that only means this desktop has no GNOME settings at all.
std::optional<std::string> GnomeProxyRefusal(bool& missing_schema);

// Nothing, with `problem` naming the key, when one cannot be read.
std::optional<GnomeProxyState> ReadGnomeProxy(std::string& problem);

// Points HTTP and HTTPS at 127.0.0.1:`port`, the user's own exceptions kept and loopback added.
// When a key cannot be set, those set before it are put back as `before` holds them.
bool PointGnomeProxy(const GnomeProxyState& before, int port, std::string& problem);

// Puts one key back: the user's value, or the default by resetting it.
bool PutBackGnomeKey(const GnomeKey& key, const std::optional<std::string>& value,
                     std::string& problem);

}  // namespace trovanex
