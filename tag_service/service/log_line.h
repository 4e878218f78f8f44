// tag-service's log: one line per request or reader event on standard
// error, fit for the journal: a UTC timestamp, then key=value fields.
#ifndef KORVO_TAG_SERVICE_SERVICE_LOG_LINE_H_
#define KORVO_TAG_SERVICE_SERVICE_LOG_LINE_H_

#include <cstdint>
#include <initializer_list>
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

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_LOG_LINE_H_
