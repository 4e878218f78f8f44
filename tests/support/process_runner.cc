#include "tests/support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace korvo_test {

process_result run_process(const process_plan& plan) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe(in_pipe) != 0 || ::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) {
    throw std::runtime_error("pipe");
  }
  // The runner itself ignores SIGPIPE (the child may leave before reading
  // its input).
  ::signal(SIGPIPE, SIG_IGN);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(in_pipe[0], 0);
    if (plan.stdout_path.empty()) {
      ::dup2(out_pipe[1], 1);
    } else {
      const int fd = ::open(plan.stdout_path.c_str(), O_WRONLY);
      ::dup2(fd, 1);
    }
    ::dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1],
                   err_pipe[0], err_pipe[1]}) {
      ::close(fd);
    }
    if (!plan.cwd.empty() && ::chdir(plan.cwd.c_str()) != 0) ::_exit(126);
    for (const auto& [name, value] : plan.env) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<std::string> args = plan.args;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  bool out_open = true, err_open = true, killed = false, signalled = false;
  if (plan.close_stdout) {
    ::close(out_pipe[0]);
    out_open = false;
  }
  int in_fd = in_pipe[1];
  auto send_input = [&] {
    if (!plan.input.empty()) {
      [[maybe_unused]] auto n =
          ::write(in_fd, plan.input.data(), plan.input.size());
    }
    ::close(in_fd);
    in_fd = -1;
  };
  if (plan.input_after.empty()) send_input();

  process_result r;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(plan.timeout_ms);
  while (out_open || err_open) {
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    if (!out_open) fds[0].fd = -1;
    if (!err_open) fds[1].fd = -1;
    const int n = ::poll(fds, 2, 100);
    if (std::chrono::steady_clock::now() > deadline && !killed) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
    if (n <= 0) continue;
    char buf[65536];
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      const ssize_t got = ::read(fds[k].fd, buf, sizeof buf);
      if (got <= 0) {
        (k == 0 ? out_open : err_open) = false;
      } else {
        (k == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(got));
      }
    }
    if (in_fd >= 0 && r.out.find(plan.input_after) != std::string::npos) {
      send_input();
    }
    if (!signalled && !plan.signal_after.empty() &&
        r.out.find(plan.signal_after) != std::string::npos) {
      ::kill(pid, plan.signal_number);
      signalled = true;
    }
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  r.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  r.max_rss_kb = usage.ru_maxrss;
  if (in_fd >= 0) ::close(in_fd);
  if (!plan.close_stdout) ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  r.code = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

}  // namespace korvo_test
