#include "fuzz_support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/memory_stream.h"

namespace trovanex::fuzz {

std::string ScratchFolder(const char* name) {
  const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/trovanex-fuzz-" + name + "-XXXXXX";
  FUZZ_REQUIRE(::mkdtemp(pattern.data()) != nullptr);
  static std::vector<std::string> made;
  if (made.empty())
    std::atexit([] {
      for (const std::string& folder : made) std::filesystem::remove_all(folder);
    });
  made.push_back(pattern);
  return pattern;
}

std::unique_ptr<Connection> ConnectionFedWith(std::string_view input) {
  MemoryStreamPair pair = MakeMemoryStreamPair();
  FUZZ_REQUIRE(input.empty() ||
               pair.far->Send(input.data(), input.size()) == static_cast<ssize_t>(input.size()));
  pair.far.reset();  // the peer's end follows its bytes
  return std::make_unique<Connection>(std::move(pair.near));
}

WatchedConnection::WatchedConnection() {
  MemoryStreamPair pair = MakeMemoryStreamPair();
  connection = std::make_unique<Connection>(std::move(pair.near));
  far = std::move(pair.far);
}

std::string ReceiveAll(ByteStream& far) {
  std::string received;
  char buffer[65536];
  for (;;) {
    const ssize_t n = far.Receive(buffer, sizeof buffer);
    if (n <= 0) return received;
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace trovanex::fuzz
