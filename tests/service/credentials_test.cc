// Where the session library finds the token it shows the tag service.
#include "qel/credentials.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace rfid_qel {
namespace {

TEST(Credentials, ReadsATokenFile) {
  struct {
    const char* text;
    const char* token;  // nullptr: refused
  } cases[] = {
      {"abc-DEF_012+/=\n", "abc-DEF_012+/="},
      {"  abc\r\n\n", "abc"},
      {"", nullptr},
      {"\n \n", nullptr},
      {"abc\ndef\n", nullptr},
      {"ab c\n", nullptr},
      {"ab\x01\n", nullptr},
  };
  for (const auto& c : cases) {
    std::string token;
    EXPECT_EQ(token_from_file_text(c.text, token), c.token != nullptr)
        << c.text;
    if (c.token != nullptr) {
      EXPECT_EQ(token, c.token);
    }
  }
}

TEST(Credentials, FindsTheHostsPasswordInNetrc) {
  const char* netrc =
      "machine other.example login x password other-token\n"
      "machine GW.example\n  login operator\n  password \"gw token\"\n"
      "macdef init\npassword macro-token\n\n"
      "default login anyone password default-token\n";
  struct {
    const char* host;
    const char* password;
  } cases[] = {
      {"gw.example", "gw token"},
      {"other.example", "other-token"},
      {"third.example", "default-token"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(netrc_password(netrc, c.host), c.password) << c.host;
  }
  EXPECT_EQ(netrc_password("machine a password p", "b"), "");
  EXPECT_EQ(netrc_password("machine a login u", "a"), "");
}

// The environment a process of the library sees, set for one test.
class CredentialsFromFiles : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/korvo-credentials-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    ::setenv("HOME", dir_.c_str(), 1);
    ::unsetenv("KORVO_TOKEN_FILE");
  }
  void TearDown() override {
    if (had_home_) ::setenv("HOME", home_.c_str(), 1);
    ::unsetenv("KORVO_TOKEN_FILE");
    std::filesystem::remove_all(dir_);
  }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
  std::string dir_;
  const bool had_home_ = std::getenv("HOME") != nullptr;
  const std::string home_ = had_home_ ? std::getenv("HOME") : "";
};

TEST_F(CredentialsFromFiles, TheTokenFileComesBeforeNetrc) {
  service_token t;
  std::string error;
  ASSERT_TRUE(find_service_token("gw", t, error)) << error;
  EXPECT_EQ(t.token, "");  // neither: no token, no failure

  write(".netrc", "machine gw password netrc-token\n");
  ASSERT_TRUE(find_service_token("gw", t, error)) << error;
  EXPECT_EQ(t.token, "netrc-token");
  EXPECT_NE(t.source.find(".netrc"), std::string::npos);

  write("token", "file-token\n");
  ::setenv("KORVO_TOKEN_FILE", (dir_ + "/token").c_str(), 1);
  ASSERT_TRUE(find_service_token("gw", t, error)) << error;
  EXPECT_EQ(t.token, "file-token");
  EXPECT_NE(t.source.find("KORVO_TOKEN_FILE"), std::string::npos);

  ::setenv("KORVO_TOKEN_FILE", (dir_ + "/missing").c_str(), 1);
  EXPECT_FALSE(find_service_token("gw", t, error));
  EXPECT_NE(error.find(dir_ + "/missing"), std::string::npos) << error;

  write("token", "two\nlines\n");
  ::setenv("KORVO_TOKEN_FILE", (dir_ + "/token").c_str(), 1);
  EXPECT_FALSE(find_service_token("gw", t, error));
  EXPECT_EQ(error.find("lines"), std::string::npos) << error;
}

}  // namespace
}  // namespace rfid_qel
