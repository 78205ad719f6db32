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

std::optional<std::string> InformationAsked(const std::vector<std::string>& arguments,
                                            std::string_view program) {
  const std::string name(program);
  for (const std::string& argument : arguments) {
    if (argument == "--version") return name + " " + TROVANEX_VERSION + "\n";
    if (argument != "--help") continue;
    const bool desktop = program == "trovanex";
    return "Usage: " + name + " [-d] [--help] [--version]\n" +
           (desktop ? "Trovanex in the tray: an HTTP proxy for one user that keeps what the user\n"
                      "browses, with its status window, HTTP log and connection list.\n"
                    : "Trovanex without a desktop: an HTTP proxy for one user that keeps what the\n"
                      "user browses. The HTTP log goes to standard output, notices and messages\n"
                      "to standard error; SIGINT, SIGTERM or SIGHUP stop it in order.\n") +
           "\n"
           "  -d          debug mode: also write debug.log.txt in the working directory\n"
           "  --help      show this text and end\n"
           "  --version   show the version and end\n"
           "\n"
           "Browsers point their HTTP and HTTPS proxy at 127.0.0.1 and the ListenPort of\n" +
           name +
           ".ini (81 unless set), which lies beside the executable with Search.cfg (the\n"
           "rules) and hash.dat (the list of what is stored).\n";
  }
  return std::nullopt;
}

}  // namespace trovanex
