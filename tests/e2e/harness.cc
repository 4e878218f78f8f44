#include "tests/e2e/harness.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/process_runner.h"

namespace korvo_test {

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

  process_plan plan;
  plan.args = wrapper_words();
  plan.timeout_ms = plan.args.empty() ? run.timeout_ms : run.timeout_ms * 10;
  plan.args.push_back(run.binary);
  plan.args.insert(plan.args.end(), run.args.begin(), run.args.end());
  if (!run.library.empty()) {
    plan.args.push_back("dll");
    plan.args.push_back(run.library);
  }
  plan.cwd = run.cwd.empty() ? dir : run.cwd;
  plan.env = {{"KORVO_FAKE_SCENARIO", scenario_path},
              {"KORVO_FAKE_LOG", log_path}};
  plan.env.insert(plan.env.end(), run.env.begin(), run.env.end());
  plan.input = run.input;
  plan.input_after = run.input_after;
  plan.signal_after = run.term_after;
  plan.stdout_path = run.stdout_path;
  plan.close_stdout = run.close_stdout;
  const process_result p = run_process(plan);

  korvo_result r;
  r.out = p.out;
  r.err = p.err;
  r.code = p.code;
  r.signal = p.signal;
  r.log = read_lines(log_path);
  std::string cmd = "rm -rf '" + dir + "'";
  [[maybe_unused]] int rc = std::system(cmd.c_str());
  return r;
}

}  // namespace korvo_test
