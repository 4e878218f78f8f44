// The publisher while no broker answers: time still makes its events.
#include "tag_service/events/mqtt_publisher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tag_service::events {
namespace {

using namespace std::chrono_literals;

// A departure is made when the hold runs out, not when the back-off
// between two attempts to reach the broker ends.
TEST(MqttPublisher, DeparturesAreMadeWhileTheLinkBacksOff) {
  derive_options derive;
  derive.reader_name = "r";
  derive.instance = "i";
  derive.hold = 100ms;
  event_output output(derive, outbox_limits{});
  mqtt_options options;
  options.host = "127.0.0.1";
  options.port = 1;  // nobody listens there
  options.topic_prefix = "korvo/r";
  options.client_id = "korvo-r";
  options.min_backoff = 5000ms;
  options.max_backoff = 5000ms;
  mqtt_publisher publisher(options, output);
  std::string error;
  ASSERT_TRUE(publisher.start(error)) << error;
  std::this_thread::sleep_for(200ms);  // the first attempt failed

  sighting s;
  s.seen.id = "urn:epc:raw:96.x1";
  s.seen.tags.push_back({});
  s.seen.tags.back().id = "300000000000000000000001";
  s.antenna = 1;
  s.time_ms = utc_now_ms();
  output.sighted(s);
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (output.figures().events < 2 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(output.figures().events, 2u) << "arrived and departed";
  publisher.stop();
}

}  // namespace
}  // namespace tag_service::events
