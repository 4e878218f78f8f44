// The run sequence seen from outside: the fixed order of the stages whatever
// the keyword order, the error flag that gates them, the lines each stage
// prints, the pause, and the exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>

#include "tests/e2e/harness.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;
using lines = std::vector<std::string>;

const char kOpen[] = "openService http://127.0.0.1:21645/TagService";

// Elapsed times vary; the tests compare them as "Nms".
std::string mask_times(const std::string& out) {
  return std::regex_replace(out, std::regex(R"(: \d+ms\n)"), ": Nms\n");
}

json fail(const std::string& op, int status, const char* message = "boom") {
  return {{"fail", {{op, {{"status", status}, {"message", message}}}}}};
}

TEST(RunSequence, StagesRunInFixedOrderWhateverTheKeywordOrder) {
  const lines want_calls = {"create 2",
                            kOpen,
                            "getTagFormats",
                            "connectReader",
                            "createTag D1",
                            "writeTag NEWTAG",
                            "release tag NEWTAG",
                            "setTagSecurity T1 1",
                            "readItems",
                            "release items",
                            "disconnectReader",
                            "closeSession"};
  const std::string want_out =
      "Tag 'NEWTAG' written.\n"
      "Elapsed (write): Nms\n"
      "Tag 'T1' security set.\n"
      "Elapsed (secure): Nms\n"
      "Elapsed (read): Nms\n"
      "\nPress Enter to exit!\n"
      "HEAP_PROPERTY_ACTUAL_SIZE=321\n";
  const std::vector<lines> orders = {
      {"formats", "write", "D1", "set", "T1", "print", "pause", "heap",
       "disconnect"},
      {"disconnect", "heap", "pause", "print", "set", "T1", "write", "D1",
       "formats"},
      {"print", "disconnect", "set", "T1", "heap", "formats", "pause", "write",
       "D1"},
  };
  for (const lines& args : orders) {
    korvo_run run;
    run.args = args;
    run.scenario = {{"heap", 321}};
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(mask_times(r.out), want_out) << args[0];
    EXPECT_EQ(r.calls(), want_calls) << args[0];
  }
}

TEST(RunSequence, NegativeFailureStopsLaterStagesButNotTheEnd) {
  // Each stage failing with a negative status: its error line, no later
  // guarded stage, the heap line, disconnect and close still run, exit 1.
  const lines args = {"formats", "write", "D", "clr", "T", "print", "pause",
                      "heap", "disconnect"};
  struct {
    std::string op;
    std::string out;
    lines calls;
  } cases[] = {
      {"getTagFormats", "getTagFormats: boom\n", {"getTagFormats"}},
      {"connectReader", "connectReader: boom\n",
       {"getTagFormats", "connectReader"}},
      {"createTag", "createTag: boom\nElapsed (write): Nms\n",
       {"getTagFormats", "connectReader", "createTag D"}},
      {"writeTag", "writeTag: boom\nElapsed (write): Nms\n",
       {"getTagFormats", "connectReader", "createTag D", "writeTag NEWTAG",
        "release tag NEWTAG"}},
      {"setTagSecurity",
       "Tag 'NEWTAG' written.\nElapsed (write): Nms\n"
       "setTagSecurity: boom\nElapsed (secure): Nms\n",
       {"getTagFormats", "connectReader", "createTag D", "writeTag NEWTAG",
        "release tag NEWTAG", "setTagSecurity T 0"}},
      {"readItems",
       "Tag 'NEWTAG' written.\nElapsed (write): Nms\n"
       "Tag 'T' security cleared.\nElapsed (secure): Nms\n"
       "Elapsed (read): Nms\nreadItems: boom\n",
       {"getTagFormats", "connectReader", "createTag D", "writeTag NEWTAG",
        "release tag NEWTAG", "setTagSecurity T 0", "readItems"}},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = args;
    run.scenario = fail(c.op, -3);
    run.scenario["heap"] = 9;
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, 1) << c.op;
    EXPECT_EQ(mask_times(r.out), c.out + "HEAP_PROPERTY_ACTUAL_SIZE=9\n")
        << c.op;
    lines want = {"create 2", kOpen};
    want.insert(want.end(), c.calls.begin(), c.calls.end());
    want.push_back("disconnectReader");
    want.push_back("closeSession");
    EXPECT_EQ(r.calls(), want) << c.op;
  }
}

TEST(RunSequence, NonNegativeFailurePrintsNothingAndRunsOn) {
  const lines args = {"formats", "write", "D", "set", "T", "print"};
  for (const std::string op :
       {"getTagFormats", "connectReader", "writeTag", "setTagSecurity",
        "readItems"}) {
    korvo_run run;
    run.args = args;
    run.scenario = fail(op, 0, "not really");
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, 0) << op;
    EXPECT_EQ(r.out.find("not really"), std::string::npos) << op;
    EXPECT_EQ(r.calls().back(), "closeSession") << op;
    // Every later stage still ran.
    EXPECT_NE(std::find(r.log.begin(), r.log.end(), "setTagSecurity T 1"),
              r.log.end())
        << op;
  }
}

TEST(RunSequence, CreateTagWithoutTagAndNonNegativeStatusWritesNothing) {
  korvo_run run;
  run.args = {"write", "D", "set", "T", "print"};
  run.scenario = fail("createTag", 1, "odd");
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(mask_times(r.out),
            "Elapsed (write): Nms\n"
            "Tag 'T' security set.\nElapsed (secure): Nms\n"
            "Elapsed (read): Nms\n");
  EXPECT_EQ(r.calls(), (lines{"create 2", kOpen, "connectReader",
                              "createTag D", "setTagSecurity T 1", "readItems",
                              "release items", "closeSession"}));
}

TEST(RunSequence, FormatFailureMeansNoConnectAndNoReading) {
  korvo_run run;
  run.args = {"formats", "print"};
  run.scenario = fail("getTagFormats", -2, "formats unavailable");
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "getTagFormats: formats unavailable\n");
  EXPECT_EQ(r.calls(),
            (lines{"create 2", kOpen, "getTagFormats", "closeSession"}));
}

TEST(RunSequence, FormatsAloneNeverConnectsButDisconnectsWhenAsked) {
  korvo_run run;
  run.args = {"formats", "disconnect"};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.calls(), (lines{"create 2", kOpen, "getTagFormats",
                              "disconnectReader", "closeSession"}));
}

TEST(RunSequence, ConnectFailureSkipsPauseButKeepsHeap) {
  korvo_run run;
  run.args = {"print", "pause", "heap"};
  run.scenario = fail("connectReader", -7, "reader offline");
  run.scenario["heap"] = 4096;
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "connectReader: reader offline\nHEAP_PROPERTY_ACTUAL_SIZE=4096\n");
}

TEST(RunSequence, PauseShowsItsPromptBeforeWaitingForInput) {
  korvo_run run;
  run.args = {"print", "pause"};
  run.input = "\n";
  run.input_after = "Press Enter to exit!\n";
  run.timeout_ms = 10000;
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(mask_times(r.out), "Elapsed (read): Nms\n\nPress Enter to exit!\n");
}

TEST(RunSequence, PauseGoesOnAtEndOfInput) {
  korvo_run run;
  run.args = {"print", "pause"};
  run.timeout_ms = 10000;
  const korvo_result r = run_korvo(run);  // input is closed at once
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.calls().back(), "closeSession");
}

// Runs "print pause" with standard input from a file holding input, and
// returns what korvo left unread: korvo and a cat after it share one open
// file description, so what korvo did not take is what cat prints.
std::string left_after_pause(const std::string& input) {
  const std::string dir = make_temp_dir();
  std::ofstream(dir + "/input") << input;
  const std::string cmd = "(" + std::string(KORVO_BINARY) +
                          " print pause dll " FAKE_SESSION_LIBRARY
                          " >/dev/null; cat > " + dir + "/rest) < " + dir +
                          "/input";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream f(dir + "/rest");
  return std::string((std::istreambuf_iterator<char>(f)),
                     std::istreambuf_iterator<char>());
}

TEST(RunSequence, PauseTakesOneLineOfAtMostFifteenBytes) {
  EXPECT_EQ(left_after_pause("0123456789ABCDEFGHIJ\nnext line\n"),
            "FGHIJ\nnext line\n");
  EXPECT_EQ(left_after_pause("ok\nnext line\n"), "next line\n");
  EXPECT_EQ(left_after_pause("0123456789ABCD\nnext\n"), "next\n");
}

TEST(RunSequence, LostOutputIsNotSuccess) {
  // Writing to a full device fails: a run that would end with 0 ends with 1
  // and says why on standard error; 1 and 2 keep their codes.
  struct {
    lines args;
    json scenario;
    int code;
  } cases[] = {
      {{"print"}, json::object(), 1},
      {{"print"}, fail("readItems", -1), 1},
      {{"bogus"}, json::object(), 2},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = c.args;
    run.scenario = c.scenario;
    run.stdout_path = "/dev/full";
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, c.code) << c.args[0];
    EXPECT_NE(r.err.find("cannot write standard output"), std::string::npos)
        << c.args[0];
  }
}

TEST(RunSequence, LinesPrintedBeforeAWaitSurviveAKill) {
  // The session takes long in one call (a service that does not answer) and
  // korvo is stopped by SIGTERM once the lines printed before that call have
  // arrived. Each case's text is all korvo prints before the wait.
  const json formats = {{{"id", 1}}};
  const std::string format_line =
      "FormatId=1 IsEnabled=1 Description='' Markets='' Usages='' "
      "Ordinal=0\n";
  const json items = {{{"id", "I"}}};
  const std::string reading =
      "Elapsed (read): Nms\nItem[0]\n  Id=I Valid=1 Secured=0 Type=Blank\n"
      "  FirstSeen=1601/01/01 00:00:00\n";
  const std::string written = "Tag 'NEWTAG' written.\nElapsed (write): Nms\n";
  const std::string secured = "Tag 'T' security set.\nElapsed (secure): Nms\n";
  struct {
    lines args;
    std::string waits_in;  // the call that takes long
    json async;            // a notice that takes long instead
    std::string printed;
  } cases[] = {
      {{"formats", "print"}, "connectReader", nullptr, format_line},
      {{"formats", "write", "D"}, "createTag", nullptr, format_line},
      {{"write", "D", "set", "T"}, "setTagSecurity", nullptr, written},
      {{"set", "T", "print"}, "readItems", nullptr, secured},
      {{"print", "disconnect"}, "disconnectReader", nullptr, reading},
      {{"print"}, "closeSession", nullptr, reading},
      {{"formats", "write", "D", "async"},
       "writeTagAsync",
       {{"writeTagAsync", {{"delivery", "delayed"}, {"delay_ms", 60000}}}},
       format_line},
      {{"set", "T", "print", "async"},
       "readItemsAsync",
       {{"readItemsAsync", {{"delivery", "delayed"}, {"delay_ms", 60000}}}},
       secured},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.waits_in);
    korvo_run run;
    run.args = c.args;
    run.scenario = {{"formats", formats}, {"items", items}};
    if (c.async.is_null()) {
      run.scenario["sleep_ms"] = {{c.waits_in, 60000}};
    } else {
      run.scenario["async"] = c.async;
    }
    const std::string last_line =
        c.printed.substr(c.printed.rfind('\n', c.printed.size() - 2) + 1);
    run.term_after = last_line.substr(0, last_line.find("Nms"));
    run.timeout_ms = 10000;
    const korvo_result r = run_korvo(run);
    // The call takes a minute and the run 10 s at most: the lines came out
    // before it, or never. (SIGTERM may land just before the call.)
    EXPECT_EQ(r.signal, SIGTERM) << "not stopped while it waited";
    EXPECT_EQ(mask_times(r.out), c.printed);
  }
}

TEST(RunSequence, ClosedPipeStopsWritingButEverySessionCallHappens) {
  // A reading far larger than a pipe holds, into a pipe nobody reads: korvo
  // is not killed, says nothing (the reader left on purpose), ends with 1
  // instead of 0 and still releases the list, asks for the heap figure,
  // disconnects and closes. 1 and 2 keep their codes.
  json items = json::array();
  for (int i = 0; i < 3000; ++i) {
    items.push_back({{"id", "ITEM-" + std::to_string(i)},
                     {"tags", {{{"id", "TAG-" + std::to_string(i)}}}}});
  }
  struct {
    lines args;
    json scenario;
    int code;
    lines calls;
  } cases[] = {
      {{"print", "heap", "disconnect"},
       {{"items", items}},
       1,
       {"create 2", kOpen, "connectReader", "readItems", "release items",
        "disconnectReader", "closeSession"}},
      {{"formats", "print", "heap", "disconnect"},
       fail("getTagFormats", -1),
       1,
       {"create 2", kOpen, "getTagFormats", "disconnectReader",
        "closeSession"}},
      {{"bogus"}, json::object(), 2, {}},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = c.args;
    run.scenario = c.scenario;
    run.close_stdout = true;
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, c.code) << c.args[0];
    EXPECT_EQ(r.err, "") << c.args[0];
    EXPECT_EQ(r.calls(), c.calls) << c.args[0];
    const bool heap_asked =
        std::find(r.log.begin(), r.log.end(), "getHeapSize") != r.log.end();
    EXPECT_EQ(heap_asked, c.code == 1) << c.args[0];
  }
}

TEST(RunSequence, SecurityFailureKeepsTheFilterAndSkipsReading) {
  korvo_run run;
  run.args = {"set", "T9", "print", "flt", "X"};
  run.scenario = fail("setTagSecurity", -1, "unknown tag");
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(mask_times(r.out),
            "setTagSecurity: unknown tag\nElapsed (secure): Nms\n");
}

// Two items; the written tag's id is the one the session gave it.
json reading_with(const std::string& written_id) {
  return {{"created_tag", {{"id", written_id}}},
          {"items",
           {{{"id", "I0"}, {"tags", {{{"id", "T1"}}, {{"id", "T2"}}}}},
            {{"id", "I1"}, {"tags", {{{"id", written_id}}}}}}}};
}

TEST(RunSequence, ReadingFollowsTheWrittenOrChangedTag) {
  struct {
    lines args;
    std::string stage_lines;
    std::string item;
    std::string tag;
  } cases[] = {
      // The id the session gave the written tag replaces the filter.
      {{"print", "compact", "write", "DATA", "flt", "T1"},
       "Tag 'E2NEW' written.\nElapsed (write): Nms\n", "I1", "E2NEW"},
      // The security tag replaces the filter and matches ignoring ASCII case.
      {{"set", "t1", "print", "compact", "flt", "T2"},
       "Tag 't1' security set.\nElapsed (secure): Nms\n", "I0", "T1"},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = c.args;
    run.scenario = reading_with("E2NEW");
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(mask_times(r.out),
              c.stage_lines + "Elapsed (read): Nms\n" + "ItemID=" + c.item +
                  "/ItemValid=1/ItemSecured=0/ItemType=Blank/"
                  "ItemFirstSeen=16010101000000\n"
                  "/TagId=" + c.tag +
                  "/TagFormat=0/TagType=Blank/TagSecured=0/"
                  "TagSecurity=0/TagFirstSeen=16010101000000\n")
        << c.args[0];
  }
}

TEST(RunSequence, FailedWriteLeavesTheFilterUnused) {
  // The write fails (negative): no reading at all, whatever the filter.
  korvo_run run;
  run.args = {"write", "DATA", "print", "flt", "T2"};
  run.scenario = reading_with("E2NEW");
  run.scenario["fail"] = {{"writeTag", {{"status", -9}, {"message", "no tag"}}}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(mask_times(r.out), "writeTag: no tag\nElapsed (write): Nms\n");
}

}  // namespace
}  // namespace korvo_test
