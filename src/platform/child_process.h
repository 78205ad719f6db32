// Runs another program (gsettings, certutil) as a child process with an argument vector, never
// through a shell, and collects what it printed. The desktop settings and the browsers' trust
// stores are changed only through their own tools.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace trovanex {

struct ChildResult {
  bool started = false;  // false: the program could not be run (`output` says why)
  int exit_status = -1;  // its exit status; -1 when it did not end by itself
  std::string output;    // standard output and standard error, as they came

  bool Succeeded() const { return started && exit_status == 0; }
};

// Runs `arguments` (the first is the program, looked up in PATH) and waits for it to end, at
// most 30 seconds: then it is killed and `output` says so. `environment` adds to or replaces
// variables of this process's own for the child. Standard input is /dev/null, and the child has
// no terminal.
ChildResult RunChild(const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment = {});

// `output` without its trailing line ends, for reading a one-line answer.
std::string FirstLine(const std::string& output);

}  // namespace trovanex
