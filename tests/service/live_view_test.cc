// The live view's snapshot and page.
#include "tag_service/service/live_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "tag_service/model/wire_json.h"
#include "tag_service/readers/simulated/scene_file.h"
#include "tag_service/readers/simulated/simulated_reader.h"
#include "tag_service/service/service.h"

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
    json_writer w;
    write(w, element);
    return nlohmann::json::parse(w.text());
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

// The service's additions sit among the reader's members in the order of
// their names, as a JSON document would sort them; texts that are not
// UTF-8 still make valid JSON.
TEST(LiveStatus, AdditionsInTheOrderOfTheirNames) {
  const scene demo = load_scene(nlohmann::json::parse(demo_scene_json()), 0);
  const reader_view r{"simulated", true, true, "", {demo.items[0]}};
  const live_events e{
      "mqtt://127.0.0.1:1883", true, "lost \"x\"\n", 3, 900, 1, 40};
  const live_capture c{
      "https://repo.example/capture", false, "503", 7, 4000, 2, 120, 5};
  const live_additions cases[] = {{true, std::nullopt, std::nullopt},
                                  {false, e, std::nullopt},
                                  {true, e, c},
                                  {false, std::nullopt, c}};
  for (const live_additions& added : cases) {
    nlohmann::json expected =
        nlohmann::json::parse(live_status(r, demo.formats, kEpoch));
    if (added.insecure) expected["insecure"] = true;
    if (added.events) {
      expected["events"] = {{"broker", e.broker},
                            {"connected", e.connected},
                            {"last_error", e.last_error},
                            {"outbox", e.outbox},
                            {"outbox_bytes", e.outbox_bytes},
                            {"dropped", e.dropped},
                            {"sent", e.sent}};
    }
    if (added.capture) {
      expected["capture"] = {{"url", c.url},
                             {"reachable", c.reachable},
                             {"last_error", c.last_error},
                             {"outbox", c.outbox},
                             {"outbox_bytes", c.outbox_bytes},
                             {"dropped", c.dropped},
                             {"captured", c.captured},
                             {"rejected", c.rejected}};
    }
    EXPECT_EQ(live_status(r, demo.formats, kEpoch, added), expected.dump());
  }
  live_additions bad;
  bad.events = live_events{"mqtt://h\xFF", false, "\xC3", 0, 0, 0, 0};
  const auto s = nlohmann::json::parse(live_status(r, {}, kEpoch, bad));
  EXPECT_EQ(s["events"]["broker"], "mqtt://h\xEF\xBF\xBD");
  EXPECT_EQ(s["events"]["last_error"], "\xEF\xBF\xBD");
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
// only as text, and it may load nothing from elsewhere: only its own
// script, which its policy allows, and no inline script at all.
TEST(LivePage, NoMarkupFromDataAndNothingFromOutside) {
  std::string page(live_page());
  const std::string own_script =
      std::string("<script src=\"") + kLiveScriptPath + "\"></script>";
  ASSERT_NE(page.find(own_script), std::string::npos);
  page.erase(page.find(own_script), own_script.size());
  EXPECT_EQ(page.find("<script"), std::string::npos);
  const std::string script(live_script());
  EXPECT_NE(script.find("fetch('/status.json'"), std::string::npos);
  const std::string policy = kLivePagePolicy;
  for (const char* part :
       {"default-src 'none'", "script-src 'self';", "frame-ancestors 'none'"}) {
    EXPECT_NE(policy.find(part), std::string::npos) << part;
  }
  for (const std::string& text : {page, script}) {
    for (const char* banned :
         {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write",
          "eval(", "src=", "href=", "@import", "url(", "http://", "https://"}) {
      EXPECT_EQ(text.find(banned), std::string::npos) << banned;
    }
  }
}

}  // namespace
}  // namespace tag_service

namespace tag_service {
namespace {

// A reader whose view says what a hostile reader sent it.
class view_only_reader final : public reader {
 public:
  explicit view_only_reader(reader_view v) : view_(std::move(v)) {}
  std::vector<tag_format> formats() override { return {}; }
  bool set_connected(bool) override { return false; }
  std::vector<item> items() override { return {}; }
  tag create_tag(std::string_view) override { return {}; }
  written_tag write_tag(const std::string&) override { return {}; }
  tag set_security(const std::string&, bool) override { return {}; }
  reader_status status() override { return {}; }
  reader_view view() override { return view_; }

 private:
  reader_view view_;
};

// Whatever a reader's error says, the snapshot is valid JSON text, its
// error bounded; the tags it did not keep are counted there.
TEST(LiveSnapshot, ReaderErrorsAreCleanedAndBounded) {
  const struct {
    std::string error;
    std::string shown;
  } cases[] = {
      {"antenna 2 lost", "antenna 2 lost"},
      {"bad \xFF\xC3 utf-8", "bad ?? utf-8"},
      {"line\nbreak", "line?break"},
      {std::string(5000, 'x'), std::string(kMaxLastErrorBytes, 'x')},
  };
  for (const auto& c : cases) {
    reader_view v;
    v.last_error = c.error;
    v.not_shown = 42;
    service s(std::make_unique<view_only_reader>(v));
    const nlohmann::json snap = nlohmann::json::parse(s.live_snapshot(kEpoch));
    std::string text;
    EXPECT_NO_THROW(text = snap.dump()) << c.shown;
    EXPECT_EQ(snap["reader"]["last_error"], c.shown);
    EXPECT_EQ(snap["reader"]["not_shown"], 42);
  }
}

}  // namespace
}  // namespace tag_service
