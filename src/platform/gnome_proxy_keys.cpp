#include "platform/gnome_proxy_keys.h"

#include "platform/child_process.h"
#include "platform/desktop_proxy_settings.h"

namespace trovanex {
namespace {

constexpr char kProxySchema[] = "org.gnome.system.proxy";

ChildResult Gsettings(const std::vector<std::string>& arguments, bool defaults = false) {
  std::vector<std::string> command = {"gsettings"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  // The memory back end starts empty: what it reads is the schema's default.
  if (defaults) return RunChild(command, {{"GSETTINGS_BACKEND", "memory"}});
  return RunChild(command);
}

// A GVariant array of strings as gsettings prints it ("['a', 'b']", "@as []"); nothing when
// the text is not one.
std::optional<std::vector<std::string>> ParseStringArray(std::string text) {
  if (text.rfind("@as ", 0) == 0) text.erase(0, 4);
  std::vector<std::string> items;
  std::size_t at = 0;
  const auto skip_blanks = [&] {
    while (at < text.size() && text[at] == ' ') ++at;
  };
  skip_blanks();
  if (at >= text.size() || text[at++] != '[') return std::nullopt;
  for (;;) {
    skip_blanks();
    if (at < text.size() && text[at] == ']') return items;
    if (at >= text.size() || (text[at] != '\'' && text[at] != '"')) return std::nullopt;
    const char quote = text[at++];
    std::string item;
    while (at < text.size() && text[at] != quote) {
      if (text[at] == '\\' && at + 1 < text.size()) ++at;
      item += text[at++];
    }
    if (at >= text.size()) return std::nullopt;
    ++at;
    items.push_back(std::move(item));
    skip_blanks();
    if (at < text.size() && text[at] == ',') ++at;
  }
}

std::string FormatStringArray(const std::vector<std::string>& items) {
  std::string text = "[";
  for (const std::string& item : items) {
    if (text.size() > 1) text += ", ";
    text += '\'';
    for (const char c : item) {
      if (c == '\'' || c == '\\') text += '\\';
      text += c;
    }
    text += '\'';
  }
  return text + "]";
}

}  // namespace

std::string KeyName(const GnomeKey& key) {
  return std::string(key.schema) + " " + key.key;
}

std::optional<std::string> GnomeProxyRefusal(bool& missing_schema) {
  missing_schema = false;
  if (!Gsettings({"list-keys", kProxySchema}).Succeeded()) {
    missing_schema = true;
    return std::string(kGnomeDesktop) + ": スキーマ " + kProxySchema + " がないため変更できません";
  }
  for (const GnomeKey& key : kGnomeProxyKeys) {
    const ChildResult writable = Gsettings({"writable", key.schema, key.key});
    if (!writable.Succeeded() || FirstLine(writable.output) != "true")
      return std::string(kGnomeDesktop) + ": " + KeyName(key) + " はロックされていて変更できません";
  }
  return std::nullopt;
}

std::optional<GnomeProxyState> ReadGnomeProxy(std::string& problem) {
  GnomeProxyState state;
  for (const GnomeKey& key : kGnomeProxyKeys) {
    const ChildResult now = Gsettings({"get", key.schema, key.key});
    const ChildResult by_default = Gsettings({"get", key.schema, key.key}, true);
    if (!now.Succeeded() || !by_default.Succeeded()) {
      problem = std::string(kGnomeDesktop) + ": " + KeyName(key) +
                " を読めません: " + FirstLine(now.Succeeded() ? by_default.output : now.output);
      return std::nullopt;
    }
    const std::string value = FirstLine(now.output);
    state.push_back(value == FirstLine(by_default.output) ? std::nullopt : std::optional(value));
  }
  return state;
}

bool PutBackGnomeKey(const GnomeKey& key, const std::optional<std::string>& value,
                     std::string& problem) {
  const ChildResult result = value ? Gsettings({"set", key.schema, key.key, *value})
                                   : Gsettings({"reset", key.schema, key.key});
  if (result.Succeeded()) return true;
  problem = std::string(kGnomeDesktop) + ": " + KeyName(key) +
            " を元に戻せません: " + FirstLine(result.output);
  return false;
}

bool PointGnomeProxy(const GnomeProxyState& before, int port, std::string& problem) {
  std::vector<std::string> ignore = WithLoopback({});
  if (const auto& user_ignore = before[4]) {
    if (const auto items = ParseStringArray(*user_ignore)) ignore = WithLoopback(*items);
  }
  const std::string port_text = std::to_string(port);
  const std::string values[] = {
      "'127.0.0.1'", port_text, "'127.0.0.1'", port_text, FormatStringArray(ignore), "'manual'"};
  for (std::size_t i = 0; i < std::size(kGnomeProxyKeys); ++i) {
    const ChildResult set =
        Gsettings({"set", kGnomeProxyKeys[i].schema, kGnomeProxyKeys[i].key, values[i]});
    if (set.Succeeded()) continue;
    problem = std::string(kGnomeDesktop) + ": " + KeyName(kGnomeProxyKeys[i]) +
              " を変更できません: " + FirstLine(set.output);
    std::string ignored;
    for (std::size_t j = i; j-- > 0;) PutBackGnomeKey(kGnomeProxyKeys[j], before[j], ignored);
    return false;
  }
  return true;
}

}  // namespace trovanex
