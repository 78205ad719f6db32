#include "platform/desktop_proxy_settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/atomic_write.h"
#include "platform/child_process.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/program_folder.h"

namespace trovanex {
namespace {

constexpr char kGnome[] = "GNOME";
constexpr char kKde[] = "KDE Plasma";
constexpr char kProxySchema[] = "org.gnome.system.proxy";
// Browsers never send loopback through a proxy; the desktop says so too, so that no program
// reaches the proxy's own port through itself.
const std::vector<std::string> kLoopback = {"localhost", "127.0.0.0/8", "::1"};

struct GnomeKey {
  const char* schema;
  const char* key;
};
// In the order they are set: the mode last, once everything it switches on is in place.
constexpr GnomeKey kGnomeKeys[] = {
    {"org.gnome.system.proxy.http", "host"},    {"org.gnome.system.proxy.http", "port"},
    {"org.gnome.system.proxy.https", "host"},   {"org.gnome.system.proxy.https", "port"},
    {"org.gnome.system.proxy", "ignore-hosts"}, {"org.gnome.system.proxy", "mode"}};

constexpr const char* kKdeKeys[] = {"ProxyType", "httpProxy", "httpsProxy", "NoProxyFor",
                                    "ReversedException"};
constexpr char kKdeSection[] = "[Proxy Settings]";

std::string SavedKey(const GnomeKey& key) {
  return std::string(key.schema) + " " + key.key;
}

// ---- GNOME, through gsettings -------------------------------------------------------------

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

template <typename Items>
Items WithLoopback(Items items) {
  for (const std::string& host : kLoopback)
    if (std::find(items.begin(), items.end(), host) == items.end()) items.push_back(host);
  return items;
}

// What the GNOME keys hold: the user's own value, or nothing where the key is at its default.
struct GnomeState {
  std::vector<std::optional<std::string>> values;
};

// Why GNOME's settings cannot be changed, or nothing. `missing_schema` tells the one reason
// that only means this desktop has no GNOME settings at all.
std::optional<std::string> GnomeRefusal(bool& missing_schema) {
  missing_schema = false;
  if (!Gsettings({"list-keys", kProxySchema}).Succeeded()) {
    missing_schema = true;
    return std::string(kGnome) + ": スキーマ " + kProxySchema + " がないため変更できません";
  }
  for (const GnomeKey& key : kGnomeKeys) {
    const ChildResult writable = Gsettings({"writable", key.schema, key.key});
    if (!writable.Succeeded() || FirstLine(writable.output) != "true")
      return std::string(kGnome) + ": " + SavedKey(key) + " はロックされていて変更できません";
  }
  return std::nullopt;
}

std::optional<GnomeState> ReadGnome(std::string& problem) {
  GnomeState state;
  for (const GnomeKey& key : kGnomeKeys) {
    const ChildResult now = Gsettings({"get", key.schema, key.key});
    const ChildResult by_default = Gsettings({"get", key.schema, key.key}, true);
    if (!now.Succeeded() || !by_default.Succeeded()) {
      problem = std::string(kGnome) + ": " + SavedKey(key) +
                " を読めません: " + FirstLine(now.Succeeded() ? by_default.output : now.output);
      return std::nullopt;
    }
    const std::string value = FirstLine(now.output);
    state.values.push_back(value == FirstLine(by_default.output) ? std::nullopt
                                                                 : std::optional(value));
  }
  return state;
}

// Puts one key back: the user's value, or the default by resetting it.
bool PutBackGnomeKey(const GnomeKey& key, const std::optional<std::string>& value,
                     std::string& problem) {
  const ChildResult result = value ? Gsettings({"set", key.schema, key.key, *value})
                                   : Gsettings({"reset", key.schema, key.key});
  if (result.Succeeded()) return true;
  problem =
      std::string(kGnome) + ": " + SavedKey(key) + " を元に戻せません: " + FirstLine(result.output);
  return false;
}

// Sets every key or, when one fails, puts back those set before it.
bool PointGnome(const GnomeState& before, int port, std::string& problem) {
  std::vector<std::string> ignore = kLoopback;
  if (const auto& user_ignore = before.values[4]) {
    if (const auto items = ParseStringArray(*user_ignore)) ignore = WithLoopback(*items);
  }
  const std::string port_text = std::to_string(port);
  const std::string values[] = {
      "'127.0.0.1'", port_text, "'127.0.0.1'", port_text, FormatStringArray(ignore), "'manual'"};
  for (std::size_t i = 0; i < std::size(kGnomeKeys); ++i) {
    const ChildResult set = Gsettings({"set", kGnomeKeys[i].schema, kGnomeKeys[i].key, values[i]});
    if (set.Succeeded()) continue;
    problem = std::string(kGnome) + ": " + SavedKey(kGnomeKeys[i]) +
              " を変更できません: " + FirstLine(set.output);
    std::string ignored;
    for (std::size_t j = i; j-- > 0;) PutBackGnomeKey(kGnomeKeys[j], before.values[j], ignored);
    return false;
  }
  return true;
}

// ---- KDE Plasma, kioslaverc -----------------------------------------------------------------

// The file as lines without their LF; KDE's own files end every line with one.
struct KdeFile {
  std::vector<std::string> lines;
  bool existed = false;

  static KdeFile Load(const std::string& path) {
    KdeFile file;
    const std::optional<std::string> text = ReadWholeFile(path);
    if (!text) return file;
    file.existed = true;
    std::size_t start = 0;
    while (start < text->size()) {
      const std::size_t end = text->find('\n', start);
      file.lines.push_back(text->substr(start, end == std::string::npos ? end : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return file;
  }

  std::string Text() const {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }

  static bool IsHeader(const std::string& line) { return !line.empty() && line.front() == '['; }

  // The index of the section's header, or nothing.
  std::optional<std::size_t> Section() const {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].rfind(kKdeSection, 0) == 0) return i;
    return std::nullopt;
  }

  // The index of `key`'s line in the section (a key with a "[$…]" mark after its name too).
  std::optional<std::size_t> Key(const std::string& key) const {
    const auto section = Section();
    if (!section) return std::nullopt;
    for (std::size_t i = *section + 1; i < lines.size() && !IsHeader(lines[i]); ++i) {
      const std::string& line = lines[i];
      if (line.rfind(key, 0) == 0 && line.size() > key.size() &&
          (line[key.size()] == '=' || line[key.size()] == '[' || line[key.size()] == ' '))
        return i;
    }
    return std::nullopt;
  }

  std::optional<std::string> Value(const std::string& key) const {
    const auto index = Key(key);
    if (!index) return std::nullopt;
    const std::string& line = lines[*index];
    const std::size_t eq = line.find('=');
    return eq == std::string::npos ? std::string() : line.substr(eq + 1);
  }

  // KDE's "[$i]" mark makes a file, a section or a key immutable.
  bool Locked() const {
    if (!lines.empty() && lines.front() == "[$i]") return true;
    const auto section = Section();
    if (!section) return false;
    if (lines[*section].find("[$i]") != std::string::npos) return true;
    for (const char* key : kKdeKeys)
      if (const auto index = Key(key);
          index && lines[*index].substr(0, lines[*index].find('=')).find("$i") != std::string::npos)
        return true;
    return false;
  }

  void Set(const std::string& key, const std::string& value) { SetLine(key, key + "=" + value); }

  // The key's whole line as it stood, with any "[$…]" mark after the name.
  std::optional<std::string> Line(const std::string& key) const {
    const auto index = Key(key);
    return index ? std::optional(lines[*index]) : std::nullopt;
  }

  void SetLine(const std::string& key, const std::string& line) {
    if (const auto index = Key(key)) {
      lines[*index] = line;
      return;
    }
    auto section = Section();
    if (!section) {
      if (!lines.empty() && !lines.back().empty()) lines.emplace_back();
      lines.emplace_back(kKdeSection);
      section = lines.size() - 1;
    }
    std::size_t end = *section + 1;
    while (end < lines.size() && !IsHeader(lines[end])) ++end;
    while (end > *section + 1 && lines[end - 1].empty()) --end;  // before the blank line
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(end), line);
  }

  void Remove(const std::string& key) {
    if (const auto index = Key(key))
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*index));
  }

  // Removes the section when no line but blank ones is left in it, with the blank line that
  // was put before it.
  void RemoveSectionIfEmpty() {
    const auto section = Section();
    if (!section) return;
    std::size_t end = *section + 1;
    while (end < lines.size() && !IsHeader(lines[end])) {
      if (!lines[end].empty()) return;
      ++end;
    }
    std::size_t begin = *section;
    if (begin > 0 && lines[begin - 1].empty()) --begin;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(begin),
                lines.begin() + static_cast<std::ptrdiff_t>(end));
  }
};

bool KdeTried(const DesktopPlaces& places) {
  return places.current_desktop.find("KDE") != std::string::npos || FileExists(places.kioslaverc);
}

std::string KdeWriteProblem(const std::string& path, ReplaceResult written) {
  return std::string(kKde) + ": " + path + " に書き込めません: " + SystemErrorText(written.error);
}

// The saved file: "[Gnome]" with the user's own value of each key (a key at its default is
// absent), "[Kde]" with the file, whether it and its section existed, and each key's line
// whole line ("key.<name>", absent when the key was absent).
constexpr char kGnomeSection[] = "Gnome";
constexpr char kKdeSavedSection[] = "Kde";

}  // namespace

DesktopPlaces DesktopPlaces::FromEnvironment() {
  DesktopPlaces places;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::string folder =
      config && *config ? std::string(config) : std::string(home ? home : "") + "/.config";
  places.kioslaverc = folder + "/kioslaverc";
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  places.current_desktop = desktop ? desktop : "";
  return places;
}

std::string DesktopProxyOutcome::Summary() const {
  std::string text;
  for (const std::string& problem : problems) text += (text.empty() ? "" : " / ") + problem;
  return text;
}

DesktopProxySettings::DesktopProxySettings(std::string saved_path, DesktopPlaces places)
    : saved_path_(std::move(saved_path)), places_(std::move(places)) {}

bool DesktopProxySettings::HasSaved() const {
  return FileExists(saved_path_);
}

DesktopProxyOutcome DesktopProxySettings::PointAt(int port) {
  DesktopProxyOutcome outcome;
  if (HasSaved()) {
    outcome = PutBack();
    if (HasSaved()) return outcome;  // the user's settings are still only in the file
    outcome.changed.clear();
  }

  IniFile saved;
  bool missing_schema = false;
  std::optional<GnomeState> gnome;
  if (auto refusal = GnomeRefusal(missing_schema)) {
    if (!missing_schema) outcome.problems.push_back(*refusal);
  } else {
    std::string problem;
    gnome = ReadGnome(problem);
    if (!gnome) outcome.problems.push_back(problem);
  }
  if (gnome) {
    saved.Set(kGnomeSection, "Saved", "1");
    for (std::size_t i = 0; i < std::size(kGnomeKeys); ++i)
      if (gnome->values[i]) saved.Set(kGnomeSection, SavedKey(kGnomeKeys[i]), *gnome->values[i]);
  }

  std::optional<KdeFile> kde;
  if (KdeTried(places_)) {
    kde = KdeFile::Load(places_.kioslaverc);
    if (kde->Locked()) {
      outcome.problems.push_back(std::string(kKde) + ": " + places_.kioslaverc +
                                 " のプロキシ設定はロックされていて変更できません");
      kde.reset();
    }
  }
  if (kde) {
    saved.Set(kKdeSavedSection, "File", places_.kioslaverc);
    saved.Set(kKdeSavedSection, "FileExisted", kde->existed ? "1" : "0");
    saved.Set(kKdeSavedSection, "SectionExisted", kde->Section() ? "1" : "0");
    for (const char* key : kKdeKeys)
      if (const auto line = kde->Line(key))
        saved.Set(kKdeSavedSection, std::string("key.") + key, *line);
  }

  if (!gnome && !kde) {
    if (outcome.problems.empty())
      outcome.problems.push_back(
          "このデスクトップのプロキシ設定（GNOME, KDE Plasma）が見つかりません");
    return outcome;
  }
  // Nothing is changed that could not be put back.
  if (!saved.Save(saved_path_)) {
    outcome.problems.push_back(saved_path_ + " に書き込めません");
    return outcome;
  }

  if (gnome) {
    std::string problem;
    if (PointGnome(*gnome, port, problem)) {
      outcome.changed.push_back(kGnome);
    } else {
      outcome.problems.push_back(problem);
      gnome.reset();
    }
  }
  if (kde) {
    const std::string address = "http://127.0.0.1 " + std::to_string(port);
    std::string no_proxy;
    std::vector<std::string> hosts;
    if (const auto user = kde->Value("NoProxyFor")) {
      std::size_t start = 0;
      while (start <= user->size()) {
        const std::size_t comma = user->find(',', start);
        const std::string host = user->substr(start, comma - start);
        if (!host.empty()) hosts.push_back(host);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    }
    for (const std::string& host : WithLoopback(hosts))
      no_proxy += (no_proxy.empty() ? "" : ",") + host;
    kde->Set("ProxyType", "1");
    kde->Set("httpProxy", address);
    kde->Set("httpsProxy", address);
    kde->Set("NoProxyFor", no_proxy);
    kde->Set("ReversedException", "false");
    const ReplaceResult written = ReplaceFileAtomically(places_.kioslaverc, kde->Text());
    if (written.ok()) {
      outcome.changed.push_back(kKde);
    } else {
      outcome.problems.push_back(KdeWriteProblem(places_.kioslaverc, written));
      kde.reset();
    }
  }

  // The saved file keeps only what was changed.
  if (!gnome && !kde) {
    RemoveFile(saved_path_);
  } else if (!gnome || !kde) {
    IniFile kept;
    const IniFile& all = saved;
    if (gnome) {
      kept.Set(kGnomeSection, "Saved", "1");
      for (const GnomeKey& key : kGnomeKeys)
        if (const auto value = all.Get(kGnomeSection, SavedKey(key)))
          kept.Set(kGnomeSection, SavedKey(key), *value);
    } else {
      for (const char* key : {"File", "FileExisted", "SectionExisted"})
        kept.Set(kKdeSavedSection, key, all.Get(kKdeSavedSection, key).value_or(""));
      for (const char* key : kKdeKeys)
        if (const auto value = all.Get(kKdeSavedSection, std::string("key.") + key))
          kept.Set(kKdeSavedSection, std::string("key.") + key, *value);
    }
    kept.Save(saved_path_);
  }
  return outcome;
}

DesktopProxyOutcome DesktopProxySettings::PutBack() {
  DesktopProxyOutcome outcome;
  bool unreadable = false;
  const IniFile saved = IniFile::Load(saved_path_, &unreadable);
  if (!HasSaved()) return outcome;
  if (unreadable) {
    outcome.problems.push_back(saved_path_ + " を読めません");
    return outcome;
  }
  bool all_back = true;
  if (saved.HasSection(kGnomeSection)) {
    bool gnome_back = true;
    for (const GnomeKey& key : kGnomeKeys) {
      std::string problem;
      if (!PutBackGnomeKey(key, saved.Get(kGnomeSection, SavedKey(key)), problem)) {
        outcome.problems.push_back(problem);
        gnome_back = false;
        break;
      }
    }
    if (gnome_back) outcome.changed.push_back(kGnome);
    all_back = all_back && gnome_back;
  }
  if (saved.HasSection(kKdeSavedSection)) {
    const std::string path = saved.Get(kKdeSavedSection, "File").value_or(places_.kioslaverc);
    KdeFile kde = KdeFile::Load(path);
    for (const char* key : kKdeKeys) {
      if (const auto line = saved.Get(kKdeSavedSection, std::string("key.") + key))
        kde.SetLine(key, *line);
      else
        kde.Remove(key);
    }
    if (saved.Get(kKdeSavedSection, "SectionExisted") != "1") kde.RemoveSectionIfEmpty();
    // A file that was not there before goes again when nothing but the proxy's lines was in it.
    const bool remove_file = saved.Get(kKdeSavedSection, "FileExisted") != "1" && kde.lines.empty();
    ReplaceResult written;
    if (!remove_file)
      written = ReplaceFileAtomically(path, kde.Text());
    else if (!RemoveFile(path) && FileExists(path))
      written.error = errno;
    if (written.ok()) {
      outcome.changed.push_back(kKde);
    } else {
      outcome.problems.push_back(KdeWriteProblem(path, written));
      all_back = false;
    }
  }
  if (all_back) RemoveFile(saved_path_);
  return outcome;
}

}  // namespace trovanex
