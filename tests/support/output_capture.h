// Catches what korvo prints to standard output in this process.
#ifndef KORVO_TESTS_SUPPORT_OUTPUT_CAPTURE_H_
#define KORVO_TESTS_SUPPORT_OUTPUT_CAPTURE_H_

#include <string>

namespace korvo_test {

// While alive, standard output goes to an in-memory file; korvo's buffer is
// flushed on the way in and out, so nothing printed before or after is
// caught or lost.
class output_capture {
 public:
  output_capture();
  ~output_capture();
  output_capture(const output_capture&) = delete;
  output_capture& operator=(const output_capture&) = delete;

  // Everything printed since the last take() (or since the start), after
  // flushing korvo's buffer; the file is emptied.
  std::string take();

  // Whether korvo's last flush so far succeeded.
  bool flushed() const { return flushed_; }

 private:
  int file_ = -1;
  int saved_ = -1;
  bool flushed_ = true;
};

}  // namespace korvo_test

#endif  // KORVO_TESTS_SUPPORT_OUTPUT_CAPTURE_H_
