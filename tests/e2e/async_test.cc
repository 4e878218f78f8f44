// The asynchronous write, security change and reading ("async"), run by the
// real korvo against the fake session with every way of delivering the
// completion notice.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace korvo_test {
namespace {

using json = nlohmann::json;

constexpr int kDelayMs = 30;

// Output with every elapsed time replaced by N, so that it can be compared.
std::string without_times(const std::string& out) {
  static const std::regex elapsed(R"((Elapsed \(\w+\): )\d+ms)");
  return std::regex_replace(out, elapsed, "$1Nms");
}

// The first elapsed time printed, or -1.
long first_elapsed_ms(const std::string& out) {
  static const std::regex elapsed(R"(Elapsed \(\w+\): (\d+)ms)");
  std::smatch m;
  return std::regex_search(out, m, elapsed) ? std::stol(m[1]) : -1;
}

std::string without_heap_lines(const std::string& out) {
  std::string kept;
  std::size_t at = 0;
  while (at < out.size()) {
    std::size_t end = out.find('\n', at);
    end = end == std::string::npos ? out.size() : end + 1;
    const std::string line = out.substr(at, end - at);
    if (line.rfind("ASYNC_HEAP_SIZE=", 0) != 0 &&
        line.rfind("HEAP_PROPERTY_ACTUAL_SIZE=", 0) != 0) {
      kept += line;
    }
    at = end;
  }
  return kept;
}

// Position of line in the log, or -1.
long log_index(const korvo_result& r, const std::string& line) {
  auto it = std::find(r.log.begin(), r.log.end(), line);
  return it == r.log.end() ? -1 : it - r.log.begin();
}

enum class outcome { succeeds, notice_fails, refused, refused_quietly };

const char* name_of(outcome o) {
  switch (o) {
    case outcome::succeeds:
      return "succeeds";
    case outcome::notice_fails:
      return "notice fails";
    case outcome::refused:
      return "refused, negative status";
    case outcome::refused_quietly:
      return "refused, non-negative status";
  }
  return "";
}

struct expected_run {
  outcome what;
  std::string out;  // with "heap"; elapsed times as N
  int code;
};

struct operation {
  std::string start;              // the asynchronous start's name
  std::vector<std::string> args;  // the keywords asking for it
  std::string started_log;        // the fake's log line of the start
  std::string synchronous_log;    // must never appear
  // A log line that must follow the notice (what the client releases only
  // after the wait), or empty.
  std::string released_after_notice;
  std::vector<expected_run> expected;  // one per outcome
};

// Runs op in every outcome, with every delivery, with and without "heap".
void run_matrix(const operation& op) {
  for (const expected_run& e : op.expected) {
    for (const char* delivery : {"inline", "thread", "delayed"}) {
      for (bool heap : {true, false}) {
        SCOPED_TRACE(op.start + ", " + name_of(e.what) + ", " + delivery +
                     (heap ? ", heap" : ""));
        json scenario = {{"heap", 4096}};
        json plan = {{"delivery", delivery}, {"delay_ms", kDelayMs}};
        if (e.what == outcome::notice_fails) {
          plan["status"] = -3;
          plan["message"] = "tag lost";
        }
        scenario["async"][op.start] = plan;
        if (e.what == outcome::refused) {
          scenario["fail"][op.start] = {{"status", -7}, {"message", "busy"}};
        } else if (e.what == outcome::refused_quietly) {
          scenario["fail"][op.start] = {{"status", 2}, {"message", "later"}};
        }
        korvo_run run;
        run.args = op.args;
        run.args.push_back("async");
        if (heap) run.args.push_back("heap");
        run.scenario = scenario;
        const korvo_result r = run_korvo(run);

        EXPECT_EQ(without_times(r.out),
                  heap ? e.out : without_heap_lines(e.out));
        EXPECT_EQ(r.code, e.code);
        EXPECT_EQ(r.err, "");  // also where a sanitizer would report
        EXPECT_GE(log_index(r, op.started_log), 0);
        EXPECT_EQ(log_index(r, op.synchronous_log), -1);

        const bool started =
            e.what == outcome::succeeds || e.what == outcome::notice_fails;
        const long notice = log_index(r, "notice " + op.start);
        EXPECT_EQ(notice >= 0, started);
        if (started) {
          // The client waited for the notice before it released what the
          // session was working on.
          if (!op.released_after_notice.empty()) {
            EXPECT_GT(log_index(r, op.released_after_notice), notice);
          }
          if (std::string(delivery) == "delayed") {
            EXPECT_GE(first_elapsed_ms(r.out), kDelayMs);
          }
        }
      }
    }
  }
}

TEST(AsyncRun, WriteInEveryOutcomeAndDelivery) {
  run_matrix({"writeTagAsync",
              {"write", "DATA"},
              "writeTagAsync NEWTAG",
              "writeTag NEWTAG",
              "release tag NEWTAG",
              {
                  {outcome::succeeds,
                   "ASYNC_HEAP_SIZE=4096\n"
                   "Tag 'NEWTAG' written.\n"
                   "Elapsed (write): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   0},
                  // A failed notice fails the write: no written line.
                  {outcome::notice_fails,
                   "async_write: tag lost\n"
                   "Elapsed (write): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   1},
                  {outcome::refused,
                   "writeTagAsync: busy\n"
                   "Elapsed (write): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   1},
                  // No notice ran: the completion's heap figure is still 0.
                  {outcome::refused_quietly,
                   "ASYNC_HEAP_SIZE=0\n"
                   "Tag 'NEWTAG' written.\n"
                   "Elapsed (write): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   0},
              }});
}

TEST(AsyncRun, SecurityInEveryOutcomeAndDelivery) {
  run_matrix({"setTagSecurityAsync",
              {"set", "T1"},
              "setTagSecurityAsync T1 1",
              "setTagSecurity T1 1",
              "",
              {
                  {outcome::succeeds,
                   "ASYNC_HEAP_SIZE=4096\n"
                   "Tag 'T1' security set.\n"
                   "Elapsed (secure): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   0},
                  {outcome::notice_fails,
                   "async_security: tag lost\n"
                   "Elapsed (secure): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   1},
                  {outcome::refused,
                   "setTagSecurityAsync: busy\n"
                   "Elapsed (secure): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   1},
                  {outcome::refused_quietly,
                   "ASYNC_HEAP_SIZE=0\n"
                   "Tag 'T1' security set.\n"
                   "Elapsed (secure): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   0},
              }});
}

TEST(AsyncRun, ReadingInEveryOutcomeAndDelivery) {
  run_matrix({"readItemsAsync",
              {"print"},
              "readItemsAsync",
              "readItems",
              "release items",
              {
                  {outcome::succeeds,
                   "ASYNC_HEAP_SIZE=4096\n"
                   "Elapsed (read): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   0},
                  // The delivered (empty) list is still printed and released.
                  {outcome::notice_fails,
                   "async_read: tag lost\n"
                   "Elapsed (read): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   1},
                  // Without a list the failure is reported a second time.
                  {outcome::refused,
                   "readItemsAsync: busy\n"
                   "Elapsed (read): Nms\n"
                   "readItems: busy\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   1},
                  {outcome::refused_quietly,
                   "ASYNC_HEAP_SIZE=0\n"
                   "Elapsed (read): Nms\n"
                   "HEAP_PROPERTY_ACTUAL_SIZE=4096\n",
                   0},
              }});
}

TEST(AsyncRun, RefusedReadingTakesTheFlagFromTheLaterReport) {
  // After a refused start the "readItems" report assigns the flag like every
  // report; only a failed notice keeps the reading failed.
  struct {
    json later_statuses;
    std::string out;
    int code;
  } cases[] = {
      {{0}, "readItemsAsync: busy\nElapsed (read): Nms\n", 0},
      {{-3}, "readItemsAsync: busy\nElapsed (read): Nms\nreadItems: busy\n", 1},
  };
  for (const auto& c : cases) {
    korvo_run run;
    run.args = {"print", "async"};
    run.scenario = {{"fail",
                     {{"readItemsAsync",
                       {{"status", -3},
                        {"message", "busy"},
                        {"later_statuses", c.later_statuses}}}}}};
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(without_times(r.out), c.out);
    EXPECT_EQ(r.code, c.code);
  }
}

TEST(AsyncRun, AllThreeInOneRunKeepTheirOrder) {
  korvo_run run;
  run.args = {"print", "set", "T1", "write", "D", "async", "heap"};
  run.scenario = {
      {"heap", 512},
      {"async",
       {{"writeTagAsync", {{"delivery", "delayed"}, {"delay_ms", 5}}},
        {"setTagSecurityAsync", {{"delivery", "thread"}}},
        {"readItemsAsync", {{"delivery", "delayed"}}}}}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(without_times(r.out),
            "ASYNC_HEAP_SIZE=512\n"
            "Tag 'NEWTAG' written.\n"
            "Elapsed (write): Nms\n"
            "ASYNC_HEAP_SIZE=512\n"
            "Tag 'T1' security set.\n"
            "Elapsed (secure): Nms\n"
            "ASYNC_HEAP_SIZE=512\n"
            "Elapsed (read): Nms\n"
            "HEAP_PROPERTY_ACTUAL_SIZE=512\n");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  // "notice returned" may be logged after the client went on; leave it out.
  std::vector<std::string> calls;
  for (const std::string& c : r.calls()) {
    if (c.rfind("notice returned", 0) != 0) calls.push_back(c);
  }
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "create 2",
                       "openService http://127.0.0.1:21645/TagService",
                       "connectReader",
                       "createTag D",
                       "writeTagAsync NEWTAG",
                       "notice writeTagAsync",
                       "release tag NEWTAG",
                       "setTagSecurityAsync T1 1",
                       "notice setTagSecurityAsync",
                       "readItemsAsync",
                       "notice readItemsAsync",
                       "release items",
                       "closeSession",
                   }));
}

TEST(AsyncRun, FailedNoticeSkipsTheLaterStages) {
  for (const char* delivery : {"inline", "delayed"}) {
    SCOPED_TRACE(delivery);
    korvo_run run;
    run.args = {"write", "D", "set", "T1", "print", "pause", "async", "heap"};
    run.scenario = {
        {"async",
         {{"writeTagAsync",
           {{"delivery", delivery}, {"status", -1}, {"message", "no tag"}}}}}};
    const korvo_result r = run_korvo(run);
    EXPECT_EQ(without_times(r.out),
              "async_write: no tag\n"
              "Elapsed (write): Nms\n"
              "HEAP_PROPERTY_ACTUAL_SIZE=0\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(log_index(r, "setTagSecurityAsync T1 1"), -1);
    EXPECT_EQ(log_index(r, "readItemsAsync"), -1);
    EXPECT_GE(log_index(r, "release tag NEWTAG"), 0);
  }
}

TEST(AsyncRun, FailedNoticeIsDecidedByTheAnswerThatPrintsIt) {
  // A session whose status changes between two queries inside the notice:
  // the answer that prints the error line (or none) also decides the exit
  // code, so a failure never ends without its line, nor a line with 0.
  struct {
    std::vector<std::string> args;
    std::string start, label;
  } operations[] = {
      {{"write", "D"}, "writeTagAsync", "async_write"},
      {{"set", "T1"}, "setTagSecurityAsync", "async_security"},
      {{"print"}, "readItemsAsync", "async_read"},
  };
  for (const auto& op : operations) {
    for (const bool fails_first : {true, false}) {
      SCOPED_TRACE(op.start + (fails_first ? ", -3 then 0" : ", 0 then -3"));
      korvo_run run;
      run.args = op.args;
      run.args.push_back("async");
      run.scenario = {{"async",
                       {{op.start,
                         {{"status", fails_first ? -3 : 0},
                          {"message", "lost"},
                          {"later_statuses", {fails_first ? 0 : -3}}}}}}};
      const korvo_result r = run_korvo(run);
      const bool line = r.out.find(op.label + ": lost\n") != std::string::npos;
      EXPECT_EQ(line, fails_first) << r.out;
      EXPECT_EQ(r.code, fails_first ? 1 : 0) << r.out;
    }
  }
}

TEST(AsyncRun, NoticeWithNonNegativeStatusIsASuccess) {
  korvo_run run;
  run.args = {"write", "D", "async", "heap"};
  run.scenario = {
      {"heap", 7},
      {"async", {{"writeTagAsync", {{"status", 1}, {"message", "queued"}}}}}};
  const korvo_result r = run_korvo(run);
  EXPECT_EQ(without_times(r.out),
            "ASYNC_HEAP_SIZE=7\n"
            "Tag 'NEWTAG' written.\n"
            "Elapsed (write): Nms\n"
            "HEAP_PROPERTY_ACTUAL_SIZE=7\n");
  EXPECT_EQ(r.code, 0);
}

TEST(AsyncRun, ReadingWithoutListIsReportedUnderReadItems) {
  struct {
    const char* name;
    json plan;
    std::string out;
    int code;
  } cases[] = {
      {"notice succeeds",
       {{"deliver_items", false}},
       "ASYNC_HEAP_SIZE=9\n"
       "Elapsed (read): Nms\n",
       0},
      {"notice fails",
       {{"deliver_items", false}, {"status", -4}, {"message", "timeout"}},
       "async_read: timeout\n"
       "Elapsed (read): Nms\n"
       "readItems: timeout\n",
       1},
      // The failed notice keeps the run failed although the session's
      // status is no longer negative when "readItems" is reported.
      {"notice fails, status cleared afterwards",
       {{"deliver_items", false},
        {"status", -4},
        {"message", "timeout"},
        {"clear_status_after", true}},
       "async_read: timeout\n"
       "Elapsed (read): Nms\n",
       1},
  };
  for (const auto& c : cases) {
    for (const char* delivery : {"inline", "thread"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + delivery);
      json plan = c.plan;
      plan["delivery"] = delivery;
      korvo_run run;
      run.args = {"print", "async", "heap"};
      run.scenario = {{"heap", 9}, {"async", {{"readItemsAsync", plan}}}};
      const korvo_result r = run_korvo(run);
      EXPECT_EQ(without_times(r.out), c.out + "HEAP_PROPERTY_ACTUAL_SIZE=9\n");
      EXPECT_EQ(r.code, c.code);
      EXPECT_EQ(log_index(r, "release items"), -1);
    }
  }
}

}  // namespace
}  // namespace korvo_test
