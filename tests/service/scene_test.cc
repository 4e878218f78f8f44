// The simulated reader's scene: loading scene files and reading write data.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tag_service/model/wire_json.h"
#include "tag_service/model/write_data.h"
#include "tag_service/readers/simulated/scene_file.h"

namespace tag_service {
namespace {

using nlohmann::json;

scene demo() { return load_scene(json::parse(demo_scene_json()), 0); }

TEST(Scene, DemoSceneLoadsAndSurvivesItsOwnFileForm) {
  const scene f = demo();
  EXPECT_EQ(f.formats.size(), 4u);
  EXPECT_EQ(f.items.size(), 12u);
  const scene again = load_scene(scene_json(f), 0);
  EXPECT_EQ(scene_json(again), scene_json(f));
  // Items are secured exactly when one of their tags is.
  EXPECT_TRUE(f.items[1].secured());
  EXPECT_FALSE(f.items[6].secured());  // security asked for, not applied
}

TEST(Scene, FileErrorsNameTheirPlace) {
  const json fmt = {{"id", 1}, {"fields", json::array()}};
  const json tag = {{"id", "T1"}, {"format", 1}};
  struct {
    json scene;
    const char* where;
  } cases[] = {
      {json::array(), "scene is not a JSON object"},
      {{{"format", json::array()}}, "unknown member 'format'"},
      {{{"formats", {fmt, fmt}}}, "formats[1].id repeats"},
      {{{"formats", {{{"description", "x"}}}}}, "formats[0].id is missing"},
      {{{"formats",
         {{{"id", 2}, {"fields", {{{"name", "a"}}, {{"name", "A"}}}}}}}},
       "formats[0].fields[1].name repeats"},
      {{{"formats", {{{"id", 2}, {"fields", {{{"name", "a;b"}}}}}}}},
       "fields[0].name cannot hold"},
      {{{"formats", {{{"id", 2}, {"fields", {{{"name", "c"}, {"type", 3}}}}}}}},
       "fields[0].codes must list"},
      {{{"formats", {{{"id", 2}, {"fields", {{{"name", "n"}, {"type", 4}}}}}}}},
       "fields[0].type must be from 1 to 3"},
      {{{"formats",
         {{{"id", 2},
           {"fields", {{{"name", "n"}, {"minimum", 5}, {"maximum", 1}}}}}}}},
       "minimum above its maximum"},
      {{{"formats", {{{"id", 1.5}}}}}, "formats[0].id is not an integer"},
      {{{"formats", {{{"id", 4294967296ull}}}}}, "out of range"},
      {{{"items", {{{"id", "I"}, {"tags", {tag, tag}}}}}},
       "items[0].tags[1].id repeats"},
      {{{"items", {{{"id", "I"}}, {{"id", "i"}}}}}, "items[1].id repeats"},
      {{{"items", {{{"id", ""}}}}}, "items[0].id is empty"},
      {{{"items", {{{"id", "I"}, {"type", 10}}}}}, "items[0].type must be"},
      {{{"items", {{{"id", "I"}, {"first_seen", "yesterday"}}}}},
       "items[0].first_seen is not a UTC time"},
      {{{"items", {{{"id", "I"}, {"tags", {{{"id", 7}}}}}}}},
       "items[0].tags[0].id is not a text"},
      {{{"items", {{{"id", std::string(200, 'x')}}}}}, "longer than 128"},
  };
  for (const auto& c : cases) {
    try {
      load_scene(c.scene, 0);
      ADD_FAILURE() << "loaded: " << c.scene.dump();
    } catch (const input_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.where), std::string::npos)
          << e.what();
    }
  }
}

TEST(WriteData, BecomesATagOfTheFormat) {
  const scene f = demo();
  struct {
    const char* data;
    std::int32_t format;
    std::vector<std::pair<std::string, std::string>> values;
  } cases[] = {
      {"1:", 1, {}},
      {"1:serial=SN-1", 1, {{"serial", "SN-1"}}},
      // Values come in the format's order; names fold ASCII case.
      {"1:status=R;SERIAL=SN-2;", 1, {{"serial", "SN-2"}, {"status", "R"}}},
      {"1:serial=a\\;b\\=c\\\\d;owner=x=y",
       1,
       {{"serial", "a;b=c\\d"}, {"owner", "x=y"}}},
      {"1:owner=", 1, {{"owner", ""}}},
      {"2:loan_days=+60;title=Ärlighetens pris",
       2,
       {{"title", "Ärlighetens pris"}, {"loan_days", "+60"}}},
      {"3:max_temp=-40;origin=JP", 3, {{"max_temp", "-40"}, {"origin", "JP"}}},
      {"2:loan_days=0", 2, {{"loan_days", "0"}}},
      {"003:batch=日本語", 3, {{"batch", "日本語"}}},
  };
  for (const auto& c : cases) {
    const tag t = parse_write_data(f, c.data);
    EXPECT_EQ(t.format, c.format) << c.data;
    EXPECT_EQ(t.type, find_format(f, c.format)->tag_type) << c.data;
    ASSERT_EQ(t.values.size(), c.values.size()) << c.data;
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      EXPECT_EQ(t.values[i].name, c.values[i].first) << c.data;
      EXPECT_EQ(t.values[i].value, c.values[i].second) << c.data;
    }
  }
  // A code takes its description along; other values have none.
  const tag t = parse_write_data(f, "3:origin=JP;batch=B");
  EXPECT_FALSE(t.values[0].description.has_value());
  EXPECT_EQ(t.values[1].description, "日本");
}

TEST(WriteData, ErrorsSayWhatIsWrong) {
  const scene f = demo();
  struct {
    std::string data;
    const char* error;
  } cases[] = {
      {"", "must start with a format id"},
      {"serial=1", "must start with a format id"},
      {"x:serial=1", "must start with a format id"},
      {"-1:serial=1", "must start with a format id"},
      {"99999999999:serial=1", "must start with a format id"},
      {"9:serial=1", "there is no format 9"},
      {"4:visitor=Zoë", "format 4 (Visitor badge) is disabled"},
      {"1:colour=red",
       "has no field 'colour' (its fields: serial, owner, "
       "status, service_due)"},
      {"1:serial", "field 'serial' has no value"},
      {"1:=x", "has no field name"},
      {"1:serial=a;serial=b", "field 'serial' is given twice"},
      {"1:serial=a\\b", "backslash must be followed"},
      {"1:serial=a\\", "backslash must be followed"},
      {"1:serial=", "takes 1 to 24 characters, not 0"},
      {"1:serial=" + std::string(25, 'x'), "not 25"},
      {"1:service_due=2025-1-1", "takes 10 to 10 characters"},
      {"1:status=X", "takes one of A, M, R, not 'X'"},
      {"1:status=a", "not 'a'"},
      {"2:loan_days=61", "from 0 to 60, not '61'"},
      {"2:loan_days=-1", "from 0 to 60, not '-1'"},
      {"3:max_temp=-41", "from -40 to 30, not '-41'"},
      {"2:loan_days=1.5", "not '1.5'"},
      {"2:loan_days=", "not ''"},
      {"2:loan_days=99999999999999999999", "whole number"},
      {"3:max_temp=--1", "whole number"},
      {"1:serial=" + std::string(5000, 'x'), "longer than 4096 bytes"},
      {"1:owner=a\nItemID=EVIL", "control character (0x0A) at byte 9"},
      {std::string("1:owner=a\0b", 11), "control character (0x00)"},
      {"1:owner=\x1B[2J", "control character (0x1B)"},
      {"1:owner=a\x7F", "control character (0x7F)"},
      {"1:owner=\xC3", "not valid UTF-8"},
  };
  for (const auto& c : cases) {
    try {
      parse_write_data(f, c.data);
      ADD_FAILURE() << "accepted: " << c.data;
    } catch (const input_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
          << c.data << " -> " << e.what();
    }
  }
}

TEST(WriteData, TextLengthCountsCharactersNotBytes) {
  const scene f = demo();
  // 24 characters of two bytes each fit a field of at most 24 characters.
  std::string s;
  for (int i = 0; i < 24; ++i) s += "é";
  EXPECT_NO_THROW(parse_write_data(f, "1:serial=" + s));
  EXPECT_THROW(parse_write_data(f, "1:serial=" + s + "é"), input_error);
}

}  // namespace
}  // namespace tag_service

namespace tag_service {
namespace {

TEST(SceneFile, OnlyARegularFileWithinTheLimitIsRead) {
  const std::string dir = ::testing::TempDir();
  const std::string fifo = dir + "/scene.fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir + "/big.json";
  const std::string fits = dir + "/fits.json";
  for (const auto& [path, size] : {std::pair{big, kMaxSceneFileBytes + 1},
                                   std::pair{fits, std::size_t{2}}}) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs("{}", f);
    std::fclose(f);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
  }
  struct {
    std::string path;
    const char* error;  // "" when it is read
  } cases[] = {
      {dir + "/missing.json", "cannot read"}, {dir, "is not a regular file"},
      {"/dev/zero", "is not a regular file"}, {fifo, "is not a regular file"},
      {big, "is larger than 16777216 bytes"}, {fits, ""},
  };
  for (const auto& c : cases) {
    try {
      const std::string text = read_scene_file(c.path);
      EXPECT_STREQ(c.error, "") << c.path;
      EXPECT_EQ(text, "{}");
    } catch (const input_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
          << c.path << " -> " << e.what();
      EXPECT_NE(*c.error, 0) << c.path << " -> " << e.what();
    }
  }
  ::unlink(fifo.c_str());
  ::unlink(big.c_str());
}

}  // namespace
}  // namespace tag_service
