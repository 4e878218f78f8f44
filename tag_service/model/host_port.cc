#include "tag_service/model/host_port.h"

namespace tag_service {

bool parse_host_port(std::string_view text, std::string& host,
                     std::uint16_t& port, std::string& error) {
  if (!text.empty() && text.back() == '/') text.remove_suffix(1);
  std::string_view name = text;
  std::string_view digits;
  bool has_port = false;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) {
      error = "has an unclosed [ in its host";
      return false;
    }
    name = text.substr(1, close - 1);
    const std::string_view after = text.substr(close + 1);
    if (!after.empty() && after.front() != ':') {
      error = "has text after its host";
      return false;
    }
    has_port = !after.empty();
    if (has_port) digits = after.substr(1);
  } else if (const auto colon = text.find(':');
             colon != std::string_view::npos) {
    name = text.substr(0, colon);
    digits = text.substr(colon + 1);
    has_port = true;
  }
  if (name.empty() || name.find_first_of("/?#@ ") != std::string_view::npos) {
    error = "needs a host";
    return false;
  }
  unsigned value = 0;
  if (has_port) {
    for (const char c : digits) {
      if (c < '0' || c > '9' || value > 65535) {
        value = 0;
        break;
      }
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
      error = "port must be 1 to 65535";
      return false;
    }
  }
  host = std::string(name);
  if (has_port) port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace tag_service
