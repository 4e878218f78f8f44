#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvo_test {

const char kUsage[] =
    "\n"
    "  usage: korvo <params>\n"
    "\n"
    "    print         print tags on reader\n"
    "    formats       list tag formats\n"
    "    set <tagid>   set tag security\n"
    "    clr <tagid>   clear tag security\n"
    "    flt <tagid>   print tag only with given tagid\n"
    "    host <addr>   use <addr> instead of localhost\n"
    "    addr <addr>   use <addr> for creating service\n"
    "    write <data>  write data to tag\n"
    "    disconnect    disconnect reader\n"
    "    compact       compact format for print\n"
    "    header        print header in compact\n"
    "    pause         wait for keypress before exit\n"
    "    heap          print heap usage\n"
    "    async         asynchronous web service calls\n";

std::vector<std::string> korvo_result::calls() const {
  std::vector<std::string> out;
  for (const std::string& l : log) {
    if (l.rfind("getLastError", 0) == 0 || l == "getHeapSize") continue;
    out.push_back(l);
  }
  return out;
}

std::string make_temp_dir() {
  std::string tmpl = "/tmp/korvo-test-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
  return tmpl;
}

namespace {

// KORVO_E2E_WRAPPER, when set, is a command (words split at blanks) that runs
// korvo, e.g. a memory checker: "valgrind --error-exitcode=99 ...". Such a
// wrapper is slow, so the time limits of the runs grow with it.
std::vector<std::string> wrapper_words() {
  std::vector<std::string> words;
  const char* env = std::getenv("KORVO_E2E_WRAPPER");
  if (env == nullptr) return words;
  std::istringstream in(env);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream f(path);
  for (std::string l; std::getline(f, l);) lines.push_back(l);
  return lines;
}

}  // namespace

korvo_result run_korvo(const korvo_run& run) {
  const std::string dir = make_temp_dir();
  const std::string scenario_path = dir + "/scenario.json";
  const std::string log_path = dir + "/calls.log";
  write_file(scenario_path, run.scenario.dump());
  const std::string cwd = run.cwd.empty() ? dir : run.cwd;

  std::vector<std::string> args = wrapper_words();
  const int timeout_ms = args.empty() ? run.timeout_ms : run.timeout_ms * 10;
  args.push_back(run.binary);
  args.insert(args.end(), run.args.begin(), run.args.end());
  if (!run.library.empty()) {
    args.push_back("dll");
    args.push_back(run.library);
  }

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe(in_pipe) != 0 || ::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) {
    throw std::runtime_error("pipe");
  }
  // The runner itself ignores SIGPIPE (korvo may leave before reading its
  // input); korvo must meet a closed pipe with the defaults a shell gives.
  ::signal(SIGPIPE, SIG_IGN);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(in_pipe[0], 0);
    if (run.stdout_path.empty()) {
      ::dup2(out_pipe[1], 1);
    } else {
      const int fd = ::open(run.stdout_path.c_str(), O_WRONLY);
      ::dup2(fd, 1);
    }
    ::dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1],
                   err_pipe[0], err_pipe[1]}) {
      ::close(fd);
    }
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::setenv("KORVO_FAKE_SCENARIO", scenario_path.c_str(), 1);
    ::setenv("KORVO_FAKE_LOG", log_path.c_str(), 1);
    for (const auto& [name, value] : run.env) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  bool out_open = true, err_open = true, killed = false;
  if (run.close_stdout) {
    ::close(out_pipe[0]);
    out_open = false;
  }
  int in_fd = in_pipe[1];
  auto send_input = [&] {
    if (!run.input.empty()) {
      [[maybe_unused]] auto n =
          ::write(in_fd, run.input.data(), run.input.size());
    }
    ::close(in_fd);
    in_fd = -1;
  };
  if (run.input_after.empty()) send_input();

  korvo_result r;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
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
    if (in_fd >= 0 && r.out.find(run.input_after) != std::string::npos) {
      send_input();
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (in_fd >= 0) ::close(in_fd);
  if (!run.close_stdout) ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  r.code = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  r.log = read_lines(log_path);
  std::string cmd = "rm -rf '" + dir + "'";
  [[maybe_unused]] int rc = std::system(cmd.c_str());
  return r;
}

}  // namespace korvo_test
