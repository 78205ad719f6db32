// The name a capture is stored under, made from its address: UrlToFileName, TargetInFolder and
// MakeUniqueName in a real folder. The name stays in its folder, holds no separator, NUL or
// control byte, fits the file system, and can be created; the search for a free one ends.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/capture_naming.h"
#include "fuzz_support.h"

using namespace trovanex;

namespace {

const std::string& Folder() {
  static const std::string folder = fuzz::ScratchFolder("names");
  return folder;
}

bool ValidUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80         ? 1
                               : (lead >> 5) == 6  ? 2
                               : (lead >> 4) == 14 ? 3
                               : (lead >> 3) == 30 ? 4
                                                   : 0;
    if (length == 0 || text.size() - at < length) return false;
    for (std::size_t i = 1; i < length; ++i)
      if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return false;
    at += length;
  }
  return true;
}

// Checks a target made for the folder and creates it; returns its name within the folder.
std::string CheckAndCreate(const std::optional<std::string>& target) {
  FUZZ_REQUIRE(target.has_value());
  const std::string prefix = Folder() + "/";
  FUZZ_REQUIRE(target->compare(0, prefix.size(), prefix) == 0);
  const std::string name = target->substr(prefix.size());
  FUZZ_REQUIRE(!name.empty() && name != "." && name != "..");
  FUZZ_REQUIRE(name.size() <= NAME_MAX);
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_REQUIRE(c != '/' && byte >= 0x20 && byte != 0x7F);
  }
  FUZZ_REQUIRE(name.find("<>") == std::string::npos);  // would break its hash list line
  // Free and acceptable to the file system: it can be created, and nothing else is replaced.
  const int fd = ::open(target->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  FUZZ_REQUIRE(fd >= 0);
  ::close(fd);
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string address(reinterpret_cast<const char*>(data), size);
  const std::string file_name = UrlToFileName(address);
  // The last piece of the address, cut at its first "?".
  FUZZ_REQUIRE(file_name.find_first_of("/?") == std::string::npos);
  FUZZ_REQUIRE(address.find(file_name) != std::string::npos);

  // Two captures of the same address get two names.
  const std::string first = CheckAndCreate(TargetInFolder(Folder(), file_name));
  const std::string second = CheckAndCreate(TargetInFolder(Folder(), file_name));
  FUZZ_REQUIRE(first != second);
  // A name cut to fit is never cut inside a character.
  if (ValidUtf8(file_name)) FUZZ_REQUIRE(ValidUtf8(first) && ValidUtf8(second));
  ::unlink((Folder() + "/" + first).c_str());
  ::unlink((Folder() + "/" + second).c_str());

  // Any bytes as a path: the search ends, and a NUL (which no file system holds) is refused.
  if (address.find('\0') != std::string::npos)
    FUZZ_REQUIRE(!MakeUniqueName(Folder() + "/" + address));
  else
    MakeUniqueName(Folder() + "/" + address);
  return 0;
}
