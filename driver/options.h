// The command line: keywords, their values, and the usage text.
#ifndef KORVO_DRIVER_OPTIONS_H_
#define KORVO_DRIVER_OPTIONS_H_

#include <string>
#include <vector>

namespace korvo {

inline constexpr char16_t kDefaultLibraryPath[] = u"rfid_qel.kzm";
inline constexpr char16_t kSubfolderLibraryPath[] = u"kzm/rfid_qel.kzm";
inline constexpr char16_t kDefaultHost[] = u"127.0.0.1";

// The parsed command line. Text fields point into the argument strings given
// to parse_arguments (or at built-in literals), which must outlive the
// options; null means the keyword was not given. The filter is a copy.
struct run_options {
  bool formats = false;
  bool print = false;
  bool heap = false;
  bool disconnect = false;
  bool compact = false;
  bool header = false;
  bool pause = false;
  bool async = false;
  const char16_t* host = kDefaultHost;
  const char16_t* service_url = nullptr;
  const char16_t* tag_id = nullptr;
  bool secure = false;
  std::u16string filter;
  const char16_t* library_path = kDefaultLibraryPath;
  const char16_t* write_data = nullptr;
  bool stop = false;

  // True when the command line asks for something the session must do.
  bool has_work() const;
};

// Parses args (index 0, the program, is skipped). initial_library_path is the
// library chosen before parsing; "dll" overrides it. Parsing stops at the
// first argument that is not a keyword, and at a value keyword that has no
// value after it; either sets stop.
run_options parse_arguments(const std::vector<std::u16string>& args,
                            const char16_t* initial_library_path);

// The URL the session opens: "http://" + host + ":21645/TagService", or
// service_url as a whole when it was given (then host plays no part).
std::u16string build_service_url(const run_options& options);

// The usage text, printed in one piece when there is no work.
extern const char kUsageText[];

}  // namespace korvo

#endif  // KORVO_DRIVER_OPTIONS_H_
