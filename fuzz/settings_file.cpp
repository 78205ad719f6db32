// The settings file: IniFile, the nine settings and the "[Https]" section TTxConfig reads from
// it. Read, written and read again, every setting keeps its value; lines the program does not
// own are kept.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "model/tx_config.h"
#include "platform/ini_file.h"

using namespace trovanex;

namespace {

struct CountingBoxes : MessageBoxes {
  int shown = 0;
  void ShowMessage(const std::string&, const std::string&) override { ++shown; }
};

const std::string& Folder() {
  static const std::string folder = fuzz::ScratchFolder("settings") + "/";
  return folder;
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  FUZZ_REQUIRE(out.good());
}

bool SameSettings(const TTxConfig& a, const TTxConfig& b) {
  return a.ListenPort == b.ListenPort && a.UseProxy == b.UseProxy &&
         a.ProxyAddress == b.ProxyAddress && a.ProxyPort == b.ProxyPort &&
         a.ConnectionTimeout == b.ConnectionTimeout && a.ReadTimeout == b.ReadTimeout &&
         a.BufferSize == b.BufferSize && a.AllowOuterConnection == b.AllowOuterConnection &&
         a.TrayDoubleClickMode == b.TrayDoubleClickMode && a.Https == b.Https &&
         a.Https.Hosts.Patterns() == b.Https.Hosts.Patterns();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The ini module alone: its text, once written, reads back to the same text.
  const IniFile ini = IniFile::Parse(text);
  const std::string serialized = ini.Serialize();
  FUZZ_REQUIRE(IniFile::Parse(serialized).Serialize() == serialized);

  const std::string settings_path = Folder() + "trovanex.ini";
  Write(settings_path, text);
  CountingBoxes boxes;
  TTxConfig first;
  first.LoadSettings(Folder(), settings_path, boxes);
  first.SaveSettings(Folder(), settings_path);
  TTxConfig second;
  second.LoadSettings(Folder(), settings_path, boxes);
  FUZZ_REQUIRE(SameSettings(first, second));
  FUZZ_REQUIRE(boxes.shown == 0);

  // Written once more, the file does not change: nothing grows or moves with every exit.
  std::ifstream in(settings_path, std::ios::binary);
  const std::string once((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  second.SaveSettings(Folder(), settings_path);
  std::ifstream in2(settings_path, std::ios::binary);
  const std::string twice((std::istreambuf_iterator<char>(in2)), std::istreambuf_iterator<char>());
  FUZZ_REQUIRE(once == twice);

  // Lines of other sections are kept as they stand.
  const IniFile kept = IniFile::Load(settings_path);
  for (const char* key : {"Other", "Window"})
    FUZZ_REQUIRE(kept.Get("Unrelated", key) == ini.Get("Unrelated", key));
  ::unlink(settings_path.c_str());
  return 0;
}
