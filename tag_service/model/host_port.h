// The HOST[:PORT] part of the service's URLs (a reader's llrp://, a
// broker's mqtt://): one rule for every scheme.
#ifndef KORVO_TAG_SERVICE_MODEL_HOST_PORT_H_
#define KORVO_TAG_SERVICE_MODEL_HOST_PORT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace tag_service {

// Parses what follows a URL's scheme: HOST or HOST:PORT, an IPv6 host in
// brackets, and at most a trailing '/'. A host holds none of "/?#@ :" (so
// no user, path or query); a port is 1 to 65535. On success sets host, and
// port when one is given (else leaves it as the caller's default). False
// with a reason (to follow the URL's name, e.g. "needs a host") otherwise.
bool parse_host_port(std::string_view text, std::string& host,
                     std::uint16_t& port, std::string& error);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_MODEL_HOST_PORT_H_
