// Writes JSON text straight into a buffer, with no document in between:
// objects, arrays, texts, numbers and booleans, in the order they are
// given, with no white space.
#ifndef KORVO_TAG_SERVICE_MODEL_JSON_WRITER_H_
#define KORVO_TAG_SERVICE_MODEL_JSON_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tag_service {

// Writes into a buffer of its own, which the caller may read and clear
// between values (a long answer is sent part by part). The caller keeps the
// shape: key() only inside an object, each key followed by one value. Texts
// are written as UTF-8: '"', '\\' and the control characters U+0000 to
// U+001F are escaped (\b \f \n \r \t, else \u00XX in lower-case hex),
// everything else goes as it is; each byte that starts no well-formed UTF-8
// sequence becomes U+FFFD, so the text is always valid JSON. Never throws
// except std::bad_alloc.
class json_writer {
 public:
  // The text written since the writer was made or last cleared.
  std::string_view text() const { return {buf_.data(), size_}; }
  std::size_t size() const { return size_; }
  // Forgets the text, keeping the memory for what comes next.
  void clear() { size_ = 0; }
  // The text, leaving the writer empty.
  std::string take();

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
  // Room for n more bytes at the end of the text; returns where they go.
  // The caller writes there and advances size_ by what it wrote.
  char* room(std::size_t n) {
    if (buf_.size() - size_ < n) grow(n);
    return buf_.data() + size_;
  }
  void grow(std::size_t n);
  void separate() {
    if (need_comma_) {
      *room(1) = ',';
      ++size_;
    }
  }
  void open(char c) {
    char* p = room(2);
    if (need_comma_) *p++ = ',';
    *p++ = c;
    size_ = static_cast<std::size_t>(p - buf_.data());
    need_comma_ = false;
  }
  void close(char c) {
    *room(1) = c;
    ++size_;
    need_comma_ = true;
  }
  void text(std::string_view s);

  // The text is buf_'s first size_ bytes; the rest is room.
  std::string buf_;
  std::size_t size_ = 0;
  // A value was written at this level, so the next one needs a comma; a
  // key clears it for its own value.
  bool need_comma_ = false;
};

// The JSON text write(json_writer&) writes.
template <class F>
std::string json_text(F write) {
  json_writer w;
  write(w);
  return w.take();
}

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_MODEL_JSON_WRITER_H_
