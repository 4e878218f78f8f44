#include "tests/support/background_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace korvo_test {

background_process::background_process(std::vector<std::string> args,
                                       const std::string& stderr_path) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error("pipe");
  }
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    if (!stderr_path.empty()) {
      const int err =
          ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (err >= 0) ::dup2(err, 2);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
  if (pid_ < 0) {
    close_input();
    ::close(out_);
    throw std::runtime_error("fork");
  }
}

background_process::~background_process() {
  stop();
  close_input();
  ::close(out_);
}

std::string background_process::read_line(int timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (buffer_.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p = {out_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) break;
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
  const auto end = buffer_.find('\n');
  if (end == std::string::npos) return "";
  std::string line = buffer_.substr(0, end);
  buffer_.erase(0, end + 1);
  return line;
}

bool background_process::write_input(std::string_view text) {
  return in_ >= 0 && ::write(in_, text.data(), text.size()) ==
                         static_cast<ssize_t>(text.size());
}

void background_process::close_input() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void background_process::send_signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

bool background_process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

int background_process::stop(int sig, int timeout_ms) {
  if (pid_ <= 0) return -1;
  if (sig != 0) {
    ::kill(pid_, SIGCONT);
    ::kill(pid_, sig);
  }
  int status = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace korvo_test
