// A program that runs beside a test (a service, a reader emulator): started
// with its standard output on a pipe that the test reads line by line, its
// standard input on a pipe the test may write, and stopped with the test.
#ifndef KORVO_TESTS_SUPPORT_BACKGROUND_PROCESS_H_
#define KORVO_TESTS_SUPPORT_BACKGROUND_PROCESS_H_

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace korvo_test {

class background_process {
 public:
  // Starts args[0] (looked up on PATH) with args. Its standard error goes to
  // stderr_path, appended (empty: the test's own). It gets SIGTERM should the
  // test process die first, so that a crashed test leaves nothing behind.
  // Throws std::runtime_error when it cannot be started.
  explicit background_process(std::vector<std::string> args,
                              const std::string& stderr_path = "");
  // stop().
  ~background_process();
  background_process(const background_process&) = delete;
  background_process& operator=(const background_process&) = delete;

  // The next line of its standard output, without the newline; empty when
  // none came within timeout_ms or the output ended.
  std::string read_line(int timeout_ms);
  // Writes text to its standard input; false when that failed.
  bool write_input(std::string_view text);
  // Closes its standard input (end of input for the program).
  void close_input();

  void send_signal(int sig);
  // True while it has not ended.
  bool running();
  // Sends sig (0: none; a stopped program is continued first), waits at
  // most timeout_ms for the end and kills it after that. Returns its exit
  // status, or -1 when it had to be killed, died of a signal or was gone.
  int stop(int sig = SIGTERM, int timeout_ms = 5000);

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;  // output read but not yet returned as a line
};

}  // namespace korvo_test

#endif  // KORVO_TESTS_SUPPORT_BACKGROUND_PROCESS_H_
