// The session library's result objects, built from the service's answers.
#include "qel/result_objects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/utf.h"
#include "qel/reading_decoder.h"

namespace rfid_qel {
namespace {

using nlohmann::json;

TEST(Objects, ReadingKeepsTheContractsPromises) {
  heap_meter meter;
  const json answer = {
      {"items",
       {{{"id", "I1"},
         {"type", 12},  // no name for it on the client's side
         {"first_seen", "1601-01-01T00:00:00.0000001Z"},
         {"tags",
          {{{"id", "T\xC3\xA9"},
            {"type", -1},
            {"format", 3},
            {"values",
             {{{"name", "a"}, {"value", "1"}},
              {{"name", "b"}, {"value", "2"}, {"description", ""}},
              {{"name", "c"}, {"description", "x"}}}}}}}},
        {{"id", "I2"}, {"type", 7}, {"valid", false}}}}};
  std::string why;
  item_list_impl* list = decode_reading(answer.dump(), meter, why).release();
  ASSERT_NE(list, nullptr) << why;
  const std::uint32_t held = meter.bytes();
  EXPECT_GT(held, 0u);
  ASSERT_EQ(list->count(), 2u);
  EXPECT_EQ(list->item(2), nullptr);
  IRfidItem* i1 = list->item(0);
  EXPECT_EQ(i1->type(), kUnknownType);
  EXPECT_EQ(filetime_value(*i1->firstSeen()), 1u);
  EXPECT_TRUE(i1->valid());
  IRfidTag* t = i1->tags()->item(0);
  EXPECT_EQ(std::u16string(t->id()), u"T\u00e9");
  EXPECT_EQ(t->type(), kUnknownType);
  EXPECT_EQ(t->format(), 3);
  EXPECT_EQ(filetime_value(*t->firstSeen()), 0u);
  IRfidFieldValueList* values = t->fieldValues();
  ASSERT_EQ(values->count(), 3u);
  // No description is null; an empty one is an empty text.
  EXPECT_EQ(values->item(0)->valueDescription(), nullptr);
  ASSERT_NE(values->item(1)->valueDescription(), nullptr);
  EXPECT_EQ(std::u16string(values->item(1)->valueDescription()), u"");
  EXPECT_EQ(std::u16string(values->item(2)->value()), u"");
  t->release();  // a reading's tag is not the client's to release
  EXPECT_EQ(list->item(1)->type(), 7);
  EXPECT_FALSE(list->item(1)->valid());
  EXPECT_EQ(list->item(1)->tags()->count(), 0u);
  EXPECT_EQ(meter.bytes(), held);
  list->release();
  EXPECT_EQ(meter.bytes(), 0u);
}

TEST(Objects, AnswersThatBreakTheProtocolAreRefused) {
  heap_meter meter;
  const json bad[] = {
      json::array(),
      {{"items", 5}},
      {{"items", {7}}},
      {{"items", {{{"type", 1}}}}},
      {{"items", {{{"id", 5}}}}},
      {{"items", {{{"id", "I"}, {"valid", 1}}}}},
      {{"items", {{{"id", "I"}, {"type", 1.5}}}}},
      {{"items", {{{"id", "I"}, {"type", 4294967296ull}}}}},
      {{"items", {{{"id", "I"}, {"first_seen", 0}}}}},
      {{"items", {{{"id", "I"}, {"first_seen", "2024-02-30T00:00:00Z"}}}}},
      {{"items", {{{"id", "I"}, {"tags", {{{"id", ""}}}}}}}},
      {{"items",
        {{{"id", "I"},
          {"tags", {{{"id", "T"}, {"values", {{{"value", "v"}}}}}}}}}}},
  };
  for (const json& j : bad) {
    std::string why;
    EXPECT_EQ(decode_reading(j.dump(), meter, why), nullptr) << j.dump();
    EXPECT_FALSE(why.empty()) << j.dump();
    EXPECT_EQ(meter.bytes(), 0u) << j.dump();
  }
}

}  // namespace
}  // namespace rfid_qel

namespace rfid_qel {
namespace {

TEST(ObjectStore, TextsKeepTheirPlacesAcrossLargeAndSmallBlocks) {
  // A store told to expect some megabytes takes large blocks up to there,
  // then small ones; a wrong guess costs at most one large page.
  const struct {
    std::size_t expected;
    std::size_t texts;
  } cases[] = {{0, 2000}, {3u << 20, 20000}, {64u << 20, 20000}};
  const std::string filler = " \xC3\xA9" + std::string(100, 'x');
  const std::u16string filler16 = korvo::utf8_to_utf16(filler);
  for (const auto& c : cases) {
    object_store store;
    store.expect(c.expected);
    std::vector<const char16_t*> added;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < c.texts; ++i) {
      const std::string text = std::to_string(i) + filler;
      added.push_back(store.add_text(text));
      bytes += (text.size() + 1) * sizeof(char16_t);
    }
    for (std::size_t i = 0; i < c.texts; ++i) {
      ASSERT_EQ(std::u16string(added[i]),
                korvo::utf8_to_utf16(std::to_string(i)) + filler16)
          << i;
    }
    EXPECT_GE(store.footprint(), bytes / 2);
    EXPECT_LE(store.footprint(), bytes + (2u << 20) + (64u << 10));
  }
}

}  // namespace
}  // namespace rfid_qel
