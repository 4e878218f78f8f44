// The real reader's own files, the access password and the state of the
// tags it secured, in every shape a careless or hostile setup gives them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "tag_service/model/file_text.h"
#include "tag_service/readers/llrp/llrp_reader.h"

namespace tag_service {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void put(const fs::path& p, const std::string& text, fs::perms mode) {
  std::ofstream(p, std::ios::binary) << text;
  fs::permissions(p, mode);
}

TEST(InputFiles, EveryShapeIsReadOrRefusedWithoutHanging) {
  const fs::path dir = fs::path(::testing::TempDir()) / "input_files";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path zero = dir / "zero";
  fs::create_symlink("/dev/zero", zero);
  const fs::path big = dir / "big.json";
  put(big, std::string(kMaxStateFileBytes + 1, ' '), fs::perms::owner_read);
  const fs::path ok_state = dir / "state.json";
  put(ok_state, "{\"secured\": [\"e280aa\"]}", fs::perms::owner_read);
  // Past where a reader of the first few bytes would stop looking.
  const fs::path garbage = dir / "garbage";
  put(garbage, "1234ABCD" + std::string(100, ' ') + "5678", fs::perms(0600));
  const fs::path shared = dir / "shared";
  put(shared, "1234ABCD\n", fs::perms(0644));
  const fs::path group = dir / "group";
  put(group, "1234ABCD\n", fs::perms(0640));
  const fs::path own = dir / "own";
  put(own, " 1234abcd\n", fs::perms(0600));

  enum which { password, state };
  struct {
    const char* shape;
    which file;
    fs::path path;
    const char* error;    // "" for a file that is read
    const char* warning;  // for a password file read
  } cases[] = {
      {"FIFO", password, fifo, "is not a regular file", ""},
      {"FIFO", state, fifo, "is not a regular file", ""},
      {"link to /dev/zero", state, zero, "is not a regular file", ""},
      {"directory", state, dir, "is not a regular file", ""},
      {"oversized", state, big, "is larger than 4194304 bytes", ""},
      {"trailing garbage", password, garbage, "exactly 8 hex digits", ""},
      {"readable by others", password, shared, "", "may be read by others"},
      {"owner and group only", password, group, "", ""},
      {"owner only", password, own, "", ""},
      {"a state", state, ok_state, "", ""},
      {"missing: an empty state", state, dir / "none.json", "", ""},
      {"folder missing", state, dir / "no" / "state.json", "cannot be written",
       ""},
  };
  for (const auto& c : cases) {
    std::string error;
    std::string warning;
    bool read = false;
    if (c.file == password) {
      std::uint32_t value = 0;
      read = read_access_password(c.path.string(), value, error, warning);
      if (read) {
        EXPECT_EQ(value, 0x1234ABCDu) << c.shape;
      }
    } else {
      std::set<std::string> secured;
      read = read_state_file(c.path.string(), secured, error);
      if (read && c.path == ok_state) {
        EXPECT_EQ(secured.count("E280AA"), 1u);
      }
    }
    EXPECT_EQ(read, *c.error == 0) << c.shape << ": " << error;
    EXPECT_NE(error.find(c.error), std::string::npos)
        << c.shape << ": " << error;
    EXPECT_NE(warning.find(c.warning), std::string::npos) << c.shape;
    if (*c.warning == 0) {
      EXPECT_EQ(warning, "") << c.shape;
    }
  }
}

// The state is replaced through a fresh temporary file: a link planted at
// any name beside it is never written through, and the new file is the
// owner's alone.
TEST(InputFiles, ReplacingTheStateNeverWritesThroughAPlantedLink) {
  const fs::path dir = fs::path(::testing::TempDir()) / "replace_file";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path victim = dir / "victim";
  put(victim, "precious", fs::perms(0644));
  const fs::path state = dir / "state.json";
  for (const char* planted : {"state.json.tmp", ".state.json.tmp"}) {
    fs::create_symlink(victim, dir / planted);
  }
  std::string why;
  ASSERT_TRUE(replace_file(state.string(), "{\"secured\": []}\n", why)) << why;
  EXPECT_EQ(slurp(victim), "precious");
  EXPECT_EQ(slurp(state), "{\"secured\": []}\n");
  EXPECT_FALSE(fs::is_symlink(state));
  EXPECT_EQ(fs::status(state).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // Nothing is left beside it but the state and the planted links.
  EXPECT_EQ(
      std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);
  // A folder that is gone: a reason, no path, no leftovers.
  EXPECT_FALSE(replace_file((dir / "gone" / "s.json").string(), "{}", why));
  EXPECT_EQ(why, "No such file or directory");
}

}  // namespace
}  // namespace tag_service
