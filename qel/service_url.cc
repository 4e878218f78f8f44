#include "qel/service_url.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "platform/utf.h"

namespace rfid_qel {
namespace {

constexpr std::string_view kShape = "http[s]://host[:port][/path]";

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

bool parse_int(std::string_view s, int low, int high, int& out) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  if (v < low || v > high) return false;
  out = v;
  return true;
}

}  // namespace

std::string service_address::display() const {
  std::string out = tls ? "https://" : "http://";
  if (host.find(':') != std::string::npos) {
    out += "[" + host + "]";
  } else {
    out += host;
  }
  out += ":" + std::to_string(port) + base_path;
  return out;
}

bool parse_service_url(std::string_view url, service_address& out,
                       std::string& error) {
  const std::string quoted = "the service URL '" + std::string(url) + "' ";
  auto fail = [&](const std::string& why) {
    error = quoted + why;
    return false;
  };
  if (url.empty()) {
    error = "the service URL is empty; expected " + std::string(kShape);
    return false;
  }
  for (char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) {
      return fail("contains a blank, a control or a non-ASCII character");
    }
  }
  const bool tls = url.size() >= 8 &&
                   korvo::equals_ascii_nocase(url.substr(0, 8), "https://");
  if (!tls && (url.size() < 7 ||
               !korvo::equals_ascii_nocase(url.substr(0, 7), "http://"))) {
    return fail("is not supported: only " + std::string(kShape) + " is served");
  }
  std::string_view rest = url.substr(tls ? 8 : 7);
  if (rest.find('#') != std::string_view::npos) {
    return fail("has a fragment ('#'), which a service URL cannot have");
  }
  std::string_view query;
  if (const auto q = rest.find('?'); q != std::string_view::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  const auto slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view path =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  if (authority.find('@') != std::string_view::npos) {
    return fail("has user information, which is not supported");
  }

  service_address a;
  a.tls = tls;
  if (tls) a.port = 443;
  std::string_view port_text;
  bool has_port = false;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) {
      return fail("has an IPv6 address without its closing ']'");
    }
    a.host = std::string(authority.substr(1, close - 1));
    const bool ok = !a.host.empty() &&
                    std::all_of(a.host.begin(), a.host.end(), [](char c) {
                      return std::isxdigit(static_cast<unsigned char>(c)) ||
                             c == ':' || c == '.';
                    });
    if (!ok) return fail("has a malformed IPv6 address");
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return fail("has text after the IPv6 address");
      has_port = true;
      port_text = after.substr(1);
    }
  } else {
    const auto colon = authority.find(':');
    a.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      has_port = true;
      port_text = authority.substr(colon + 1);
    }
    if (a.host.empty()) return fail("has no host");
    if (!std::all_of(a.host.begin(), a.host.end(), is_name_char)) {
      return fail("has a host name with characters a host name cannot have");
    }
  }
  if (has_port && !parse_int(port_text, 1, 65535, a.port)) {
    return fail("has no valid port (1 to 65535)");
  }

  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  a.base_path = std::string(path);

  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view()
                                          : query.substr(amp + 1);
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    const std::string_view key = pair.substr(0, eq);
    if (key != "timeout_ms") {
      return fail("has an unknown parameter '" + std::string(key) +
                  "' (only timeout_ms is known)");
    }
    int ms = 0;
    if (eq == std::string_view::npos ||
        !parse_int(pair.substr(eq + 1), 100, 600000, ms)) {
      return fail("has no valid timeout_ms (100 to 600000 milliseconds)");
    }
    a.limits.io_ms = ms;
    a.limits.connect_ms = std::min(a.limits.connect_ms, ms);
  }
  out = std::move(a);
  return true;
}

}  // namespace rfid_qel
