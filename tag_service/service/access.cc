#include "tag_service/service/access.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace tag_service {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

// The next blank-separated word of line, consumed.
std::string_view next_word(std::string_view& line) {
  while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
  std::size_t n = 0;
  while (n < line.size() && !is_blank(line[n])) ++n;
  const std::string_view word = line.substr(0, n);
  line.remove_prefix(n);
  return word;
}

// Standard base64 (RFC 4648, with padding); false for anything else.
bool decode_base64(std::string_view in, std::string& out) {
  if (in.size() % 4 != 0) return false;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  out.clear();
  for (std::size_t i = 0; i < in.size(); i += 4) {
    const bool last = i + 4 == in.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = in[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
      } else if (pad > 0 || (v[k] = value(c)) < 0) {
        return false;
      }
    }
    const unsigned bits = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out += static_cast<char>(bits >> 16);
    if (pad < 2) out += static_cast<char>((bits >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(bits & 0xFF);
  }
  return true;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool parse_tokens(std::string_view text, std::vector<token_entry>& out,
                  std::string& error) {
  std::vector<token_entry> tokens;
  std::set<std::string> names;
  std::set<std::string> secrets;
  int number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view()
                                         : text.substr(end + 1);
    ++number;
    auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    std::string_view rest = line;
    while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
    if (rest.empty() || rest.front() == '#') continue;
    for (const char c : line) {
      const auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && !is_blank(c)) || u >= 0x7F) {
        return fail("holds a control or non-ASCII character");
      }
    }
    token_entry e;
    const std::string_view name = next_word(rest);
    const std::string_view right = next_word(rest);
    const std::string_view secret = next_word(rest);
    if (secret.empty()) {
      return fail("expected NAME RIGHT TOKEN (RIGHT read or write)");
    }
    if (!next_word(rest).empty()) return fail("has more than NAME RIGHT TOKEN");
    if (name.size() > 64 ||
        !std::all_of(name.begin(), name.end(), is_name_char)) {
      return fail("the name takes 1 to 64 of A-Z a-z 0-9 . _ -");
    }
    if (right == "read") {
      e.right = access_right::read;
    } else if (right == "write") {
      e.right = access_right::write;
    } else {
      // Not echoed: a line with its words swapped would show its token.
      return fail("the right (the second word) is read or write");
    }
    if (secret.size() < kMinTokenLength || secret.size() > kMaxTokenLength) {
      return fail("the token of " + std::string(name) + " is " +
                  std::to_string(secret.size()) +
                  " characters long; it takes " +
                  std::to_string(kMinTokenLength) + " to " +
                  std::to_string(kMaxTokenLength));
    }
    e.name = name;
    e.token = secret;
    if (!names.insert(e.name).second) {
      return fail("the name " + e.name + " is already given");
    }
    if (!secrets.insert(e.token).second) {
      return fail("the token of " + e.name + " is already another's");
    }
    tokens.push_back(std::move(e));
  }
  out = std::move(tokens);
  return true;
}

bool read_small_file(const std::string& path, const char* what,
                     bool must_be_private, std::string& out,
                     std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string("cannot read the ") + what + " " + path + ": " +
            std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = std::string("the ") + what + " " + path + " is not a regular file";
    return false;
  }
  // Group access is left to the operator (a group such as ssl-cert may
  // share keys); others never.
  if (must_be_private && (st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o",
                  static_cast<unsigned>(st.st_mode & 07777));
    error = std::string("the ") + what + " " + path +
            " is open to others (mode " + mode +
            "); make it private with chmod o-rwx " + path;
    return false;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      error = std::string("cannot read the ") + what + " " + path + ": " +
              std::strerror(e);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxPrivateFileBytes) {
      ::close(fd);
      error = std::string("the ") + what + " " + path + " is larger than " +
              std::to_string(kMaxPrivateFileBytes) + " bytes";
      return false;
    }
  }
  ::close(fd);
  out = std::move(text);
  return true;
}

bool read_tokens_file(const std::string& path, std::vector<token_entry>& out,
                      std::string& error) {
  std::string text;
  if (!read_small_file(path, "tokens file", true, text, error)) return false;
  std::vector<token_entry> tokens;
  if (!parse_tokens(text, tokens, error)) {
    error = "the tokens file " + path + ", " + error;
    return false;
  }
  if (tokens.empty()) {
    error = "the tokens file " + path + " holds no token";
    return false;
  }
  out = std::move(tokens);
  return true;
}

bool same_secret(std::string_view a, std::string_view b) {
  // Every byte of a is looked at, whatever b holds; b's length only decides
  // the outcome, not the time.
  unsigned diff = a.size() == b.size() ? 0U : 1U;
  const std::size_t bn = b.empty() ? 1 : b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    const unsigned char other =
        b.empty() ? 0 : static_cast<unsigned char>(b[i % bn]);
    diff |= static_cast<unsigned char>(a[i]) ^ other;
  }
  return diff == 0;
}

access_control::access_control(std::vector<token_entry> tokens)
    : tokens_(std::move(tokens)) {}

void access_control::replace(std::vector<token_entry> tokens) {
  std::lock_guard<std::mutex> lock(mutex_);
  tokens_ = std::move(tokens);
}

std::size_t access_control::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tokens_.size();
}

access_verdict access_control::check(std::string_view authorization,
                                     access_right needed, bool basic) const {
  access_verdict v;
  v.status = 401;
  std::string presented;
  while (!authorization.empty() && is_blank(authorization.front())) {
    authorization.remove_prefix(1);
  }
  if (starts_with_nocase(authorization, "bearer ")) {
    presented = authorization.substr(7);
  } else if (basic && starts_with_nocase(authorization, "basic ")) {
    std::string pair;
    if (!decode_base64(authorization.substr(6), pair)) return v;
    const auto colon = pair.find(':');
    if (colon == std::string::npos) return v;
    presented = pair.substr(colon + 1);
  } else {
    return v;
  }
  while (!presented.empty() && is_blank(presented.front())) {
    presented.erase(0, 1);
  }
  while (!presented.empty() && is_blank(presented.back())) presented.pop_back();
  if (presented.empty()) return v;
  std::lock_guard<std::mutex> lock(mutex_);
  // Every token is compared, so the time says nothing of which one matched.
  const token_entry* match = nullptr;
  for (const token_entry& t : tokens_) {
    if (same_secret(presented, t.token)) match = &t;
  }
  if (match == nullptr) return v;
  v.name = match->name;
  v.status =
      needed == access_right::write && match->right != access_right::write
          ? 403
          : 200;
  return v;
}

std::chrono::milliseconds access_control::note_failure(
    const std::string& client) {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  // The memory of failures is bounded: clients quiet for a minute are
  // forgotten first, and when that is not enough, all are.
  if (failures_.size() >= 4096) {
    std::erase_if(failures_, [now](const auto& f) {
      return now - f.second.last > minutes(1);
    });
    if (failures_.size() >= 4096) failures_.clear();
  }
  failures& f = failures_[client];
  if (now - f.last > minutes(1)) f.count = 0;
  f.last = now;
  ++f.count;
  if (f.count <= kFreeFailures) return milliseconds(0);
  const int over = std::min(f.count - kFreeFailures, 30);
  return std::min(milliseconds(250) * over, kMaxFailureDelay);
}

void access_control::note_success(const std::string& client) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.erase(client);
}

bool is_loopback_host(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  bool all = found != nullptr;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      all = all && (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      all = all && IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    } else {
      all = false;
    }
  }
  ::freeaddrinfo(found);
  return all;
}

}  // namespace tag_service
