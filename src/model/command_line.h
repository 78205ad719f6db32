// The command lines. The desktop program's: "-d" switches debug mode on for the rest of the
// run; any other letter after a "-" is reported and skipped; arguments without a leading "-"
// are ignored. trovanexd's follows Debian's daemons: long options, anything else refused.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/message_boxes.h"
#include "platform/program_folder.h"

namespace trovanex {

// Process-wide; set before any window exists and never cleared.
extern std::atomic<bool> DebugMode;

// Visits `arguments` (without the program's own path); returns whether "-d" was given and, if
// so, sets DebugMode.
bool ParseCommandLine(const std::vector<std::string>& arguments, MessageBoxes& boxes);

// "--help" or "--version" among the desktop program's `arguments`: the text to print on
// standard output before it ends (with success) without starting. `layout` is where the files
// of the copy that runs lie.
std::optional<std::string> InformationAsked(const std::vector<std::string>& arguments,
                                            const FileLayout& layout);

// What trovanexd was asked to do. `problem` set: the command line is refused (exit status 2).
struct DaemonOptions {
  bool debug = false;
  bool quiet = false;  // standard output gets only errors, captures and refusals
  bool help = false;
  bool version = false;
  std::optional<int> port;                   // for this run only; the settings keep theirs
  std::optional<std::string> config_folder;  // settings, Search.cfg and hash.dat
  bool trust_ca = false;    // add the local CA to the browsers' databases, print, end
  bool untrust_ca = false;  // take it out of them, print, end
  std::string problem;      // one line naming the fault
};

// Reads trovanexd's `arguments` (without the program's own path): "-d"/"--debug",
// "-q"/"--quiet", "--port N", "--config DIR" (or "--port=N", "--config=DIR"), "--help",
// "--version", "--trust-ca", "--untrust-ca" (not both); one-letter options may be joined
// ("-dq").
DaemonOptions ParseDaemonOptions(const std::vector<std::string>& arguments);

// The usage line and trovanexd's or the desktop program's help, naming the folders of `layout`.
std::string DaemonUsage();
std::string VersionLine(std::string_view program);
std::string HelpText(std::string_view program, const FileLayout& layout);

}  // namespace trovanex
