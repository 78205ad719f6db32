// A fresh folder under the system's temporary folder for one test, removed with everything in
// it when the test ends.
#pragma once

#include <string>

namespace trovanex::testing {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder's path with a trailing separator.
  const std::string& path() const { return path_; }
  // path() + relative
  std::string operator/(const std::string& relative) const { return path_ + relative; }

  // Writes a file (creating missing parent folders) and returns its full path.
  std::string Write(const std::string& relative, const std::string& content) const;
  std::string MakeFolder(const std::string& relative) const;

 private:
  std::string path_;
};

// The whole content of a file; fails the test when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace trovanex::testing
