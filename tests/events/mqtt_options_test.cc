// What the publisher accepts at start: broker URLs and credentials files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tag_service/events/mqtt_publisher.h"

namespace tag_service::events {
namespace {

TEST(MqttUrl, AcceptsPlainAndTlsWithDefaultPortsRefusesTheRest) {
  struct case_ {
    const char* url;
    bool ok;
    const char* host;
    int port;
    bool tls;
  };
  const case_ cases[] = {
      {"mqtt://127.0.0.1", true, "127.0.0.1", 1883, false},
      {"mqtt://broker.local:1884", true, "broker.local", 1884, false},
      {"mqtts://broker", true, "broker", 8883, true},
      {"mqtts://broker:8884/", true, "broker", 8884, true},
      {"mqtt://[::1]:2000", true, "::1", 2000, false},
      {"mqtt://[::1]", true, "::1", 1883, false},
      {"http://broker", false, "", 0, false},
      {"mqtt://", false, "", 0, false},
      {"mqtt://host:", false, "", 0, false},
      {"mqtt://host:0", false, "", 0, false},
      {"mqtt://host:65536", false, "", 0, false},
      {"mqtt://host:12x", false, "", 0, false},
      {"mqtt://host/path", false, "", 0, false},
      {"mqtt://user@host", false, "", 0, false},
      {"mqtt://[::1", false, "", 0, false},
      {"mqtt://[::1]x", false, "", 0, false},
  };
  for (const case_& c : cases) {
    mqtt_options o;
    std::string error;
    EXPECT_EQ(parse_mqtt_url(c.url, o, error), c.ok) << c.url;
    if (c.ok) {
      EXPECT_EQ(o.host, c.host) << c.url;
      EXPECT_EQ(o.port, c.port) << c.url;
      EXPECT_EQ(o.tls, c.tls) << c.url;
    } else {
      EXPECT_FALSE(error.empty()) << c.url;
    }
  }
}

TEST(MqttCredentials, UserAndPasswordLinesAndNothingElse) {
  struct case_ {
    const char* text;
    bool ok;
    const char* user;
    const char* password;
  };
  const case_ cases[] = {
      {"site\ns3cret\n", true, "site", "s3cret"},
      {"site\r\ns3 cret", true, "site", "s3 cret"},
      {"site\n\n", true, "site", ""},
      {"site", false, "", ""},
      {"\npassword\n", false, "", ""},
      {"site\ns3cret\nmore\n", false, "", ""},
  };
  const std::string path =
      ::testing::TempDir() + "mqtt_credentials_" + std::to_string(::getpid());
  for (const case_& c : cases) {
    std::ofstream(path, std::ios::binary) << c.text;
    std::string user, password, error;
    EXPECT_EQ(read_mqtt_credentials(path, user, password, error), c.ok)
        << c.text;
    EXPECT_EQ(user, c.user) << c.text;
    EXPECT_EQ(password, c.password) << c.text;
    // A refusal never shows what the file holds.
    EXPECT_EQ(error.find("s3cret"), std::string::npos) << c.text;
  }
  std::remove(path.c_str());
  std::string user, password, error;
  EXPECT_FALSE(read_mqtt_credentials(path, user, password, error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

}  // namespace
}  // namespace tag_service::events
