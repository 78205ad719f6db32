#include "platform/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/net_errors.h"
#include "platform/socket_error.h"

namespace trovanex {
namespace {

using namespace std::chrono_literals;

// A raw client on 127.0.0.1.
class Client {
 public:
  explicit Client(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  ~Client() { ::close(fd_); }
  void Send(const std::string& bytes) {
    EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Everything until the server closes.
  std::string ReceiveAll() {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
      bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
  }

 private:
  int fd_;
};

// What the hooks saw, in order, from any thread.
struct Journal {
  void Add(std::string entry) {
    std::lock_guard lock(mutex);
    entries.push_back(std::move(entry));
  }
  std::vector<std::string> Entries() {
    std::lock_guard lock(mutex);
    return entries;
  }
  std::mutex mutex;
  std::vector<std::string> entries;
};

TEST(Listener, RunsAdmitThenHandleOnTheConnectionsThread) {
  Journal journal;
  Listener listener(
      [&](Connection& connection) { journal.Add("admit " + connection.PeerAddress()); },
      [&](Connection& connection) {
        const std::string line = connection.ReadLine();
        journal.Add("handle " + line);
        connection.WriteLine("echo " + line);
        throw PeerClosed();  // failures leaving the handler are dropped
      });
  listener.Start(0);
  ASSERT_GT(listener.Port(), 0);
  for (int round = 0; round < 2; ++round) {
    Client client(listener.Port());
    client.Send("ping\r\n");
    EXPECT_EQ(client.ReceiveAll(), "echo ping\r\n");  // and the connection was closed
  }
  EXPECT_EQ(listener.Stop(), 0);
  EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"admit 127.0.0.1", "handle ping",
                                                         "admit 127.0.0.1", "handle ping"}));
}

TEST(Listener, AdmissionThatDisconnectsSkipsTheHandler) {
  Journal journal;
  Listener listener([&](Connection& connection) { connection.Disconnect(); },
                    [&](Connection&) { journal.Add("handle"); });
  listener.Start(0);
  Client client(listener.Port());
  EXPECT_EQ(client.ReceiveAll(), "");
  EXPECT_EQ(listener.Stop(), 0);
  EXPECT_TRUE(journal.Entries().empty());
}

// A handler that reads one line and notes how the read ended; Wait() returns once `count`
// handlers are reading.
class ReadingHandlers {
 public:
  explicit ReadingHandlers(int count) : count_(count) {}
  Listener::Hook Hook() {
    return [this](Connection& connection) {
      if (++reading_ == count_) all_reading_.set_value();
      try {
        connection.ReadLine();
      } catch (const NetError& failure) {
        journal.Add(failure.KindName());
      }
    };
  }
  bool Wait() { return all_reading_.get_future().wait_for(5s) == std::future_status::ready; }
  Journal journal;

 private:
  const int count_;
  std::atomic<int> reading_{0};
  std::promise<void> all_reading_;
};

std::vector<std::unique_ptr<Client>> Clients(int count, int port) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < count; ++i) clients.push_back(std::make_unique<Client>(port));
  return clients;
}

TEST(Listener, StopWakesHandlersBlockedInReadsAndWaitsForThem) {
  constexpr int kClients = 8;
  ReadingHandlers handlers(kClients);
  Listener listener(nullptr, handlers.Hook());
  listener.Start(0);
  const auto clients = Clients(kClients, listener.Port());
  ASSERT_TRUE(handlers.Wait());
  EXPECT_EQ(listener.OpenConnections(), kClients);

  EXPECT_EQ(listener.Stop(2000ms), 0);
  EXPECT_EQ(listener.OpenConnections(), 0);
  EXPECT_EQ(handlers.journal.Entries(), std::vector<std::string>(kClients, "PeerClosed"));
  for (auto& client : clients) EXPECT_EQ(client->ReceiveAll(), "");
}

// Ended threads used to wait for the next client to be joined, each holding its stack.
TEST(Listener, ThreadsOfEndedConnectionsAreJoinedWithoutANewClient) {
  constexpr int kClients = 24;
  ReadingHandlers handlers(kClients);
  Listener listener(nullptr, handlers.Hook(), 100ms);
  listener.Start(0);
  {
    const auto clients = Clients(kClients, listener.Port());
    ASSERT_TRUE(handlers.Wait());
    EXPECT_EQ(listener.UnjoinedThreads(), kClients + 1);  // and one waits for the next
  }  // every client leaves; none comes after them
  EXPECT_EQ(listener.UnjoinedThreads(10s, 1), 1);
  EXPECT_EQ(listener.OpenConnections(), 0);
  // The listener still serves after reaping.
  Client late(listener.Port());
  late.Send("x\r\n");
  EXPECT_EQ(late.ReceiveAll(), "");
  EXPECT_EQ(listener.Stop(), 0);
  EXPECT_EQ(listener.UnjoinedThreads(), 0);
}

// A thread that has served a connection to its end serves a later one: connections one after
// another start no thread beyond the one serving and the one waiting.
TEST(Listener, AThreadServesTheNextConnectionOnceItsOwnHasEnded) {
  Journal journal;
  Listener listener(nullptr, [&](Connection& connection) {
    std::ostringstream thread;
    thread << std::this_thread::get_id();
    journal.Add(thread.str());
    connection.WriteLine(connection.ReadLine());
  });
  listener.Start(0);
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    Client client(listener.Port());
    client.Send("line " + std::to_string(round) + "\r\n");
    EXPECT_EQ(client.ReceiveAll(), "line " + std::to_string(round) + "\r\n");
  }
  EXPECT_EQ(listener.UnjoinedThreads(), 2);
  EXPECT_EQ(listener.Stop(), 0);
  EXPECT_EQ(listener.UnjoinedThreads(), 0);
  auto entries = journal.Entries();
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(kRounds));
  std::sort(entries.begin(), entries.end());
  EXPECT_LE(std::unique(entries.begin(), entries.end()) - entries.begin(), 2);
}

// Threads waiting for a connection end at Stop, and the listener serves again after a restart.
TEST(Listener, StopEndsWaitingThreadsAndARestartServesAgain) {
  Listener listener(nullptr, [](Connection& connection) { connection.WriteLine("hello"); });
  for (int run = 0; run < 2; ++run) {
    listener.Start(0);
    {
      const auto clients = Clients(4, listener.Port());
      for (auto& client : clients) EXPECT_EQ(client->ReceiveAll(), "hello\r\n");
    }
    EXPECT_GE(listener.UnjoinedThreads(), 1);  // waiting for the next connection
    EXPECT_EQ(listener.Stop(), 0);
    EXPECT_EQ(listener.UnjoinedThreads(), 0);
    EXPECT_EQ(listener.OpenConnections(), 0);
  }
}

TEST(Listener, HandlerThatOutlivesStopIsWaitedForByTheDestructor) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  bool finished = false;
  {
    Listener listener(nullptr, [&](Connection& connection) {
      entered.set_value();
      released.wait();  // busy with something that no abort reaches
      try {
        connection.WriteLine("late");  // the connection must still exist, aborted
      } catch (const NetError&) {
      }
      finished = true;
    });
    listener.Start(0);
    Client client(listener.Port());
    entered.get_future().wait();
    EXPECT_EQ(listener.Stop(50ms), 1);
    release.set_value();
  }  // must not return before the handler is done with its connection
  EXPECT_TRUE(finished);
}

TEST(Listener, TakenPortFailsWithThePortInTheText) {
  Listener first(nullptr, nullptr);
  first.Start(0);
  Listener second(nullptr, nullptr);
  try {
    second.Start(first.Port());
    FAIL() << "two listeners on one port";
  } catch (const SocketFailure& failure) {
    EXPECT_EQ(failure.Code, 10048);
    EXPECT_NE(std::string(failure.what()).find(std::to_string(first.Port())), std::string::npos)
        << failure.what();
  }
}

}  // namespace
}  // namespace trovanex
