#include "model/command_line.h"

namespace trovanex {

std::atomic<bool> DebugMode{false};

bool ParseCommandLine(const std::vector<std::string>& arguments, MessageBoxes& boxes) {
  bool debug = false;
  for (const std::string& argument : arguments) {
    if (argument.empty() || argument.front() != '-') continue;
    for (std::size_t i = 1; i < argument.size();) {
      // A multi-byte character is reported whole, not as its separate bytes.
      std::size_t length = 1;
      while (i + length < argument.size() &&
             (static_cast<unsigned char>(argument[i + length]) & 0xC0) == 0x80)
        ++length;
      if (argument[i] == 'd') {
        debug = true;
      } else {
        boxes.ShowMessage(
            "コマンドラインエラー:そんなパラメータありません！ : " + argument.substr(i, length),
            "trovanex :: コマンドラインが変");
      }
      i += length;
    }
  }
  if (debug) DebugMode = true;
  return debug;
}

}  // namespace trovanex
