// Decoding readings and created tags from the service's JSON text: what is
// refused (and why), and what is accepted although unusual.
#include "qel/reading_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/utf.h"

namespace rfid_qel {
namespace {

// An answer holding one item whose one tag has the given members (JSON text
// without braces) and one value {"name": "n"}.
std::string with_tag(const std::string& members) {
  return R"({"items": [{"id": "I", "tags": [{"id": "T", )" + members +
         R"(, "values": [{"name": "n"}]}]}]})";
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(ReadingDecoder, AnswersOutsideTheProtocolAreRefusedWithTheirReason) {
  const struct {
    std::string answer;
    const char* reason;  // a part of the reason given
  } cases[] = {
      // Not JSON, or not all of it.
      {"", "not well-formed JSON (at byte 1"},
      {R"({"items": [{"id": "I", "tags": [{"id")", "not well-formed JSON"},
      {R"({"items": [])", "not well-formed JSON"},
      {R"({"items": []} {})", "not well-formed JSON"},
      {R"({"items": [{"id": "I",}]})", "not well-formed JSON"},
      {std::string(100000, '['), "the answer is not a JSON object"},
      {R"({"x": )" + nested(57) + "]}", "not well-formed JSON"},
      // Nesting beyond the limit, well-formed or not, is refused as such.
      {R"({"x": )" + std::string(100000, '['), "nests deeper than 64 levels"},
      {R"({"x": )" + nested(58) + "}", "nests deeper than 64 levels"},
      {R"({"items": [{"id": "I", "tags": [{"id": "T", "x": )" + nested(100000) +
           "}]}]}",
       "nests deeper than 64 levels"},
      // More objects than a reading may hold.
      {R"({"items": [{"id": "I", "tags": [{"id": "T", "values": [)" +
           [] {
             std::string v;
             for (int i = 0; i < 200001; ++i) v += R"({"name":"n"},)";
             v.pop_back();
             return v;
           }() +
           "]}]}]}",
       "holds more than 200000 items, tags and field values"},
      // Texts that are not UTF-8, or escapes of lone surrogates.
      {"{\"items\": [{\"id\": \"I\xFF\"}]}", "ill-formed UTF-8"},
      {"{\"items\": [{\"id\": \"\xC0\xAF\"}]}", "ill-formed UTF-8"},
      {"{\"items\": [{\"id\": \"\xED\xA0\x80\"}]}", "ill-formed UTF-8"},
      {"{\"items\": [{\"id\": \"ab\xE2\x82\"}]}", "ill-formed UTF-8"},
      {R"({"items": [{"id": "\ud800"}]})", "surrogate"},
      {R"({"items": [{"id": "\udc00x"}]})", "surrogate"},
      // Numbers beyond what the parser or a 32-bit member can hold.
      {R"({"items": [{"id": "I", "type": 1e999}]})", "overflow"},
      {R"({"items": [{"id": "I", "type": 123456789012345678901234567890}]})",
       "'type' is not a 32-bit integer"},
      {R"({"items": [{"id": "I", "type": 2147483648}]})",
       "'type' is not a 32-bit integer"},
      {R"({"items": [{"id": "I", "type": -2147483649}]})",
       "'type' is not a 32-bit integer"},
      {R"({"items": [{"id": "I", "type": 1.0}]})",
       "'type' is not a 32-bit integer"},
      {with_tag(R"("format": 18446744073709551616)"),
       "'format' is not a 32-bit integer"},
      // The wrong shape.
      {"[]", "the answer is not a JSON object"},
      {R"("items")", "the answer is not a JSON object"},
      {R"({"items": 5})", "'items' is not a list"},
      {R"({"items": {}})", "'items' is not a list"},
      {R"({"items": [null]})", "an item is not a JSON object"},
      {R"({"items": [[]]})", "an item is not a JSON object"},
      {R"({"items": [{"id": "I", "tags": [7]}]})",
       "a tag is not a JSON object"},
      {R"({"items": [{"id": "I", "tags": [{"id": "T", "values": ["v"]}]}]})",
       "a field value is not a JSON object"},
      {R"({"items": [{"id": "I", "tags": [)" + nested(5000) + "]}]}",
       "a tag is not a JSON object"},
      {R"({"items": [{"id": "I", "tags": {"id": "T"}}]})",
       "'tags' is not a list"},
      {with_tag(R"("values": "none")"), "'values' is not a list"},
      // Members of the wrong type.
      {R"({"items": [{"id": 5}]})", "'id' is not a text"},
      {R"({"items": [{"id": ["I"]}]})", "'id' is not a text"},
      {R"({"items": [{"id": "I", "valid": 1}]})", "'valid' is not true"},
      {R"({"items": [{"id": "I", "secured": "no"}]})", "'secured' is not true"},
      {R"({"items": [{"id": "I", "type": "1"}]})", "'type' is not a 32-bit"},
      {R"({"items": [{"id": "I", "first_seen": 0}]})", "'first_seen' is not"},
      {R"({"items": [{"id": "I", "first_seen": "2024-02-30T00:00:00Z"}]})",
       "'first_seen' is not a UTC time"},
      {with_tag(R"("security": {})"), "'security' is not true or false"},
      {with_tag(R"("format": true)"), "'format' is not a 32-bit integer"},
      {R"({"items": [{"id": "I", "tags": [{"id": "T", "values":
          [{"name": "n", "description": 5}]}]}]})",
       "'description' is not a text"},
      {R"({"items": [{"id": "I", "tags": [{"id": "T", "values":
          [{"name": {}, "value": "v"}]}]}]})",
       "'name' is not a text"},
      // Required members missing, or null (which counts as absent).
      {R"({"items": [{"type": 1}]})", "'id' is missing"},
      {R"({"items": [{"id": "I", "id": null}]})", "'id' is missing"},
      {R"({"items": [{"id": "I", "tags": [{"format": 1}]}]})",
       "'id' is missing"},
      {R"({"items": [{"id": "I", "tags": [{"id": ""}]}]})",
       "a tag has an empty 'id'"},
      {R"({"items": [{"id": "I", "tags": [{"id": "T", "values":
          [{"value": "v"}]}]}]})",
       "'name' is missing"},
  };
  for (const auto& c : cases) {
    heap_meter meter;
    std::string why;
    EXPECT_EQ(decode_reading(c.answer, meter, why), nullptr)
        << c.answer.substr(0, 200);
    EXPECT_NE(why.find(c.reason), std::string::npos)
        << c.answer.substr(0, 200) << "\n  gave: " << why;
    EXPECT_LT(why.size(), 300u) << why;
    EXPECT_EQ(meter.bytes(), 0u);
  }
}

TEST(ReadingDecoder, UnknownMembersAreSkippedAndTheLastOfTwinsCounts) {
  const std::string deep = nested(57);
  const struct {
    std::string answer;
    std::uint32_t items;
    const char16_t* first_id;
    std::int32_t first_type;
    std::uint32_t first_tags;
  } cases[] = {
      {R"({})", 0, nullptr, 0, 0},
      {R"({"items": null})", 0, nullptr, 0, 0},
      {R"({"extra": {"items": [1]}, "items": []})", 0, nullptr, 0, 0},
      {R"({"x": )" + deep + R"(, "items": [{"id": "I", "y": )" + deep + "}]}",
       1, u"I", 9, 0},
      {R"({"items": [{"id": "A", "id": "B", "type": 3, "type": null}]})", 1,
       u"B", 9, 0},
      {R"({"items": [{"id": "I", "type": 3, "tags": [{"id": "T"}],
          "tags": []}]})",
       1, u"I", 3, 0},
      {R"({"items": [{"id": "I", "tags": null}], "items": [{"id": "J",
          "type": -0, "tags": [{"id": "T", "tag": 1}, {"id": "U"}]}]})",
       1, u"J", 0, 2},
      {"{\"items\": [{\"id\": \"\\u00e9\\ud83d\\ude00\xE6\x9D\xB1\"}]}", 1,
       u"\u00e9\U0001F600\u6771", 9, 0},
      // Control characters, NUL included, each become one U+FFFD.
      {R"({"items": [{"id": "a\u0000b\nc\u001b[2J\u007f\t"}]})", 1,
       u"a\uFFFDb\uFFFDc\uFFFD[2J\uFFFD\uFFFD", 9, 0},
  };
  for (const auto& c : cases) {
    heap_meter meter;
    std::string why;
    auto list = decode_reading(c.answer, meter, why);
    ASSERT_NE(list, nullptr) << c.answer.substr(0, 200) << ": " << why;
    ASSERT_EQ(list->count(), c.items);
    if (c.items == 0) continue;
    IRfidItem* item = list->item(0);
    EXPECT_EQ(std::u16string(item->id()), c.first_id);
    EXPECT_EQ(item->type(), c.first_type);
    EXPECT_EQ(item->tags()->count(), c.first_tags);
    for (std::uint32_t i = 0; i < c.first_tags; ++i) {
      EXPECT_EQ(item->tags()->item(i)->fieldValues()->count(), 0u);
    }
    EXPECT_GT(meter.bytes(), 0u);
  }
}

TEST(ReadingDecoder, LongTextsAndManyObjectsKeepTheirPlaces) {
  // Texts larger than a block, and enough objects for many blocks: every
  // text handed out must still read as written once the whole answer is in.
  std::string answer = R"({"items": [)";
  const std::string big(70000, 'x');
  for (int i = 0; i < 3000; ++i) {
    if (i > 0) answer += ',';
    answer += R"({"id": "I)" + std::to_string(i) + R"(", "tags": [{"id": ")" +
              (i % 1000 == 0 ? big : "T" + std::to_string(i)) +
              R"(", "values": [{"name": "n", "value": "v)" + std::to_string(i) +
              R"(", "description": "d"}, {"name": "m"}]}]})";
  }
  answer += "]}";
  heap_meter meter;
  std::string why;
  auto list = decode_reading(answer, meter, why);
  ASSERT_NE(list, nullptr) << why;
  ASSERT_EQ(list->count(), 3000u);
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const std::u16string n = korvo::utf8_to_utf16(std::to_string(i));
    IRfidTag* tag = list->item(i)->tags()->item(0);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(std::u16string(list->item(i)->id()), u"I" + n);
    EXPECT_EQ(std::u16string(tag->id()),
              i % 1000 == 0 ? std::u16string(70000, u'x') : u"T" + n);
    IRfidFieldValueList* values = tag->fieldValues();
    ASSERT_EQ(values->count(), 2u);
    EXPECT_EQ(values->item(2), nullptr);
    EXPECT_EQ(std::u16string(values->item(0)->value()), u"v" + n);
    EXPECT_EQ(std::u16string(values->item(0)->valueDescription()), u"d");
    EXPECT_EQ(std::u16string(values->item(1)->value()), u"");
    EXPECT_EQ(values->item(1)->valueDescription(), nullptr);
  }
  // The figure counts the store's blocks: at least the texts' units.
  EXPECT_GT(meter.bytes(), 3 * 70000u * sizeof(char16_t));
  EXPECT_LT(meter.bytes(), answer.size() * 3);
  list.reset();
  EXPECT_EQ(meter.bytes(), 0u);
}

TEST(ReadingDecoder, CreatedTagsNeedATag) {
  const struct {
    const char* answer;
    const char* reason;  // empty: accepted
  } cases[] = {
      {R"({"tag": {"id": "T", "format": 2}})", ""},
      {R"({"items": [], "tag": {"id": "T"}, "x": [1]})", ""},
      {R"({})", "'tag' is missing"},
      {R"({"tag": null})", "'tag' is missing"},
      {R"({"tag": {"id": "T"}, "tag": null})", "'tag' is missing"},
      {R"({"tag": [{"id": "T"}]})", "a tag is not a JSON object"},
      {R"({"tag": "T"})", "a tag is not a JSON object"},
      {R"({"tag": {"id": ""}})", "a tag has an empty 'id'"},
      {R"({"tag": {"id": "T", "secured": 0}})", "'secured' is not true"},
      {R"({"tag": {"id": "T"})", "not well-formed JSON"},
  };
  for (const auto& c : cases) {
    created_tag_holder holder;
    std::string why;
    const bool ok = decode_created_tag(c.answer, nullptr, holder, why);
    if (*c.reason == 0) {
      ASSERT_TRUE(ok) << c.answer << ": " << why;
      EXPECT_EQ(std::u16string(holder.tag->id()), u"T");
      EXPECT_GT(holder.footprint(), sizeof(tag_impl));
      // Small: a created tag does not take a reading's block size.
      EXPECT_LT(holder.footprint(), 2048u);
    } else {
      EXPECT_FALSE(ok) << c.answer;
      EXPECT_EQ(holder.tag, nullptr);
      EXPECT_NE(why.find(c.reason), std::string::npos)
          << c.answer << " gave: " << why;
    }
  }
}

}  // namespace
}  // namespace rfid_qel
