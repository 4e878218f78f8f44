#include "tag_service/service/log_line.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "protocol/wire_time.h"
#include "tag_service/service/service.h"

namespace tag_service {
namespace {

constexpr std::size_t kMaxValueBytes = 512;

void append_value(std::string& out, std::string_view raw) {
  const std::string value = printable(raw, kMaxValueBytes);
  const bool quote =
      value.empty() || value.find_first_of(" \"=\\") != std::string::npos;
  if (!quote) {
    out += value;
    return;
  }
  out += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string log_line(std::uint64_t now_filetime,
                     std::initializer_list<log_field> fields) {
  std::string line = tag_protocol::format_utc_timestamp(now_filetime);
  for (const log_field& f : fields) {
    line += ' ';
    line += f.key;
    line += '=';
    append_value(line, f.value);
  }
  return line;
}

void write_log_line(std::initializer_list<log_field> fields) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  const std::string line =
      log_line(tag_protocol::filetime_from_unix_ns(ns), fields) + "\n";
  // One write of a line well under PIPE_BUF is not interleaved with others.
  const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
  (void)written;  // a log that cannot be written is no reason to fail
}

bool log_rate_limit::allow(time_point now, std::uint64_t& suppressed) {
  std::lock_guard lock(mutex_);
  if (last_ && now > *last_) {
    const std::chrono::duration<double> since = now - *last_;
    tokens_ = std::min(burst_, tokens_ + since.count() * per_second_);
  }
  if (!last_ || now > *last_) last_ = now;
  if (tokens_ < 1) {
    ++held_back_;
    return false;
  }
  tokens_ -= 1;
  suppressed = held_back_;
  held_back_ = 0;
  return true;
}

}  // namespace tag_service
