// Who may use the service: the tokens file, the check of a request's
// credentials against it, and the slowing down of clients that keep
// presenting wrong ones.
//
// The tokens file has one token a line: NAME RIGHT TOKEN, separated by
// blanks. NAME (1 to 64 of A-Z a-z 0-9 . _ -) is what the log shows;
// RIGHT is "read" (formats, items, ping, the live view and its status) or
// "write" (everything); TOKEN is 16 to 512 printable ASCII characters
// without blanks. Blank lines and lines whose first non-blank character is
// '#' are skipped. Names and tokens are each unique in a file.
#ifndef KORVO_TAG_SERVICE_SERVICE_ACCESS_H_
#define KORVO_TAG_SERVICE_SERVICE_ACCESS_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tag_service {

enum class access_right { read, write };

struct token_entry {
  std::string name;
  access_right right = access_right::read;
  std::string token;
};

inline constexpr std::size_t kMinTokenLength = 16;
inline constexpr std::size_t kMaxTokenLength = 512;
// Largest tokens file, certificate or key file the service reads.
inline constexpr std::size_t kMaxPrivateFileBytes = 1024 * 1024;

// Reads the regular file at path (what names it in messages: "key",
// "tokens file") of at most kMaxPrivateFileBytes; with must_be_private,
// refuses one that others may read or write. On failure returns false and
// sets error to a sentence naming the file.
bool read_small_file(const std::string& path, const char* what,
                     bool must_be_private, std::string& out,
                     std::string& error);

// Parses a tokens file's text. On failure returns false and sets error to
// "line N: why" without repeating any token.
bool parse_tokens(std::string_view text, std::vector<token_entry>& out,
                  std::string& error);

// Reads and parses the tokens file at path, which must hold at least one
// token and must not be open to others. On failure returns false and
// sets error to a sentence naming the file.
bool read_tokens_file(const std::string& path, std::vector<token_entry>& out,
                      std::string& error);

// Whether a and b are equal, in a time that depends only on a's length.
bool same_secret(std::string_view a, std::string_view b);

// The outcome of a request's credentials.
struct access_verdict {
  int status = 200;  // 200 allowed, 401 no or wrong token, 403 too few rights
  std::string name;  // the token's name when one matched
};

// The tokens in force, replaced as a whole on reload. Thread-safe.
class access_control {
 public:
  explicit access_control(std::vector<token_entry> tokens);

  void replace(std::vector<token_entry> tokens);
  std::size_t size() const;

  // Checks an Authorization header's value ("" when there is none) for an
  // operation that needs `needed`. "Bearer TOKEN" is always accepted;
  // "Basic base64(user:TOKEN)" only when basic is true (pages a browser
  // opens), any user name. Never blocks.
  access_verdict check(std::string_view authorization, access_right needed,
                       bool basic) const;

  // How long to hold a 401 to `client` before answering it, counting this
  // failure: nothing for the first few failures within a minute, then
  // growing up to kMaxFailureDelay. A success clears the client's count.
  std::chrono::milliseconds note_failure(const std::string& client);
  void note_success(const std::string& client);

  static constexpr int kFreeFailures = 3;
  static constexpr std::chrono::milliseconds kMaxFailureDelay{3000};

 private:
  struct failures {
    int count = 0;
    std::chrono::steady_clock::time_point last;
  };
  mutable std::mutex mutex_;
  std::vector<token_entry> tokens_;
  std::map<std::string, failures> failures_;
};

// Whether host (a name or a numeric address) names only this machine:
// localhost, 127.0.0.0/8 or ::1. Names are resolved; one that cannot be
// resolved is not loopback.
bool is_loopback_host(const std::string& host);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_ACCESS_H_
