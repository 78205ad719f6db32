#include "model/command_line.h"

#include "platform/file_system.h"

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

namespace {

// The lines of the help that name the files of `layout`.
std::string FilesText(std::string_view program, const FileLayout& layout) {
  const std::string debug_log = layout.debug_log_path.find(kPathSeparator) == std::string::npos
                                    ? layout.debug_log_path + " in the working directory"
                                    : layout.debug_log_path;
  return "Files of this copy (" +
         std::string(layout.installed ? "installed: its own folder is not writable"
                                      : "portable: beside the executable") +
         "):\n"
         "  " +
         layout.settings_path +
         "\n"
         "      the settings; ListenPort is the port (81 unless set)\n"
         "  " +
         layout.config_folder +
         "Search.cfg\n"
         "      the rules, read at start; a rule's folder is made when a capture needs it\n"
         "  " +
         layout.data_folder +
         "hash.dat\n"
         "      the list of what is stored; temporary captures lie beside it\n"
         "  " +
         debug_log +
         "\n"
         "      the debug log, with -d\n"
         "\n"
         "Browsers point their HTTP and HTTPS proxy at 127.0.0.1 and that port.\n" +
         (program == "trovanexd" ? "Exit status: 0 after a stop in order, 1 when it cannot start, "
                                   "2 for a wrong\ncommand line.\n"
                                 : "");
}

bool ValidPort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::stoi(text);
  return port >= 1 && port <= 65535;
}

}  // namespace

std::optional<std::string> InformationAsked(const std::vector<std::string>& arguments,
                                            const FileLayout& layout) {
  for (const std::string& argument : arguments) {
    if (argument == "--version") return VersionLine("trovanex");
    if (argument == "--help") return HelpText("trovanex", layout);
  }
  return std::nullopt;
}

DaemonOptions ParseDaemonOptions(const std::vector<std::string>& arguments) {
  DaemonOptions options;
  for (std::size_t i = 0; i < arguments.size() && options.problem.empty(); ++i) {
    const std::string& argument = arguments[i];
    if (argument.size() < 2 || argument.front() != '-') {
      options.problem = "unexpected argument '" + argument + "'";
    } else if (argument[1] != '-') {
      for (std::size_t at = 1; at < argument.size() && options.problem.empty(); ++at) {
        if (argument[at] == 'd')
          options.debug = true;
        else if (argument[at] == 'q')
          options.quiet = true;
        else
          options.problem = "invalid option -- '" + argument.substr(at, 1) + "'";
      }
    } else {
      const auto equals = argument.find('=');
      const std::string name = argument.substr(0, equals);
      std::optional<std::string> value;
      if (equals != std::string::npos) value = argument.substr(equals + 1);
      const bool takes_value = name == "--port" || name == "--config";
      if (takes_value && !value) {
        if (i + 1 == arguments.size()) {
          options.problem = "option '" + name + "' requires an argument";
          break;
        }
        value = arguments[++i];
      } else if (!takes_value && value) {
        options.problem = "option '" + name + "' doesn't allow an argument";
        break;
      }
      int port = 0;
      if (name == "--debug") {
        options.debug = true;
      } else if (name == "--quiet") {
        options.quiet = true;
      } else if (name == "--help") {
        options.help = true;
      } else if (name == "--version") {
        options.version = true;
      } else if (name == "--trust-ca") {
        options.trust_ca = true;
      } else if (name == "--untrust-ca") {
        options.untrust_ca = true;
      } else if (name == "--port" && ValidPort(*value, port)) {
        options.port = port;
      } else if (name == "--port") {
        options.problem = "invalid port '" + *value + "' (1 to 65535)";
      } else if (name == "--config" && !value->empty()) {
        options.config_folder = *value;
      } else if (name == "--config") {
        options.problem = "option '--config' requires a folder";
      } else {
        options.problem = "unrecognized option '" + argument + "'";
      }
    }
  }
  if (options.problem.empty() && options.trust_ca && options.untrust_ca)
    options.problem = "options '--trust-ca' and '--untrust-ca' exclude each other";
  return options;
}

std::string VersionLine(std::string_view program) {
  return std::string(program) + " " + TROVANEX_VERSION + "\n";
}

std::string DaemonUsage() {
  return "Usage: trovanexd [-d] [-q] [--port N] [--config DIR] [--help] [--version]\n"
         "       trovanexd [--config DIR] --trust-ca | --untrust-ca\n";
}

std::string HelpText(std::string_view program, const FileLayout& layout) {
  if (program == "trovanex")
    return "Usage: trovanex [-d] [--help] [--version]\n"
           "Trovanex in the tray: an HTTP proxy for one user that keeps what the user\n"
           "browses, with its status window, HTTP log and connection list.\n"
           "\n"
           "  -d          debug mode: also write the debug log\n"
           "  --help      show this text and end\n"
           "  --version   show the version and end\n"
           "\n" +
           FilesText(program, layout);
  return DaemonUsage() +
         "Trovanex without a desktop: an HTTP proxy for one user that keeps what the\n"
         "user browses. The HTTP log goes to standard output, notices and messages\n"
         "to standard error; SIGINT, SIGTERM or SIGHUP stop it in order.\n"
         "\n"
         "  -d, --debug       debug mode: also write the debug log\n"
         "  -q, --quiet       standard output gets only errors, captures and refusals\n"
         "      --port N      listen on port N for this run; the settings keep ListenPort\n"
         "      --config DIR  the folder of the settings file, Search.cfg and hash.dat\n"
         "      --help        show this text and end\n"
         "      --version     show the version and end\n"
         "      --trust-ca    trust the local CA in this user's browsers (their NSS\n"
         "                    databases, with certutil), print what changed and end\n"
         "      --untrust-ca  take that trust out of them again, print and end\n"
         "\n" +
         FilesText(program, layout);
}

}  // namespace trovanex
