// Runs the real korvo binary against the scriptable fake session and
// collects its standard output, standard error, exit code and the calls the
// fake received.
#ifndef KORVO_TESTS_E2E_HARNESS_H_
#define KORVO_TESTS_E2E_HARNESS_H_

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

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
  // When not empty, korvo gets SIGTERM once standard output shows this text.
  std::string term_after;
  // Where standard output goes: empty for a pipe that is read back.
  std::string stdout_path;
  // Closes the read end of standard output's pipe before korvo starts, so
  // that every write fails with EPIPE.
  bool close_stdout = false;
  // The korvo executable to run (a copy elsewhere finds other libraries).
  std::string binary = KORVO_BINARY;
  // Environment variables set for korvo (the loader reads some).
  std::vector<std::pair<std::string, std::string>> env;
  int timeout_ms = 30000;
};

struct korvo_result {
  std::string out;
  std::string err;
  int code = -1;  // -1: killed after the timeout or by a signal
  int signal = 0;  // the signal that ended korvo, if one did
  // Lines of the fake's call log.
  std::vector<std::string> log;

  // The log without getLastError and getHeapSize queries.
  std::vector<std::string> calls() const;
};

korvo_result run_korvo(const korvo_run& run);

// A fresh empty folder under the system's temporary folder.
std::string make_temp_dir();

}  // namespace korvo_test

#endif  // KORVO_TESTS_E2E_HARNESS_H_
