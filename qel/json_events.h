// A JSON parser that reads a whole text held in memory and reports what it
// finds as events to a handler, with no document in between: the session
// reads its large answers with it, straight into result objects.
//
// It accepts exactly the JSON of RFC 8259 (an optional UTF-8 byte order
// mark first): strings must be well-formed UTF-8 without raw control
// characters, escapes of surrogates must pair up, numbers must keep the
// grammar and fit a double, and nothing but whitespace may follow the value.
// Arrays and objects may nest at most max_depth levels. It allocates only
// for strings with escapes (one scratch buffer, reused), recurses nowhere and
// reads each byte once; texts without escapes reach the handler as views
// into the input.
//
// The handler has these members, each returning false to stop the parse:
//   bool null();  bool boolean(bool);
//   bool number_integer(std::int64_t);    // negative integers
//   bool number_unsigned(std::uint64_t);  // other integers
//   bool number_float(double);  // fractions, exponents, integers beyond 64
//   bits bool string(std::string_view);  bool key(std::string_view); bool
//   start_object();  bool end_object(); bool start_array();  bool end_array();
// A view handed to string() or key() is valid only during the call.
#ifndef KORVO_QEL_JSON_EVENTS_H_
#define KORVO_QEL_JSON_EVENTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rfid_qel {

// Why a parse ended without a complete value.
struct json_fault {
  enum class kind : std::uint8_t {
    none,
    handler,    // the handler returned false
    malformed,  // the text is not well-formed JSON
    too_deep    // nesting beyond max_depth
  };
  kind what = kind::none;
  std::size_t position = 0;  // 1-based byte of a malformed text's fault
  const char* message = "";  // what is malformed there: a static phrase
};

namespace json_detail {

// Reads the string whose opening quote is just before p, up to and including
// its closing quote; on success sets text (a view into the input when the
// string has no escapes, else into scratch) and returns the byte after the
// quote. On a fault returns null with where and message set.
const char* read_string(const char* p, const char* end, std::string& scratch,
                        std::string_view& text, const char*& where,
                        const char*& message);

// Reads a number starting at p. Returns the byte after it, or null with
// where and message set. kind: 0 negative integer (i), 1 other integer (u),
// 2 anything else (d).
const char* read_number(const char* p, const char* end, int& kind,
                        std::int64_t& i, std::uint64_t& u, double& d,
                        const char*& where, const char*& message);

inline bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

}  // namespace json_detail

// Parses text, reporting its events to handler. Returns true when the text
// is one complete JSON value and the handler took every event; otherwise
// false with fault set.
template <typename Handler>
bool parse_json(std::string_view text, Handler& handler, json_fault& fault,
                std::size_t max_depth = 64) {
  using namespace json_detail;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin;
  std::string scratch;
  // One bit per open container, 1 for an object; the innermost is bit 0.
  // A depth of up to 64 fits the one word.
  std::uint64_t objects = 0;
  std::size_t depth = 0;
  if (max_depth > 64) max_depth = 64;
  const char* where = p;
  const char* message = "";

  auto malformed = [&](const char* at, const char* why) {
    fault.what = json_fault::kind::malformed;
    fault.position = static_cast<std::size_t>(at - begin) + 1;
    fault.message = why;
    return false;
  };
  auto stopped = [&] {
    fault.what = json_fault::kind::handler;
    return false;
  };
  auto skip_space = [&] {
    while (p != end && is_space(*p)) ++p;
  };
  auto open = [&](bool object) {
    if (depth == max_depth) {
      fault.what = json_fault::kind::too_deep;
      return false;
    }
    ++depth;
    objects = (objects << 1) | (object ? 1u : 0u);
    return true;
  };

  if (end - p >= 3 && p[0] == '\xEF' && p[1] == '\xBB' && p[2] == '\xBF') {
    p += 3;
  }
  enum class next : std::uint8_t { value, key, after };
  next state = next::value;
  for (;;) {
    skip_space();
    if (state == next::value) {
      if (p == end) return malformed(p, "unexpected end of input");
      switch (*p) {
        case '{':
        case '[': {
          const bool object = *p == '{';
          if (!open(object)) return false;
          if (!(object ? handler.start_object() : handler.start_array())) {
            return stopped();
          }
          ++p;
          skip_space();
          // An empty one is closed where a value would end.
          if (p != end && *p == (object ? '}' : ']')) {
            state = next::after;
          } else if (object) {
            state = next::key;
          }
          continue;
        }
        case '"': {
          std::string_view s;
          p = read_string(p + 1, end, scratch, s, where, message);
          if (p == nullptr) return malformed(where, message);
          if (!handler.string(s)) return stopped();
          break;
        }
        case 't':
        case 'f':
        case 'n': {
          const std::string_view word = *p == 't'   ? "true"
                                        : *p == 'f' ? "false"
                                                    : "null";
          if (static_cast<std::size_t>(end - p) < word.size() ||
              std::string_view(p, word.size()) != word) {
            return malformed(p, "invalid literal");
          }
          p += word.size();
          if (!(word[0] == 'n' ? handler.null()
                               : handler.boolean(word[0] == 't'))) {
            return stopped();
          }
          break;
        }
        default: {
          int kind = 0;
          std::int64_t i = 0;
          std::uint64_t u = 0;
          double d = 0;
          p = read_number(p, end, kind, i, u, d, where, message);
          if (p == nullptr) return malformed(where, message);
          if (!(kind == 0   ? handler.number_integer(i)
                : kind == 1 ? handler.number_unsigned(u)
                            : handler.number_float(d))) {
            return stopped();
          }
          break;
        }
      }
      state = next::after;
      continue;
    }
    if (state == next::key) {
      if (p == end || *p != '"') return malformed(p, "expected a string key");
      std::string_view k;
      p = read_string(p + 1, end, scratch, k, where, message);
      if (p == nullptr) return malformed(where, message);
      if (!handler.key(k)) return stopped();
      skip_space();
      if (p == end || *p != ':') return malformed(p, "expected ':'");
      ++p;
      state = next::value;
      continue;
    }
    // After a value: the end of the text, or what its container lets come.
    if (depth == 0) {
      if (p != end) return malformed(p, "expected end of input");
      return true;
    }
    if (p == end) return malformed(p, "unexpected end of input");
    const bool in_object = (objects & 1) != 0;
    if (*p == ',') {
      ++p;
      state = in_object ? next::key : next::value;
      continue;
    }
    if (*p != (in_object ? '}' : ']')) {
      return malformed(
          p, in_object ? "expected ',' or '}'" : "expected ',' or ']'");
    }
    ++p;
    --depth;
    objects >>= 1;
    if (!(in_object ? handler.end_object() : handler.end_array())) {
      return stopped();
    }
  }
}

}  // namespace rfid_qel

#endif  // KORVO_QEL_JSON_EVENTS_H_
