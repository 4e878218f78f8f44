// Certificates for the TLS tests, made with openssl in a folder of the
// test's own: a CA, a server certificate signed by it, the same server key
// in a certificate that expired long ago, and another CA nobody trusts.
#ifndef KORVO_TESTS_INTEGRATION_TEST_CERTIFICATES_H_
#define KORVO_TESTS_INTEGRATION_TEST_CERTIFICATES_H_

#include <string>

namespace korvo_test {

// Writes into dir: ca.pem, ca.key, other.pem, other.key, server.pem (for
// subject_alt_name, e.g. "DNS:localhost" or "IP:127.0.0.1"), server.key,
// expired.pem. Keys are mode 0600. Empty on success, else openssl's
// complaint.
std::string make_test_certificates(const std::string& dir,
                                   const std::string& subject_alt_name);

}  // namespace korvo_test

#endif  // KORVO_TESTS_INTEGRATION_TEST_CERTIFICATES_H_
