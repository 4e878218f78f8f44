#include "tests/llrp/emulator_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace korvo_test {

std::string emulator_missing() {
  struct stat s;
  const std::string modules =
      std::string(LLRP_EMULATOR_DIR) + "/node_modules/llrpjs";
  if (::stat(modules.c_str(), &s) != 0) {
    return "reader emulator not installed: run npm ci --prefix "
           "tests/llrp_emulator";
  }
  return "";
}

emulator_process::emulator_process(std::vector<std::string> args) {
  std::vector<std::string> argv_s = {
      "node", std::string(LLRP_EMULATOR_DIR) + "/reader.js"};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    std::vector<char*> argv;
    for (std::string& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
  const std::string line = read_line(10000);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) error_ = "emulator did not start: '" + line + "'";
}

emulator_process::~emulator_process() {
  if (in_ >= 0) ::close(in_);
  if (out_ >= 0) ::close(out_);
  if (pid_ <= 0) return;
  int status = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string emulator_process::read_line(int timeout_ms) {
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

nlohmann::json emulator_process::command(const nlohmann::json& cmd) {
  const std::string line = cmd.dump() + "\n";
  if (::write(in_, line.data(), line.size()) !=
      static_cast<ssize_t>(line.size()))
    return nullptr;
  return nlohmann::json::parse(read_line(5000), nullptr, false);
}

}  // namespace korvo_test
