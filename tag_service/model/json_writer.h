// Writes JSON text straight into a string, with no document in between:
// objects, arrays, texts, numbers and booleans, in the order they are
// given, with no white space.
#ifndef KORVO_TAG_SERVICE_MODEL_JSON_WRITER_H_
#define KORVO_TAG_SERVICE_MODEL_JSON_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace tag_service {

// Appends to out, which the caller owns and may take and clear between
// values (a long answer is sent part by part). The caller keeps the shape:
// key() only inside an object, each key followed by one value. Texts are
// written as UTF-8: '"', '\\' and the control characters U+0000 to U+001F
// are escaped (\b \f \n \r \t, else \u00XX in lower-case hex), everything
// else goes as it is; each byte that starts no well-formed UTF-8 sequence
// becomes U+FFFD, so the text is always valid JSON. Never throws except
// std::bad_alloc.
class json_writer {
 public:
  explicit json_writer(std::string& out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // The key of the object member whose value comes next.
  void key(std::string_view k);

  void value(std::string_view text);
  void value(const char* text) { value(std::string_view(text)); }
  void value(const std::string& text) { value(std::string_view(text)); }
  void value(bool b);
  void value(std::int64_t n);
  void value(std::int32_t n) { value(static_cast<std::int64_t>(n)); }
  void value(std::uint64_t n);

  // key(k) then value(v).
  template <class T>
  void member(std::string_view k, const T& v) {
    key(k);
    value(v);
  }

 private:
  void separate() {
    if (need_comma_) out_.push_back(',');
  }
  void open(char c) {
    separate();
    out_.push_back(c);
    need_comma_ = false;
  }
  void close(char c) {
    out_.push_back(c);
    need_comma_ = true;
  }
  void text(std::string_view s);

  std::string& out_;
  // A value was written at this level, so the next one needs a comma; a
  // key clears it for its own value.
  bool need_comma_ = false;
};

// The JSON text write(json_writer&) writes.
template <class F>
std::string json_text(F write) {
  std::string text;
  json_writer w(text);
  write(w);
  return text;
}

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_MODEL_JSON_WRITER_H_
