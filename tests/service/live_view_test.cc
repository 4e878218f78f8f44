// The live view's snapshot and page.
#include "tag_service/service/live_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tag_service/model/wire_json.h"
#include "tag_service/readers/simulated/scene_file.h"
#include "tag_service/readers/simulated/simulated_reader.h"

namespace tag_service {
namespace {

// The Unix epoch as a FILETIME.
constexpr std::uint64_t kEpoch = 116444736000000000ull;

TEST(LiveStatus, ReaderFormatsAndItemsAsTheProtocolWritesThem) {
  const scene demo = load_scene(nlohmann::json::parse(demo_scene_json()), 0);
  reader_view llrp{
      "llrp://192.0.2.10:5084", true, true, "antenna 2 lost", {demo.items[1]}};
  const reader_view readers[] = {{}, llrp};
  // The protocol's form of one element, read back.
  const auto form = [](const auto& element, auto write) {
    std::string text;
    json_writer w(text);
    write(w, element);
    return nlohmann::json::parse(text);
  };
  for (const reader_view& r : readers) {
    const nlohmann::json s =
        nlohmann::json::parse(live_status(r, demo.formats, kEpoch));
    EXPECT_EQ(s["reader"]["source"], r.source);
    EXPECT_EQ(s["reader"]["connected"], r.connected);
    EXPECT_EQ(s["reader"]["inventory"], r.inventory);
    EXPECT_EQ(s["reader"]["last_error"], r.last_error);
    ASSERT_EQ(s["items"].size(), r.items.size());
    if (!r.items.empty()) {
      EXPECT_EQ(s["items"][0],
                form(r.items[0],
                     [](json_writer& w, const item& i) { write_item(w, i); }));
    }
    ASSERT_EQ(s["formats"].size(), demo.formats.size());
    EXPECT_EQ(s["formats"][0],
              form(demo.formats[0], [](json_writer& w, const tag_format& f) {
                write_format(w, f);
              }));
    EXPECT_EQ(s["time"], "1970-01-01T00:00:00Z");
  }
}

// However many poll at once, one snapshot is built at a time and at most
// once per max age; everyone gets one, and a stale one is rebuilt.
TEST(SharedSnapshot, OneBuildAtATimeAndAtMostOncePerMaxAge) {
  std::atomic<int> builds{0}, building{0}, most_at_once{0};
  shared_snapshot snapshot(
      [&] {
        const int now = ++building;
        int most = most_at_once.load();
        while (now > most && !most_at_once.compare_exchange_weak(most, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --building;
        return std::to_string(++builds);
      },
      std::chrono::milliseconds(100));
  const auto began = std::chrono::steady_clock::now();
  std::atomic<int> empty{0};
  std::vector<std::thread> pollers;
  for (int t = 0; t < 16; ++t) {
    pollers.emplace_back([&] {
      while (std::chrono::steady_clock::now() - began <
             std::chrono::milliseconds(350)) {
        const auto s = snapshot.get();
        if (s == nullptr || s->empty()) ++empty;
      }
    });
  }
  for (std::thread& p : pollers) p.join();
  EXPECT_EQ(empty, 0);
  EXPECT_EQ(most_at_once, 1);
  EXPECT_GE(builds, 2);  // rebuilt once stale
  EXPECT_LE(builds, 5);  // 350 ms / 100 ms, and the first
}

// The simulated reader shows its whole scene, connected or not, and reads
// only while connected.
TEST(LiveStatus, SimulatedReaderShowsItsSceneConnectedOrNot) {
  const scene demo = load_scene(nlohmann::json::parse(demo_scene_json()), 0);
  simulated_reader r(demo);
  for (const bool connected : {false, true}) {
    r.set_connected(connected);
    const reader_view v = r.view();
    EXPECT_EQ(v.source, "simulated");
    EXPECT_EQ(v.connected, connected);
    EXPECT_EQ(v.inventory, connected);
    EXPECT_EQ(v.items.size(), demo.items.size());
  }
}

// Tag texts reach the page as data; the page must build elements from them
// only as text, and it may load nothing from elsewhere.
TEST(LivePage, NoMarkupFromDataAndNothingFromOutside) {
  const std::string page(live_page());
  EXPECT_NE(page.find("fetch('/status.json'"), std::string::npos);
  EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
  for (const char* banned :
       {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write",
        "eval(", "src=", "href=", "@import", "url(", "http://", "https://"}) {
    EXPECT_EQ(page.find(banned), std::string::npos) << banned;
  }
}

}  // namespace
}  // namespace tag_service
