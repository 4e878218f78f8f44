// Runs the real korvo binary against the scriptable fake session and
// collects its standard output, standard error, exit code and the calls the
// fake received.
#ifndef KORVO_TESTS_E2E_HARNESS_H_
#define KORVO_TESTS_E2E_HARNESS_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvo_test {

struct korvo_run {
  std::vector<std::string> args;           // after the program name
  nlohmann::json scenario = nlohmann::json::object();
  // Appended as "dll <library>" unless empty.
  std::string library = FAKE_SESSION_LIBRARY;
  std::string cwd;    // empty: a fresh temporary folder
  std::string input;  // standard input; closed after it
  // When not empty, input is written (and standard input closed) only once
  // standard output shows this text: korvo must have flushed it while
  // waiting for input.
  std::string input_after;
  // Where standard output goes: empty for a pipe that is read back.
  std::string stdout_path;
  int timeout_ms = 30000;
};

struct korvo_result {
  std::string out;
  std::string err;
  int code = -1;  // -1: killed after the timeout or by a signal
  // Lines of the fake's call log.
  std::vector<std::string> log;

  // The log without getLastError and getHeapSize queries.
  std::vector<std::string> calls() const;
};

korvo_result run_korvo(const korvo_run& run);

// A fresh empty folder under the system's temporary folder.
std::string make_temp_dir();

// Text of the usage, as korvo must print it.
extern const char kUsage[];

}  // namespace korvo_test

#endif  // KORVO_TESTS_E2E_HARNESS_H_
