#include "driver/options.h"

#include <gtest/gtest.h>

namespace korvo {
namespace {

run_options parse(std::vector<std::u16string> args) {
  args.insert(args.begin(), u"korvo");
  static std::vector<std::u16string> keep;  // options point into the args
  keep = std::move(args);
  return parse_arguments(keep, kDefaultLibraryPath);
}

std::u16string str(const char16_t* t) { return t ? t : u"<none>"; }

TEST(ParseArguments, FlagsAndKeywordCase) {
  run_options o = parse({u"PRINT", u"Formats", u"heap", u"disconnect",
                         u"compact", u"header", u"pause", u"aSyNc"});
  EXPECT_TRUE(o.print && o.formats && o.heap && o.disconnect && o.compact &&
              o.header && o.pause && o.async);
  EXPECT_FALSE(o.stop);
  EXPECT_TRUE(o.has_work());
}

TEST(ParseArguments, ValueKeywordsTakeTheNextArgumentVerbatim) {
  run_options o = parse({u"host", u"print", u"addr", u"", u"write", u"",
                         u"flt", u"E2001", u"dll", u"x.kzm"});
  EXPECT_EQ(str(o.host), u"print");
  EXPECT_FALSE(o.print);
  EXPECT_EQ(str(o.service_url), u"");
  EXPECT_EQ(str(o.write_data), u"");
  EXPECT_EQ(o.filter, u"E2001");
  EXPECT_EQ(str(o.library_path), u"x.kzm");
  EXPECT_FALSE(o.stop);
  EXPECT_TRUE(o.has_work());  // an empty write value still asks for a write
}

TEST(ParseArguments, LastOfSetAndClrDecidesBoth) {
  run_options o = parse({u"set", u"A1", u"clr", u"B2", u"print"});
  EXPECT_EQ(str(o.tag_id), u"B2");
  EXPECT_FALSE(o.secure);
  o = parse({u"clr", u"B2", u"set", u"A1"});
  EXPECT_EQ(str(o.tag_id), u"A1");
  EXPECT_TRUE(o.secure);
}

TEST(ParseArguments, StopsAtTheFirstUnrecognizedArgument) {
  run_options o = parse({u"print", u"bogus", u"formats"});
  EXPECT_TRUE(o.stop);
  EXPECT_FALSE(o.formats);
  EXPECT_FALSE(o.has_work());

  o = parse({u"print", u"host"});  // a value keyword without its value
  EXPECT_TRUE(o.stop);
  EXPECT_EQ(str(o.host), u"127.0.0.1");
  EXPECT_FALSE(o.has_work());

  o = parse({u"pr\u0130nt"});  // only ASCII letters fold
  EXPECT_TRUE(o.stop);
}

TEST(ParseArguments, OnlySomeKeywordsMakeWork) {
  EXPECT_FALSE(parse({}).has_work());
  EXPECT_FALSE(parse({u"compact", u"header", u"heap", u"disconnect", u"pause",
                      u"async", u"host", u"h", u"addr", u"a", u"flt", u"f",
                      u"dll", u"d"})
                   .has_work());
  EXPECT_TRUE(parse({u"formats"}).has_work());
  EXPECT_TRUE(parse({u"set", u"T"}).has_work());
  EXPECT_TRUE(parse({u"clr", u"T"}).has_work());
}

TEST(ParseArguments, DllOverridesTheInitialLibrary) {
  std::vector<std::u16string> args = {u"korvo", u"print"};
  EXPECT_EQ(str(parse_arguments(args, kSubfolderLibraryPath).library_path),
            u"kzm/rfid_qel.kzm");
  args = {u"korvo", u"print", u"dll", u"mine.kzm"};
  EXPECT_EQ(str(parse_arguments(args, kSubfolderLibraryPath).library_path),
            u"mine.kzm");
}

TEST(BuildServiceUrl, BuildsFromHostOrTakesAddrWhole) {
  struct {
    std::vector<std::u16string> args;
    std::u16string url;
  } cases[] = {
      {{u"print"}, u"http://127.0.0.1:21645/TagService"},
      {{u"host", u"10.0.0.5"}, u"http://10.0.0.5:21645/TagService"},
      {{u"host", u""}, u"http://:21645/TagService"},
      {{u"host", u"10.0.0.5", u"addr", u"https://svc/x"}, u"https://svc/x"},
      {{u"addr", u"", u"host", u"10.0.0.5"}, u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(build_service_url(parse(c.args)), c.url);
  }
}

}  // namespace
}  // namespace korvo
