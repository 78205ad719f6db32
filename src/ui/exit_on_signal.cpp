#include "ui/exit_on_signal.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>

namespace trovanex {
namespace {

// The handler may only write to a descriptor; the main thread reads the other end.
int signal_pipe[2] = {-1, -1};
bool hangup_taken = false;  // SIGHUP stays ignored in a program started to outlive its terminal

void OnSignal(int) {
  const char one = 1;
  [[maybe_unused]] const ssize_t written = ::write(signal_pipe[0], &one, 1);
}

}  // namespace

ExitOnSignal::ExitOnSignal(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe) != 0) return;
  notifier_ = new QSocketNotifier(signal_pipe[1], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [] {
    char drained[16];
    [[maybe_unused]] const ssize_t read = ::read(signal_pipe[1], drained, sizeof drained);
    QCoreApplication::exit(0);
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  struct sigaction hangup {};
  hangup_taken = sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN;
  if (hangup_taken) sigaction(SIGHUP, &action, nullptr);
}

ExitOnSignal::~ExitOnSignal() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  if (hangup_taken) signal(SIGHUP, SIG_DFL);
  hangup_taken = false;
  delete notifier_;
  notifier_ = nullptr;
  for (int& fd : signal_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

}  // namespace trovanex
