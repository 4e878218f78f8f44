#include "session/binding.h"

#include <gtest/gtest.h>

namespace korvo {
namespace {

TEST(ServiceUrl, BuildsFromHostOrTakesAddrWhole) {
  EXPECT_EQ(service_url(u"127.0.0.1", nullptr),
            u"http://127.0.0.1:21645/TagService");
  EXPECT_EQ(service_url(u"10.0.0.5", nullptr),
            u"http://10.0.0.5:21645/TagService");
  EXPECT_EQ(service_url(u"", nullptr), u"http://:21645/TagService");
  EXPECT_EQ(service_url(u"10.0.0.5", u"https://svc/x"), u"https://svc/x");
  EXPECT_EQ(service_url(u"10.0.0.5", u""), u"");
}

}  // namespace
}  // namespace korvo
