// Loading the session library, creating the session and opening the service.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "tests/e2e/harness.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;

TEST(Binding, MissingLibraryPrintsLoadErrorWithItsErrno) {
  korvo_run run;
  run.args = {"print"};
  run.library = "/nonexistent/rfid_qel.kzm";
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.out, "ERROR: Cannot load dll, code=2\n");  // ENOENT
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("/nonexistent/rfid_qel.kzm"), std::string::npos);
}

TEST(Binding, FileThatIsNoLibraryNeverPrintsCodeZero) {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/rfid_qel.kzm";
  std::ofstream(path) << "not an ELF file";
  korvo_run run;
  run.args = {"formats"};
  run.library = path;
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.out.rfind("ERROR: Cannot load dll, code=", 0), 0u) << r.out;
  EXPECT_EQ(r.out, "ERROR: Cannot load dll, code=8\n");  // ENOEXEC
}

TEST(Binding, LibraryWithoutItsOwnEntryPoint) {
  // An entry point that only a dependency exports is not the library's own:
  // it is never called.
  for (const char* library : {NO_ENTRY_LIBRARY, BORROWED_ENTRY_LIBRARY}) {
    korvo_run run;
    run.args = {"print"};
    run.library = library;
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.out, "ERROR: Cannot locate entry point\n") << library;
    EXPECT_EQ(r.err, "") << library;
    EXPECT_EQ(r.code, 2) << library;
  }
}

TEST(Binding, LibraryThatCannotLoadGivesItsCode) {
  // A file found whose own dependency is missing is no usable library
  // (ENOEXEC); the loader's message names the missing file. An empty path
  // names no file at all (ENOENT), never the program itself.
  const std::string dir = make_temp_dir();
  const std::string lonely = dir + "/lonely.kzm";
  {
    std::ifstream from(BORROWED_ENTRY_LIBRARY, std::ios::binary);
    std::ofstream to(lonely, std::ios::binary);
    to << from.rdbuf();
  }
  struct {
    std::string library;
    std::string out;
    std::string err_names;
  } cases[] = {
      {lonely, "ERROR: Cannot load dll, code=8\n", "libentry_provider.so"},
      {"", "ERROR: Cannot load dll, code=2\n", "empty"},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = {"print", "dll", c.library};
    run.library.clear();
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.out, c.out) << c.library;
    EXPECT_EQ(r.code, 2) << c.library;
    EXPECT_NE(r.err.find(c.err_names), std::string::npos) << r.err;
  }
}

TEST(Binding, LibraryPathKeepsBytesThatAreNoUtf8) {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/lib\xFF\xC3.kzm";
  ASSERT_EQ(::symlink(FAKE_SESSION_LIBRARY, path.c_str()), 0);
  korvo_run run;
  run.args = {"formats", "dll", path};
  run.library.clear();
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(r.log.empty());
}

TEST(Binding, LoaderSearchesLibraryPathBeforeTheProgramFolder) {
  // A copy of korvo whose folder holds a library without entry point, and a
  // working one in a folder of LD_LIBRARY_PATH: the loader's order takes the
  // latter; without LD_LIBRARY_PATH the program's folder is searched.
  const std::string bin = make_temp_dir();
  const std::string env_dir = make_temp_dir();
  {
    std::ifstream from(KORVO_BINARY, std::ios::binary);
    std::ofstream to(bin + "/korvo", std::ios::binary);
    to << from.rdbuf();
  }
  ASSERT_EQ(::chmod((bin + "/korvo").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(NO_ENTRY_LIBRARY, (bin + "/rfid_qel.kzm").c_str()), 0);
  ASSERT_EQ(
      ::symlink(FAKE_SESSION_LIBRARY, (env_dir + "/rfid_qel.kzm").c_str()), 0);
  struct {
    bool with_env;
    std::string out;
  } cases[] = {
      {true, ""},
      {false, "ERROR: Cannot locate entry point\n"},
  };
  for (const auto& c : cases) {
#if defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer dlopen is called from the sanitizer's runtime,
    // whose RUNPATH is not korvo's: only the LD_LIBRARY_PATH case holds.
    if (!c.with_env) continue;
#endif
    korvo_run run;
    run.args = {"formats"};
    run.library.clear();
    run.binary = bin + "/korvo";
    if (c.with_env) run.env = {{"LD_LIBRARY_PATH", env_dir}};
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.out, c.out) << c.with_env;
  }
}

TEST(Binding, VersionRefusedOpensNoService) {
  korvo_run run;
  run.args = {"print"};
  run.scenario = {{"accept_version", 3}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.out,
            "ERROR: Failed to create session, interface version mismatch\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.log, (std::vector<std::string>{"create 2"}));
}

TEST(Binding, ServiceUrlFromHostOrAddr) {
  struct {
    std::vector<std::string> args;
    std::string opened;
  } cases[] = {
      {{"formats"}, "openService http://127.0.0.1:21645/TagService"},
      {{"host", "10.0.0.5", "formats"},
       "openService http://10.0.0.5:21645/TagService"},
      {{"addr", "http://svc:8080/x", "host", "10.0.0.5", "formats"},
       "openService http://svc:8080/x"},
      {{"formats", "host", "a", "host", "b"},
       "openService http://b:21645/TagService"},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = c.args;
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, 0);
    ASSERT_GE(r.calls().size(), 2u);
    EXPECT_EQ(r.calls()[1], c.opened);
  }
}

TEST(Binding, OpenFailureIsReportedAndTheSessionStillCloses) {
  korvo_run run;
  run.args = {"formats", "print", "heap", "disconnect"};
  run.scenario = {{"heap", 77},
                  {"fail", {{"openService", {{"status", -4},
                                             {"message", "no service"}}}}}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.out, "openService: no service\nHEAP_PROPERTY_ACTUAL_SIZE=77\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.calls(), (std::vector<std::string>{
                           "create 2",
                           "openService http://127.0.0.1:21645/TagService",
                           "disconnectReader", "closeSession"}));
}

TEST(Binding, OpenFailureWithNonNegativeStatusRunsOn) {
  korvo_run run;
  run.args = {"print"};
  run.scenario = {{"fail", {{"openService", {{"status", 0},
                                             {"message", "fine really"}}}}}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.find("openService"), std::string::npos);
  EXPECT_NE(std::find(r.log.begin(), r.log.end(), "readItems"), r.log.end());
}

TEST(Binding, NegativeStatusWithoutMessageShowsTheStatus) {
  korvo_run run;
  run.args = {"print"};
  run.scenario = {{"fail", {{"openService", {{"status", -12},
                                             {"message", nullptr}}}}}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.out, "openService: status -12\n");
  EXPECT_EQ(r.code, 1);
}

TEST(Binding, MessagesPrintLiterallyAsUtf8) {
  korvo_run run;
  run.args = {"print"};
  json units = json::array({'%', 's', 0xE9, 0xD800, '!'});
  run.scenario = {{"fail", {{"openService", {{"status", -1},
                                             {"message", units}}}}}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.out, "openService: %s\xC3\xA9\xEF\xBF\xBD!\n");
}

TEST(Binding, SubfolderLibraryIsPickedUpAndDllOverridesIt) {
  const std::string dir = make_temp_dir();
  ASSERT_EQ(::mkdir((dir + "/kzm").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(FAKE_SESSION_LIBRARY, (dir + "/kzm/rfid_qel.kzm").c_str()),
            0);
  korvo_run run;
  run.args = {"formats"};
  run.library.clear();
  run.cwd = dir;
  korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_FALSE(r.log.empty());

  run.args = {"formats", "dll", NO_ENTRY_LIBRARY};
  r = run_korvo(run);
  EXPECT_EQ(r.out, "ERROR: Cannot locate entry point\n");
}

TEST(Binding, BareDllNameTakesTheFileInTheWorkingFolderFirst) {
  // "dll NAME" without a slash names a file in the working folder when one
  // is there, as any file argument would; otherwise the loader searches.
  const std::string here = make_temp_dir();
  const std::string env_dir = make_temp_dir();
  ASSERT_EQ(::symlink(FAKE_SESSION_LIBRARY, (here + "/mine.kzm").c_str()), 0);
  ASSERT_EQ(::symlink(NO_ENTRY_LIBRARY, (here + "/both.kzm").c_str()), 0);
  ASSERT_EQ(::symlink(FAKE_SESSION_LIBRARY, (env_dir + "/both.kzm").c_str()),
            0);
  ASSERT_EQ(::symlink(FAKE_SESSION_LIBRARY, (env_dir + "/found.kzm").c_str()),
            0);
  struct {
    std::string name;
    std::string out;
    int code;
  } cases[] = {
      {"mine.kzm", "", 0},
      {"both.kzm", "ERROR: Cannot locate entry point\n", 2},
      {"found.kzm", "", 0},
      {"absent.kzm", "ERROR: Cannot load dll, code=2\n", 2},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = {"formats", "dll", c.name};
    run.library.clear();
    run.cwd = here;
    run.env = {{"LD_LIBRARY_PATH", env_dir}};
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.code, c.code) << c.name;
  }
}

TEST(Binding, DefaultLibraryIsNeverTakenFromTheCurrentFolder) {
  // Without "dll" and without kzm/, the name goes to the loader's search,
  // which must not look in the current folder: a library planted there would
  // otherwise run with the user's rights.
  const std::string dir = make_temp_dir();
  ASSERT_EQ(::symlink(FAKE_SESSION_LIBRARY, (dir + "/rfid_qel.kzm").c_str()), 0);
  korvo_run run;
  run.args = {"formats"};
  run.library.clear();
  run.cwd = dir;
  const korvo_result r = run_korvo(run);
  EXPECT_TRUE(r.log.empty()) << "the planted fake was loaded";
}

}  // namespace
}  // namespace korvo_test
