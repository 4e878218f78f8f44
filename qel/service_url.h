// The service URL the client hands to openService, taken apart.
#ifndef KORVO_QEL_SERVICE_URL_H_
#define KORVO_QEL_SERVICE_URL_H_

#include <string>
#include <string_view>

namespace rfid_qel {

// Time limits of every request to the service.
struct request_limits {
  int connect_ms = 3000;  // to establish the connection
  int io_ms = 5000;       // for each read or write on it
  // The whole request, from connecting to the last byte of the answer.
  int total_ms() const { return connect_ms + 2 * io_ms; }
};

struct service_address {
  bool tls = false;  // https: TLS with the peer and its host name verified
  std::string host;  // name or address; an IPv6 address without brackets
  int port = 80;
  std::string base_path;  // "" or "/..." without a trailing slash
  request_limits limits;

  // "http://host:port/base" (https:// with tls), for messages; a request's
  // URL adds its path.
  std::string display() const;
};

// Accepts "http://HOST[:PORT][/PATH][?timeout_ms=N]" and the same with
// https://: the scheme in any letter case, HOST a name, an IPv4 address or
// a bracketed IPv6 address, PORT 1 to 65535 (default 80, or 443 for
// https), PATH printable ASCII. User information is refused: credentials
// never travel in a URL. The one query
// parameter, timeout_ms (100 to 600000), sets the time each read or write
// may wait, and caps the connect time. On failure returns false and sets
// error to a sentence naming the URL and what is wrong with it.
bool parse_service_url(std::string_view url, service_address& out,
                       std::string& error);

}  // namespace rfid_qel

#endif  // KORVO_QEL_SERVICE_URL_H_
