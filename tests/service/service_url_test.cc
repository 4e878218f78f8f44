// The service URL korvo hands to openService.
#include "qel/service_url.h"

#include <gtest/gtest.h>

namespace rfid_qel {
namespace {

TEST(ServiceUrl, TakesHttpUrlsApart) {
  struct {
    const char* url;
    const char* host;
    int port;
    const char* base;
    int io_ms;
    int connect_ms;
  } cases[] = {
      {"http://127.0.0.1:21645/TagService", "127.0.0.1", 21645, "/TagService",
       5000, 3000},
      {"HTTP://Reader-1.example:8080/a/b/", "Reader-1.example", 8080, "/a/b",
       5000, 3000},
      {"http://svc", "svc", 80, "", 5000, 3000},
      {"http://svc/", "svc", 80, "", 5000, 3000},
      {"http://[::1]:9/TagService", "::1", 9, "/TagService", 5000, 3000},
      {"http://h:1/x?timeout_ms=500", "h", 1, "/x", 500, 500},
      {"http://h/x?timeout_ms=10000", "h", 80, "/x", 10000, 3000},
      {"https://gw.example/TagService", "gw.example", 443, "/TagService", 5000,
       3000},
      {"HTTPS://[::1]:21645/T", "::1", 21645, "/T", 5000, 3000},
  };
  for (const auto& c : cases) {
    service_address a;
    std::string error;
    ASSERT_TRUE(parse_service_url(c.url, a, error)) << c.url << ": " << error;
    EXPECT_EQ(a.host, c.host) << c.url;
    EXPECT_EQ(a.port, c.port) << c.url;
    EXPECT_EQ(a.base_path, c.base) << c.url;
    EXPECT_EQ(a.limits.io_ms, c.io_ms) << c.url;
    EXPECT_EQ(a.limits.connect_ms, c.connect_ms) << c.url;
    EXPECT_EQ(a.tls, c.url[4] == 's' || c.url[4] == 'S') << c.url;
  }
}

TEST(ServiceUrl, RefusesOthersWithAReasonNamingTheUrl) {
  struct {
    const char* url;
    const char* reason;
  } cases[] = {
      {"", "empty"},
      {"ftp://h/x", "only http[s]://host[:port][/path]"},
      {"127.0.0.1:21645/TagService", "only http[s]://"},
      {"https://user:token@h/x", "user information"},
      {"http://", "no host"},
      {"http://:80/x", "no host"},
      {"http://h:0/x", "port"},
      {"http://h:65536/x", "port"},
      {"http://h:/x", "port"},
      {"http://h:8x/x", "port"},
      {"http://user@h/x", "user information"},
      {"http://h/x#frag", "fragment"},
      {"http://h /x", "blank"},
      {"http://h/\xC3\xA9", "non-ASCII"},
      {"http://h!/x", "host name"},
      {"http://[::1/x", "']'"},
      {"http://[zz]/x", "IPv6"},
      {"http://[::1]x/x", "after the IPv6"},
      {"http://h/x?timeout=5", "unknown parameter 'timeout'"},
      {"http://h/x?timeout_ms=99", "timeout_ms"},
      {"http://h/x?timeout_ms=", "timeout_ms"},
  };
  for (const auto& c : cases) {
    service_address a;
    std::string error;
    EXPECT_FALSE(parse_service_url(c.url, a, error)) << c.url;
    EXPECT_NE(error.find(c.reason), std::string::npos)
        << c.url << ": " << error;
    if (*c.url != 0) {
      EXPECT_NE(error.find(std::string("'") + c.url + "'"), std::string::npos)
          << error;
    }
  }
}

TEST(ServiceUrl, DisplayRebuildsTheBase) {
  service_address a;
  std::string error;
  ASSERT_TRUE(parse_service_url("HTTP://[::1]/T/?timeout_ms=100", a, error));
  EXPECT_EQ(a.display(), "http://[::1]:80/T");
  ASSERT_TRUE(parse_service_url("Https://h/T", a, error));
  EXPECT_EQ(a.display(), "https://h:443/T");
}

}  // namespace
}  // namespace rfid_qel
