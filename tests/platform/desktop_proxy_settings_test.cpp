#include "platform/desktop_proxy_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "platform/child_process.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::TempFolder;

// GSettings' keyfile back end in the test's own folder, as a desktop session would have dconf.
class DesktopProxy : public ::testing::Test {
 protected:
  DesktopProxy() {
    Set("GSETTINGS_BACKEND", "keyfile");
    Set("XDG_CONFIG_HOME", folder_ / "config");
    Set("HOME", folder_.path());
  }
  ~DesktopProxy() override {
    for (const auto& [name, value] : old_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

  void Set(const std::string& name, const std::string& value) {
    if (!old_.contains(name)) {
      const char* old = std::getenv(name.c_str());
      old_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    ::setenv(name.c_str(), value.c_str(), 1);
  }

  static std::string Get(const std::string& schema, const std::string& key) {
    return FirstLine(RunChild({"gsettings", "get", schema, key}).output);
  }
  static void Put(const std::string& schema, const std::string& key, const std::string& value) {
    ASSERT_TRUE(RunChild({"gsettings", "set", schema, key, value}).Succeeded());
  }

  DesktopPlaces Places(const std::string& desktop) const {
    return {folder_ / "config/kioslaverc", desktop};
  }
  // The keys the user has set, "group/key=value" each; the back end may keep emptied groups.
  std::string Keyfile() const {
    if (!std::filesystem::exists(keyfile_)) return "";
    std::string keys, group;
    std::istringstream lines(ReadFile(keyfile_));
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with('['))
        group = line;
      else if (!line.empty())
        keys += group + line + "\n";
    }
    return keys;
  }

  TempFolder folder_;
  const std::string keyfile_ = folder_ / "config/glib-2.0/settings/keyfile";
  const std::string saved_ = folder_ / "desktop-proxy.saved";
  std::map<std::string, std::optional<std::string>> old_;
};

constexpr char kUserKioslaverc[] =
    "[$Version]\nupdate_info=kioslave.upd:change-proxy-key\n\n"
    "[Proxy Settings]\nProxyType=1\nhttpProxy[$e]=http://corp.example 3128\n"
    "NoProxyFor=.corp.example\nAuthMode=0\n\n[Cache Settings]\nCacheSize=1000\n";

// A user's own manual proxy on both desktops: pointed at the proxy while it runs, then put back
// as it was, byte for byte where the desktop keeps a file.
TEST_F(DesktopProxy, UsersOwnProxyKeptAndPutBackExactly) {
  Put("org.gnome.system.proxy", "mode", "'manual'");
  Put("org.gnome.system.proxy.http", "host", "'corp.example'");
  Put("org.gnome.system.proxy.http", "port", "3128");
  Put("org.gnome.system.proxy", "ignore-hosts", "['*.corp.example', 'it\\'s']");
  const std::string kioslaverc = folder_.Write("config/kioslaverc", kUserKioslaverc);
  const std::string keyfile_before = Keyfile();

  DesktopProxySettings desktop(saved_, Places("KDE"));
  const DesktopProxyOutcome pointed = desktop.PointAt(8123);
  EXPECT_EQ(pointed.changed, (std::vector<std::string>{"GNOME", "KDE Plasma"}));
  EXPECT_TRUE(pointed.problems.empty()) << pointed.Summary();
  EXPECT_EQ(Get("org.gnome.system.proxy", "mode"), "'manual'");
  for (const char* schema : {"org.gnome.system.proxy.http", "org.gnome.system.proxy.https"}) {
    EXPECT_EQ(Get(schema, "host"), "'127.0.0.1'") << schema;
    EXPECT_EQ(Get(schema, "port"), "8123") << schema;
  }
  EXPECT_EQ(Get("org.gnome.system.proxy", "ignore-hosts"),
            "['*.corp.example', \"it's\", 'localhost', '127.0.0.0/8', '::1']");
  const std::string during = ReadFile(kioslaverc);
  EXPECT_NE(during.find("[Proxy Settings]\nProxyType=1\nhttpProxy=http://127.0.0.1 8123\n"
                        "NoProxyFor=.corp.example,localhost,127.0.0.0/8,::1\nAuthMode=0\n"
                        "httpsProxy=http://127.0.0.1 8123\nReversedException=false\n\n"
                        "[Cache Settings]"),
            std::string::npos)
      << during;
  EXPECT_TRUE(desktop.HasSaved());

  const DesktopProxyOutcome back = desktop.PutBack();
  EXPECT_TRUE(back.problems.empty()) << back.Summary();
  EXPECT_EQ(back.changed.size(), 2u);
  EXPECT_EQ(Keyfile(), keyfile_before);
  EXPECT_EQ(ReadFile(kioslaverc), kUserKioslaverc);
  EXPECT_FALSE(desktop.HasSaved());
  EXPECT_TRUE(desktop.PutBack().changed.empty());  // nothing left to put back
}

// A desktop whose settings were never touched: keys at their defaults go back to being unset,
// and a kioslaverc made for the proxy goes again.
TEST_F(DesktopProxy, UntouchedDesktopLeftAsFound) {
  DesktopProxySettings desktop(saved_, Places("KDE"));
  ASSERT_TRUE(desktop.PointAt(81).problems.empty());
  EXPECT_EQ(Get("org.gnome.system.proxy", "mode"), "'manual'");
  EXPECT_TRUE(std::filesystem::exists(folder_ / "config/kioslaverc"));
  desktop.PutBack();
  EXPECT_EQ(Get("org.gnome.system.proxy", "mode"), "'none'");
  EXPECT_EQ(Keyfile().find("proxy"), std::string::npos) << Keyfile();
  EXPECT_FALSE(std::filesystem::exists(folder_ / "config/kioslaverc"));
}

// A run killed while the proxy was set: the next run finds the saved settings. Pointing again
// first puts them back, so the proxy's own values are never saved as the user's.
TEST_F(DesktopProxy, KilledRunPutBackAtTheNextStart) {
  Put("org.gnome.system.proxy", "mode", "'auto'");
  DesktopProxySettings(saved_, Places("GNOME")).PointAt(8123);
  DesktopProxySettings next_run(saved_, Places("GNOME"));
  EXPECT_TRUE(next_run.HasSaved());
  EXPECT_TRUE(next_run.PointAt(8124).problems.empty());
  EXPECT_EQ(Get("org.gnome.system.proxy.http", "port"), "8124");
  next_run.PutBack();
  EXPECT_EQ(Get("org.gnome.system.proxy", "mode"), "'auto'");
  EXPECT_EQ(Get("org.gnome.system.proxy.http", "host"), "''");
  // Not KDE and no kioslaverc: that desktop was left alone.
  EXPECT_FALSE(std::filesystem::exists(folder_ / "config/kioslaverc"));
}

// A key that cannot be set, found before anything is set (locked) or halfway (refused): the
// keys set before it are put back, the desktop is named, and nothing stays saved for a desktop
// that was not changed. gsettings stands in for a session whose key is locked or refused.
TEST_F(DesktopProxy, FailingKeyLeavesNothingHalfSet) {
  const struct {
    const char* name;
    const char* refusal;  // shell lines before the real gsettings runs
    const char* problem;
  } rows[] = {
      {"locked", "[ \"$1 $3\" = 'writable port' ] && { echo false; exit 0; }",
       "GNOME: org.gnome.system.proxy.http port はロックされていて変更できません"},
      {"refused halfway", "[ \"$1 $3\" = 'set mode' ] && { echo 'mode is refused' >&2; exit 1; }",
       "GNOME: org.gnome.system.proxy mode を変更できません: mode is refused"},
  };
  Put("org.gnome.system.proxy.http", "host", "'corp.example'");
  const std::string keyfile_before = Keyfile();
  Set("PATH", folder_ / "bin:" + std::getenv("PATH"));
  for (const auto& row : rows) {
    const std::string wrapper =
        folder_.Write("bin/gsettings", std::string("#!/bin/sh\n") + row.refusal +
                                           "\nexec /usr/bin/gsettings \"$@\"\n");
    ::chmod(wrapper.c_str(), 0755);
    DesktopProxySettings desktop(saved_, Places("GNOME"));
    const DesktopProxyOutcome pointed = desktop.PointAt(8123);
    EXPECT_TRUE(pointed.changed.empty()) << row.name;
    EXPECT_EQ(pointed.Summary(), row.problem) << row.name;
    EXPECT_EQ(Keyfile(), keyfile_before) << row.name;
    EXPECT_FALSE(desktop.HasSaved()) << row.name;
  }
}

// Desktops that cannot be changed are named; none is changed in part.
TEST_F(DesktopProxy, DesktopsThatCannotBeChanged) {
  const std::string kioslaverc =
      folder_.Write("config/kioslaverc", "[Proxy Settings][$i]\nProxyType=0\n");
  Set("XDG_DATA_DIRS", folder_ / "no-schemas");  // GSettings finds no schema at all
  DesktopProxySettings desktop(saved_, Places("KDE"));
  const DesktopProxyOutcome locked = desktop.PointAt(8123);
  EXPECT_TRUE(locked.changed.empty());
  EXPECT_EQ(locked.Summary(),
            "KDE Plasma: " + kioslaverc + " のプロキシ設定はロックされていて変更できません");
  EXPECT_EQ(ReadFile(kioslaverc), "[Proxy Settings][$i]\nProxyType=0\n");
  EXPECT_FALSE(desktop.HasSaved());

  const DesktopProxyOutcome none = DesktopProxySettings(saved_, Places("XFCE")).PointAt(8123);
  EXPECT_TRUE(none.changed.empty());
  EXPECT_FALSE(none.problems.empty());
}

}  // namespace
}  // namespace trovanex
