// Points this desktop's proxy settings at the running proxy, and puts back what they were.
// GNOME and the desktops that follow its settings (org.gnome.system.proxy, read through the
// `gsettings` tool) and KDE Plasma (the "[Proxy Settings]" of kioslaverc) are changed; the
// browsers read these when they are started without proxy options of their own.
//
// What the desktops held before is written to `saved_path` before anything is changed, so a
// program that was killed puts it back at its next start (PutBack finds the file). A desktop
// is changed whole or not at all: when one of its keys cannot be set, the keys already set are
// put back and the desktop is named among the problems.
#pragma once

#include <string>
#include <vector>

namespace trovanex {

// Where the desktops keep their settings, and which desktop this is.
struct DesktopPlaces {
  std::string kioslaverc;       // $XDG_CONFIG_HOME/kioslaverc, or ~/.config/kioslaverc
  std::string current_desktop;  // $XDG_CURRENT_DESKTOP
  static DesktopPlaces FromEnvironment();
};

struct DesktopProxyOutcome {
  std::vector<std::string> changed;   // the desktops whose settings were changed or put back
  std::vector<std::string> problems;  // one Japanese sentence each, naming the desktop

  // One line for the status message: what changed, then the problems.
  std::string Summary() const;
};

// `hosts` with the loopback names and addresses added: browsers never send loopback through a
// proxy, and the desktop says so too, so that no program reaches the proxy's port through
// itself.
std::vector<std::string> WithLoopback(std::vector<std::string> hosts);

class DesktopProxySettings {
 public:
  DesktopProxySettings(std::string saved_path, DesktopPlaces places);

  // Saves the desktops' settings, then points HTTP and HTTPS at 127.0.0.1:`port`, loopback
  // left out. Settings still saved from before (a run that was killed) are put back first, so
  // the file never holds the proxy's own values as the user's.
  DesktopProxyOutcome PointAt(int port);

  // Puts back what PointAt saved, key by key, and removes the saved file when every desktop
  // took its settings back. Nothing to do (and no change) when nothing is saved.
  DesktopProxyOutcome PutBack();

  bool HasSaved() const;
  const std::string& SavedPath() const { return saved_path_; }

 private:
  std::string saved_path_;
  DesktopPlaces places_;
};

}  // namespace trovanex
