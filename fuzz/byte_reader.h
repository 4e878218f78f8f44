// Takes typed values off the front of a fuzz input; past its end every value
// is zero or empty, so a target never reads beyond the input.
#ifndef KORVO_FUZZ_BYTE_READER_H_
#define KORVO_FUZZ_BYTE_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvo_fuzz {

class byte_reader {
 public:
  byte_reader(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  std::size_t left() const { return size_ - pos_; }

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k)
      v |= static_cast<std::uint32_t>(byte()) << (8 * k);
    return v;
  }

  std::uint64_t u64() {
    const std::uint64_t low = u32();
    return low | (static_cast<std::uint64_t>(u32()) << 32);
  }

  // Up to max_units UTF-16 units, two bytes each, low byte first.
  std::u16string units(std::size_t max_units) {
    std::u16string out;
    while (out.size() < max_units && left() >= 2) {
      const std::uint8_t lo = byte();
      out.push_back(static_cast<char16_t>(lo | (byte() << 8)));
    }
    return out;
  }

  // Up to n bytes.
  std::string_view bytes(std::size_t n) {
    if (n > left()) n = left();
    std::string_view out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

  std::string_view rest() { return bytes(left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace korvo_fuzz

#endif  // KORVO_FUZZ_BYTE_READER_H_
