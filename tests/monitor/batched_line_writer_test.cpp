#include "monitor/batched_line_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace trovanex {
namespace {

using namespace std::chrono_literals;

// A pipe whose writing end is a stream; what arrives is read from the other end.
class PipeStream {
 public:
  PipeStream() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_fd_ = fds[0];
    stream_ = ::fdopen(fds[1], "w");
  }
  ~PipeStream() {
    if (stream_) std::fclose(stream_);
    ::close(read_fd_);
  }
  std::FILE* Stream() { return stream_; }
  void CloseWriter() { std::fclose(std::exchange(stream_, nullptr)); }
  // What arrives within `wait`, without waiting for more once something has come.
  std::string Arrived(std::chrono::milliseconds wait) {
    pollfd watched{read_fd_, POLLIN, 0};
    if (::poll(&watched, 1, static_cast<int>(wait.count())) <= 0) return {};
    char buffer[65536];
    const ssize_t n = ::read(read_fd_, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }
  // Everything until the writing end is closed.
  std::string All() {
    std::string bytes;
    char buffer[65536];
    for (ssize_t n; (n = ::read(read_fd_, buffer, sizeof buffer)) > 0;)
      bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
  }

 private:
  int read_fd_ = -1;
  std::FILE* stream_ = nullptr;
};

TEST(BatchedLineWriter, LinesArriveWithoutAFlushAndAFlushWritesAtOnce) {
  PipeStream pipe;
  {
    BatchedLineWriter writer(pipe.Stream(), 1ms);
    writer.Add({"a", "b"});
    EXPECT_EQ(pipe.Arrived(10s), "a\nb\n");
  }
  {
    BatchedLineWriter writer(pipe.Stream(), 1h);  // only a flush writes
    writer.Add({"c"});
    EXPECT_EQ(pipe.Arrived(0ms), "");
    writer.Flush();
    EXPECT_EQ(pipe.Arrived(0ms), "c\n");
    writer.Add({"d"});
  }  // the destructor writes what is held
  EXPECT_EQ(pipe.Arrived(0ms), "d\n");
}

// Threads add numbered lines, some in blocks; every line arrives once, each thread's in its order,
// and a block's lines together; more than the writer holds is written along the way.
TEST(BatchedLineWriter, EveryLineOnceInOrderAndBlocksWhole) {
  constexpr int kThreads = 8;
  constexpr int kLines = 3000;
  PipeStream pipe;
  std::string arrived;
  // Reads all along, so that the pipe never fills while the threads add.
  std::thread reader([&] { arrived = pipe.All(); });
  {
    BatchedLineWriter writer(pipe.Stream(), 2ms);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&writer, t] {
        for (int i = 0; i < kLines; ++i) {
          const std::string line = std::to_string(t) + " " + std::to_string(i);
          if (i % 10 == 0)
            writer.Add({line + " block", line + " block 2", line + " block 3"});
          else
            writer.Add({line});
        }
      });
    for (auto& thread : threads) thread.join();
  }
  pipe.CloseWriter();
  reader.join();

  std::istringstream lines(arrived);
  std::map<int, int> next;  // thread -> next line number expected
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    int thread = -1, number = -1;
    std::istringstream fields(line);
    fields >> thread >> number;
    ASSERT_EQ(number, next[thread]) << line;
    if (line.ends_with(" block")) {
      std::string second, third;
      ASSERT_TRUE(std::getline(lines, second) && std::getline(lines, third));
      EXPECT_EQ(second, line + " 2");
      EXPECT_EQ(third, line + " 3");
    }
    ++next[thread];
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace trovanex
