// Runs the reader emulator (Node.js) for a test and talks to it over its
// standard input and output: one JSON command, one JSON answer.
#ifndef KORVO_TESTS_LLRP_EMULATOR_PROCESS_H_
#define KORVO_TESTS_LLRP_EMULATOR_PROCESS_H_

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/background_process.h"

namespace korvo_test {

// Why the emulator cannot run here (its npm packages not installed), or
// empty when it can.
std::string emulator_missing();

class emulator_process {
 public:
  // Starts reader.js with these options and reads its port. On failure
  // port() is 0 and error() says why.
  explicit emulator_process(std::vector<std::string> args = {});
  // Closes its standard input (it exits), kills it after a few seconds.
  ~emulator_process();
  emulator_process(const emulator_process&) = delete;
  emulator_process& operator=(const emulator_process&) = delete;

  int port() const { return port_; }
  const std::string& error() const { return error_; }
  std::string url() const {
    return "llrp://127.0.0.1:" + std::to_string(port_);
  }

  // Sends one command, returns the answer (null after 5 s without one).
  nlohmann::json command(const nlohmann::json& cmd);
  nlohmann::json state() { return command({{"cmd", "state"}}); }

 private:
  background_process process_;
  int port_ = 0;
  std::string error_;
};

}  // namespace korvo_test

#endif  // KORVO_TESTS_LLRP_EMULATOR_PROCESS_H_
