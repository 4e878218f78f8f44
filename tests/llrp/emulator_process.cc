#include "tests/llrp/emulator_process.h"

#include <sys/stat.h>

#include <cstdlib>

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

namespace {

std::vector<std::string> emulator_args(std::vector<std::string> options) {
  std::vector<std::string> args = {
      "node", std::string(LLRP_EMULATOR_DIR) + "/reader.js"};
  args.insert(args.end(), options.begin(), options.end());
  return args;
}

}  // namespace

emulator_process::emulator_process(std::vector<std::string> args)
    : process_(emulator_args(std::move(args))) {
  const std::string line = process_.read_line(10000);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) error_ = "emulator did not start: '" + line + "'";
}

emulator_process::~emulator_process() {
  process_.close_input();
  process_.stop(0, 3000);
}

nlohmann::json emulator_process::command(const nlohmann::json& cmd) {
  if (!process_.write_input(cmd.dump() + "\n")) return nullptr;
  return nlohmann::json::parse(process_.read_line(5000), nullptr, false);
}

}  // namespace korvo_test
