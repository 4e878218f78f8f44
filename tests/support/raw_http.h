// One raw exchange with an HTTP server on loopback, for tests that send
// bytes no HTTP client would (malformed requests, drips, floods).
#ifndef KORVO_TESTS_SUPPORT_RAW_HTTP_H_
#define KORVO_TESTS_SUPPORT_RAW_HTTP_H_

#include <string>

namespace korvo_test {

// Sends bytes to 127.0.0.1:port and returns the answer: one whole response
// (complete by its Content-Length, or at the end of its headers without
// one), or what came before the server closed the connection or timeout_ms
// passed. The write side stays open, so that a server which answers no
// half-closed client still answers.
std::string raw_exchange(int port, const std::string& bytes,
                         int timeout_ms = 3000);

}  // namespace korvo_test

#endif  // KORVO_TESTS_SUPPORT_RAW_HTTP_H_
