// The outbox's bounds, and the gap it announces for what it dropped.
#include "tag_service/events/outbox.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tag_service/events/event_output.h"

namespace tag_service::events {
namespace {

TEST(Outbox, DropsTheOldestBeyondEitherBoundAndCountsThem) {
  struct case_ {
    const char* name;
    outbox_limits limits;
    std::vector<std::string> pushed;  // pushed at times 1, 2, 3, ...
    std::vector<std::string> kept;
    dropped_run dropped;
  };
  const std::vector<case_> cases = {
      {"within both bounds", {3, 100}, {"a", "b", "c"}, {"a", "b", "c"}, {}},
      {"count bound", {2, 100}, {"a", "b", "c", "d"}, {"c", "d"}, {2, 1, 2}},
      {"byte bound", {10, 5}, {"aa", "bb", "cc"}, {"bb", "cc"}, {1, 1, 1}},
      {"one event above the byte bound goes itself",
       {10, 3},
       {"a", "bbbb"},
       {},
       {2, 1, 2}},
  };
  for (const case_& c : cases) {
    outbox box(c.limits);
    std::int64_t t = 0;
    for (const std::string& p : c.pushed) box.push(p, ++t);
    const dropped_run d = box.take_dropped();
    EXPECT_EQ(d.count, c.dropped.count) << c.name;
    EXPECT_EQ(d.first_ms, c.dropped.first_ms) << c.name;
    EXPECT_EQ(d.last_ms, c.dropped.last_ms) << c.name;
    EXPECT_EQ(box.dropped_total(), c.dropped.count) << c.name;
    EXPECT_EQ(box.take_dropped().count, 0u) << c.name;
    std::vector<std::string> kept;
    std::size_t bytes = 0;
    for (const auto& k : c.kept) bytes += k.size();
    EXPECT_EQ(box.bytes(), bytes) << c.name;
    while (!box.empty()) {
      kept.push_back(box.front());
      box.pop();
    }
    EXPECT_EQ(kept, c.kept) << c.name;
  }
}

// Tags T0 ... Tn-1, each sighted for the first time, at 1000 + i ms.
void sight_new_tags(event_output& out, int n) {
  for (int i = 0; i < n; ++i) {
    sighting s;
    tag t;
    t.id = "T" + std::to_string(i);
    s.seen.tags.push_back(t);
    s.time_ms = 1000 + i;
    out.sighted(s);
  }
}

// Drops while the publisher cannot take anything are announced once, first,
// with their count and times, and are not lost when the gap event itself
// is refused.
TEST(EventOutput, GapEventGoesFirstAndCountsExactlyTheDropped) {
  event_output out({"dock-1", "abc", std::chrono::milliseconds(100000),
                    std::chrono::milliseconds(500)},
                   {3, 1 << 20});
  sight_new_tags(out, 7);
  EXPECT_EQ(out.figures().events, 3u);
  EXPECT_EQ(out.figures().dropped, 4u);
  std::vector<std::string> sent;
  // Refused: nothing taken, nothing forgotten.
  EXPECT_EQ(out.hand_over(10, 5000, [](const std::string&) { return false; }),
            0u);
  EXPECT_EQ(out.hand_over(10, 5000,
                          [&](const std::string& s) {
                            sent.push_back(s);
                            return true;
                          }),
            4u);
  ASSERT_EQ(sent.size(), 4u);
  const auto gap = nlohmann::json::parse(sent[0]);
  EXPECT_EQ(gap["kind"], "gap");
  EXPECT_EQ(gap["dropped"], 4);
  EXPECT_EQ(gap["first"], "1970-01-01T00:00:01.000Z");
  EXPECT_EQ(gap["last"], "1970-01-01T00:00:01.003Z");
  EXPECT_EQ(nlohmann::json::parse(sent[1])["tag_id"], "T4");
  EXPECT_EQ(nlohmann::json::parse(sent[3])["tag_id"], "T6");
  EXPECT_EQ(out.figures().events, 0u);
  EXPECT_EQ(out.figures().sent, 4u);
}

// A batch goes whole or not at all, its gap first; a formatter keeps the
// events it gives no form out of the outbox, and a gap it gives no form
// stays counted in the figures.
TEST(EventOutput, BatchesGoWholeAndTheFormatterChoosesWhatLeaves) {
  const auto arrivals = [](event_output& out, int n) {
    sight_new_tags(out, n);
    out.state_changed({reader_change::connected, "", 2000});
  };
  const derive_options derive{"dock-1", "abc",
                              std::chrono::milliseconds(100000),
                              std::chrono::milliseconds(500)};
  struct case_ {
    const char* name;
    event_formatter format;
    std::vector<std::vector<std::string>> batches;  // of two, then of ten
    std::uint64_t dropped;
  };
  const case_ cases[] = {
      {"event JSON", {}, {{"gap", "T4"}, {"T5", "T6", "connected"}}, 4},
      {"arrivals only",
       [](const event& e) -> std::optional<std::string> {
         if (e.kind != event_kind::arrived) return std::nullopt;
         return e.tag_id;
       },
       {{"T3", "T4"}, {"T5", "T6"}},
       3},
  };
  for (const case_& c : cases) {
    event_output out(derive, {4, 1 << 20}, c.format);
    arrivals(out, 7);
    const std::size_t waiting = out.figures().events;
    const auto brief = [](const std::string& text) {
      const auto j = nlohmann::json::parse(text, nullptr, false);
      if (j.is_discarded()) return text;
      return j["kind"] == "arrived"  ? j["tag_id"].get<std::string>()
             : j["kind"] == "reader" ? j["state"].get<std::string>()
                                     : j["kind"].get<std::string>();
    };
    std::vector<std::vector<std::string>> got;
    const auto take = [&](std::span<const std::string> texts) {
      got.emplace_back();
      for (const auto& t : texts) got.back().push_back(brief(t));
      return true;
    };
    EXPECT_EQ(out.hand_over_batch(
                  10, 5000, [](std::span<const std::string>) { return false; }),
              0u)
        << c.name;
    EXPECT_EQ(out.figures().events, waiting) << c.name;
    out.hand_over_batch(2, 5000, take);
    out.hand_over_batch(10, 5000, take);
    EXPECT_EQ(out.hand_over_batch(10, 5000, take), 0u) << c.name;
    EXPECT_EQ(got, c.batches) << c.name;
    EXPECT_EQ(out.figures().events, 0u) << c.name;
    EXPECT_EQ(out.figures().dropped, c.dropped) << c.name;
  }
}

}  // namespace
}  // namespace tag_service::events
