#include "qel/credentials.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/utf.h"

namespace rfid_qel {
namespace {

constexpr std::size_t kMaxCredentialFileBytes = 1024 * 1024;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The file's text; false (with errno's reason in error) when it cannot be
// read. missing is set when it does not exist.
bool read_small_file(const std::string& path, std::string& text, bool& missing,
                     std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    missing = errno == ENOENT;
    error = std::strerror(errno);
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  if (text.size() > kMaxCredentialFileBytes) {
    error = "larger than " + std::to_string(kMaxCredentialFileBytes) + " bytes";
    return false;
  }
  return true;
}

// The next word of netrc text, consumed: blank-separated, or in double
// quotes with backslash escapes.
std::string next_netrc_word(std::string_view& text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  std::string word;
  if (!text.empty() && text.front() == '"') {
    text.remove_prefix(1);
    while (!text.empty() && text.front() != '"') {
      if (text.front() == '\\' && text.size() > 1) text.remove_prefix(1);
      word += text.front();
      text.remove_prefix(1);
    }
    if (!text.empty()) text.remove_prefix(1);
    return word;
  }
  while (!text.empty() && !is_blank(text.front())) {
    word += text.front();
    text.remove_prefix(1);
  }
  return word;
}

}  // namespace

bool token_from_file_text(std::string_view text, std::string& token) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  if (text.empty()) return false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) return false;
  }
  token = text;
  return true;
}

std::string netrc_password(std::string_view text, std::string_view host) {
  enum class entry { none, match, other, fallback };
  entry current = entry::none;
  std::string found;
  std::string fallback;
  while (true) {
    const std::string word = next_netrc_word(text);
    if (word.empty()) break;
    if (word == "machine") {
      const std::string name = next_netrc_word(text);
      current =
          korvo::equals_ascii_nocase(name, host) ? entry::match : entry::other;
    } else if (word == "default") {
      current = entry::fallback;
    } else if (word == "login" || word == "account") {
      next_netrc_word(text);
    } else if (word == "password") {
      const std::string value = next_netrc_word(text);
      if (current == entry::match && found.empty()) found = value;
      if (current == entry::fallback && fallback.empty()) fallback = value;
    } else if (word == "macdef") {
      // The macro's body runs to the next empty line.
      const auto end = text.find("\n\n");
      text = end == std::string_view::npos ? std::string_view()
                                           : text.substr(end + 2);
    }
  }
  return found.empty() ? fallback : found;
}

bool find_service_token(const std::string& host, service_token& out,
                        std::string& error) {
  out = service_token{};
  std::string text;
  bool missing = false;
  std::string why;
  if (const char* file = std::getenv("KORVO_TOKEN_FILE");
      file != nullptr && *file != 0) {
    const std::string source =
        std::string("the token file ") + file + " (named by KORVO_TOKEN_FILE)";
    if (!read_small_file(file, text, missing, why)) {
      error = "cannot read " + source + ": " + why;
      return false;
    }
    if (!token_from_file_text(text, out.token)) {
      error = source +
              " does not hold one token (a single line of printable ASCII "
              "without blanks)";
      return false;
    }
    out.source = source;
    return true;
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == 0) return true;
  const std::string netrc = std::string(home) + "/.netrc";
  if (!read_small_file(netrc, text, missing, why)) {
    if (missing) return true;
    error = "cannot read " + netrc + ": " + why;
    return false;
  }
  const std::string password = netrc_password(text, host);
  if (password.empty()) return true;
  if (!token_from_file_text(password, out.token) ||
      out.token.size() != password.size()) {
    out.token.clear();
    error = "the password " + netrc + " gives for " + host +
            " is not a token (printable ASCII without blanks)";
    return false;
  }
  out.source = "~/.netrc (" + netrc + ")";
  return true;
}

}  // namespace rfid_qel
