#include "platform/program_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/errors.h"
#include "platform/file_system.h"

namespace trovanex {

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw FileError("cannot find the executable: " + SystemErrorText(errno));
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::string FolderOf(const std::string& executable_path) {
  const auto slash = executable_path.rfind(kPathSeparator);
  if (slash == std::string::npos) return std::string(".") + kPathSeparator;
  return executable_path.substr(0, slash + 1);
}

std::string SettingsPathFor(const std::string& executable_path) {
  const auto slash = executable_path.rfind(kPathSeparator);
  const auto name_start = slash == std::string::npos ? 0 : slash + 1;
  const auto dot = executable_path.rfind('.');
  if (dot != std::string::npos && dot > name_start) return executable_path.substr(0, dot) + ".ini";
  return executable_path + ".ini";
}

namespace {

// $name when it holds an absolute path, else the home folder followed by `fallback`.
std::string XdgFolder(const char* name, const char* fallback) {
  const char* set = std::getenv(name);
  if (set && set[0] == '/') return set;
  return HomeFolder() + fallback;
}

}  // namespace

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') {
    const passwd* user = ::getpwuid(::getuid());
    home = user ? user->pw_dir : "/";
  }
  return home;
}

std::string ConfigHome() {
  return XdgFolder("XDG_CONFIG_HOME", "/.config");
}

FileLayout PlannedLayout(const std::string& executable_path, const std::string& debug_log_name) {
  FileLayout layout;
  const std::string folder = FolderOf(executable_path);
  if (::access(folder.c_str(), W_OK) == 0) {
    layout.config_folder = layout.data_folder = folder;
    layout.settings_path = SettingsPathFor(executable_path);
    layout.debug_log_path = debug_log_name;
    return layout;
  }
  layout.installed = true;
  layout.config_folder = ConfigHome() + "/trovanex" + kPathSeparator;
  layout.data_folder = XdgFolder("XDG_DATA_HOME", "/.local/share") + "/trovanex" + kPathSeparator;
  const std::string settings_name = SettingsPathFor(executable_path).substr(folder.size());
  layout.settings_path = layout.config_folder + settings_name;
  layout.debug_log_path = layout.data_folder + debug_log_name;
  return layout;
}

FileLayout LayoutInFolder(FileLayout planned, const std::string& folder) {
  const std::string settings_name =
      planned.settings_path.substr(planned.settings_path.rfind(kPathSeparator) + 1);
  planned.config_folder = planned.data_folder = WithTrailingSeparator(folder);
  planned.settings_path = planned.config_folder + settings_name;
  if (planned.installed) {
    const std::string log_name =
        planned.debug_log_path.substr(planned.debug_log_path.rfind(kPathSeparator) + 1);
    planned.debug_log_path = planned.data_folder + log_name;
  }
  return planned;
}

FileLayout LayoutFor(const std::string& executable_path, const std::string& debug_log_name) {
  FileLayout layout = PlannedLayout(executable_path, debug_log_name);
  if (!layout.installed) return layout;
  for (const std::string* made : {&layout.config_folder, &layout.data_folder}) {
    if (const int error = MakeFolders(made->substr(0, made->size() - 1), 0700))
      throw FileError("cannot create " + *made + ": " + SystemErrorText(error));
  }
  return layout;
}

}  // namespace trovanex
