// Runs a program as a child process, feeds its standard input and collects
// its standard output, standard error and exit code, within a time limit.
#ifndef KORVO_TESTS_SUPPORT_PROCESS_RUNNER_H_
#define KORVO_TESTS_SUPPORT_PROCESS_RUNNER_H_

#include <csignal>
#include <string>
#include <utility>
#include <vector>

namespace korvo_test {

struct process_plan {
  std::vector<std::string> args;  // args[0]: the program, looked up on PATH
  std::string cwd;                // empty: the runner's own folder
  // Set in the child's environment, on top of the runner's.
  std::vector<std::pair<std::string, std::string>> env;
  std::string input;  // standard input; closed after it
  // When not empty, input is written (and standard input closed) only once
  // standard output shows this text.
  std::string input_after;
  // When not empty, the child is sent signal_number once standard output
  // shows this text, as a supervisor might stop it while it waits.
  std::string signal_after;
  int signal_number = SIGTERM;
  // Where standard output goes: empty for a pipe that is read back.
  std::string stdout_path;
  // Closes the read end of standard output's pipe before the child starts,
  // so that every write to it fails with EPIPE.
  bool close_stdout = false;
  int timeout_ms = 10000;
};

struct process_result {
  int code = -1;  // -1: killed after the timeout or by a signal
  int signal = 0;  // the signal that ended the child, if one did
  std::string out;
  std::string err;
  double seconds = 0;   // from start to end, wall clock
  long max_rss_kb = 0;  // the child's peak resident memory
};

// The child starts with the default signal dispositions and an empty signal
// mask, as a shell would start it, whatever the runner ignores or blocks.
process_result run_process(const process_plan& plan);

}  // namespace korvo_test

#endif  // KORVO_TESTS_SUPPORT_PROCESS_RUNNER_H_
