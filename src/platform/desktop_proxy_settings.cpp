#include "platform/desktop_proxy_settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/atomic_write.h"
#include "platform/child_process.h"
#include "platform/file_system.h"
#include "platform/gnome_proxy_keys.h"
#include "platform/ini_file.h"
#include "platform/kioslaverc.h"
#include "platform/program_folder.h"

namespace trovanex {
namespace {

// The saved file: "[Gnome]" with the user's own value of each key (a key at its default is
// absent), "[Kde]" with the file, whether it and its section existed, and each key's whole
// line ("key.<name>", absent when the key was absent).
constexpr char kGnomeSection[] = "Gnome";
constexpr char kKdeSavedSection[] = "Kde";

// KDE's settings are changed on KDE, and wherever the user has them already.
bool KdeTried(const DesktopPlaces& places) {
  return places.current_desktop.find("KDE") != std::string::npos || FileExists(places.kioslaverc);
}

std::string KdeWriteProblem(const std::string& path, ReplaceResult written) {
  return std::string(kKdeDesktop) + ": " + path +
         " に書き込めません: " + SystemErrorText(written.error);
}

// The saved file's content for the desktops given, as they stand before any change.
IniFile SavedState(const std::optional<GnomeProxyState>& gnome,
                   const std::optional<KioslavercFile>& kde, const std::string& kioslaverc) {
  IniFile saved;
  if (gnome) {
    saved.Set(kGnomeSection, "Saved", "1");
    for (std::size_t i = 0; i < std::size(kGnomeProxyKeys); ++i)
      if ((*gnome)[i]) saved.Set(kGnomeSection, KeyName(kGnomeProxyKeys[i]), *(*gnome)[i]);
  }
  if (kde) {
    saved.Set(kKdeSavedSection, "File", kioslaverc);
    saved.Set(kKdeSavedSection, "FileExisted", kde->Existed() ? "1" : "0");
    saved.Set(kKdeSavedSection, "SectionExisted", kde->HasSection() ? "1" : "0");
    for (const char* key : kKdeProxyKeys)
      if (const auto line = kde->Line(key))
        saved.Set(kKdeSavedSection, std::string("key.") + key, *line);
  }
  return saved;
}

// Writes a copy of `before` with HTTP and HTTPS pointed at 127.0.0.1:`port`, the user's own
// exceptions kept and loopback added; the file is replaced in one step or not at all.
bool PointKde(KioslavercFile pointed, int port, const std::string& path, std::string& problem) {
  std::vector<std::string> hosts;
  const std::string user = pointed.Value("NoProxyFor").value_or("");
  for (std::size_t start = 0; start < user.size();) {
    const std::size_t comma = std::min(user.find(',', start), user.size());
    if (comma > start) hosts.push_back(user.substr(start, comma - start));
    start = comma + 1;
  }
  std::string no_proxy;
  for (const std::string& host : WithLoopback(hosts))
    no_proxy += (no_proxy.empty() ? "" : ",") + host;
  const std::string address = "http://127.0.0.1 " + std::to_string(port);
  pointed.Set("ProxyType", "1");
  pointed.Set("httpProxy", address);
  pointed.Set("httpsProxy", address);
  pointed.Set("NoProxyFor", no_proxy);
  pointed.Set("ReversedException", "false");
  const ReplaceResult written = ReplaceFileAtomically(path, pointed.Text());
  if (!written.ok()) problem = KdeWriteProblem(path, written);
  return written.ok();
}

// KDE's programs read kioslaverc again when told so on the session bus; where there is none
// (or no dbus-send), they read it at their next start.
void TellKdeProgramsToReread() {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) return;
  RunChild({"dbus-send", "--session", "--type=signal", "/KIO/Scheduler",
            "org.kde.KIO.Scheduler.reparseSlaveConfiguration", "string:"});
}

}  // namespace

std::vector<std::string> WithLoopback(std::vector<std::string> hosts) {
  for (const char* host : {"localhost", "127.0.0.0/8", "::1"})
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);
  return hosts;
}

DesktopPlaces DesktopPlaces::FromEnvironment() {
  DesktopPlaces places;
  places.kioslaverc = ConfigHome() + "/kioslaverc";
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

  bool missing_schema = false;
  std::optional<GnomeProxyState> gnome;
  if (auto refusal = GnomeProxyRefusal(missing_schema)) {
    if (!missing_schema) outcome.problems.push_back(*refusal);
  } else {
    std::string problem;
    gnome = ReadGnomeProxy(problem);
    if (!gnome) outcome.problems.push_back(problem);
  }
  std::optional<KioslavercFile> kde;
  if (KdeTried(places_)) {
    kde = KioslavercFile::Load(places_.kioslaverc);
    if (kde->Locked()) {
      outcome.problems.push_back(std::string(kKdeDesktop) + ": " + places_.kioslaverc +
                                 " のプロキシ設定はロックされていて変更できません");
      kde.reset();
    }
  }
  if (!gnome && !kde) {
    if (outcome.problems.empty())
      outcome.problems.push_back(
          "このデスクトップのプロキシ設定（GNOME, KDE Plasma）が見つかりません");
    return outcome;
  }
  // Nothing is changed that could not be put back.
  if (!SavedState(gnome, kde, places_.kioslaverc).Save(saved_path_)) {
    outcome.problems.push_back(saved_path_ + " に書き込めません");
    return outcome;
  }

  std::string problem;
  if (gnome && PointGnomeProxy(*gnome, port, problem)) {
    outcome.changed.push_back(kGnomeDesktop);
  } else if (gnome) {
    outcome.problems.push_back(problem);
    gnome.reset();
  }
  if (kde && PointKde(*kde, port, places_.kioslaverc, problem)) {
    outcome.changed.push_back(kKdeDesktop);
    TellKdeProgramsToReread();
  } else if (kde) {
    outcome.problems.push_back(problem);
    kde.reset();
  }
  // The saved file keeps only the desktops that were changed.
  if (!gnome && !kde)
    RemoveFile(saved_path_);
  else if (outcome.changed.size() == 1)
    SavedState(gnome, kde, places_.kioslaverc).Save(saved_path_);
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
    for (const GnomeKey& key : kGnomeProxyKeys) {
      std::string problem;
      if (!PutBackGnomeKey(key, saved.Get(kGnomeSection, KeyName(key)), problem)) {
        outcome.problems.push_back(problem);
        gnome_back = false;
        break;
      }
    }
    if (gnome_back) outcome.changed.push_back(kGnomeDesktop);
    all_back = all_back && gnome_back;
  }
  if (saved.HasSection(kKdeSavedSection)) {
    const std::string path = saved.Get(kKdeSavedSection, "File").value_or(places_.kioslaverc);
    KioslavercFile kde = KioslavercFile::Load(path);
    for (const char* key : kKdeProxyKeys) {
      if (const auto line = saved.Get(kKdeSavedSection, std::string("key.") + key))
        kde.SetLine(key, *line);
      else
        kde.Remove(key);
    }
    if (saved.Get(kKdeSavedSection, "SectionExisted") != "1") kde.RemoveSectionIfEmpty();
    // A file that was not there before goes again when nothing but the proxy's lines was in it.
    const bool remove_file = saved.Get(kKdeSavedSection, "FileExisted") != "1" && kde.Empty();
    ReplaceResult written;
    if (!remove_file)
      written = ReplaceFileAtomically(path, kde.Text());
    else if (!RemoveFile(path) && FileExists(path))
      written.error = errno;
    if (written.ok()) {
      outcome.changed.push_back(kKdeDesktop);
      TellKdeProgramsToReread();
    } else {
      outcome.problems.push_back(KdeWriteProblem(path, written));
      all_back = false;
    }
  }
  if (all_back) RemoveFile(saved_path_);
  return outcome;
}

}  // namespace trovanex
