// tag-service's log: one line per request or reader event on standard
// error, fit for the journal: a UTC timestamp, then key=value fields.
#ifndef KORVO_TAG_SERVICE_SERVICE_LOG_LINE_H_
#define KORVO_TAG_SERVICE_SERVICE_LOG_LINE_H_

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tag_service {

struct log_field {
  std::string_view key;  // a plain word: method, path, status, ms, client...
  std::string value;
};

// "2024-05-13T09:41:07.1234567Z method=GET path=/TagService/items
// status=200 ms=3 client=127.0.0.1" (without a newline). A value that is
// empty or holds a space, '"', '=' or '\' is put in double quotes with '"'
// and '\' escaped by a backslash; control characters and invalid UTF-8
// become '?', and a value is cut at 512 bytes, so that every line stays one
// line whatever a client sends.
std::string log_line(std::uint64_t now_filetime,
                     std::initializer_list<log_field> fields);

// Writes log_line(now, fields) and a newline to standard error in one
// write, so lines from several threads never mix.
void write_log_line(std::initializer_list<log_field> fields);

// A bound on lines from a source that may repeat itself without end (a
// reader's events): up to `burst` lines at once, then `per_second` a
// second; the lines beyond are counted, not written. Thread-safe.
class log_rate_limit {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  log_rate_limit(double per_second, double burst)
      : per_second_(per_second), burst_(burst), tokens_(burst) {}
  // Whether a line may be written at `now`; if so, suppressed is the number
  // of lines held back since the last one let through.
  bool allow(time_point now, std::uint64_t& suppressed);

 private:
  std::mutex mutex_;
  double per_second_;
  double burst_;
  double tokens_;
  std::optional<time_point> last_;
  std::uint64_t held_back_ = 0;
};

// Reader lines: 20 at once, then 5 a second.
inline constexpr double kReaderLogBurst = 20;
inline constexpr double kReaderLogPerSecond = 5;

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_LOG_LINE_H_
