#include "tag_service/service/tls_files.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <microhttpd.h>

#include "tag_service/service/access.h"

namespace tag_service {
namespace {

gnutls_datum_t datum(const std::string& s) {
  return {reinterpret_cast<unsigned char*>(const_cast<char*>(s.data())),
          static_cast<unsigned>(s.size())};
}

}  // namespace

bool load_tls_files(const std::string& cert_path, const std::string& key_path,
                    std::int64_t now_unix, tls_files& out, std::string& error) {
  if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
    error = "this libmicrohttpd was built without TLS";
    return false;
  }
  tls_files files;
  if (!read_small_file(cert_path, "certificate", false, files.cert_pem,
                       error) ||
      !read_small_file(key_path, "key", true, files.key_pem, error)) {
    return false;
  }
  const gnutls_datum_t cert = datum(files.cert_pem);
  const gnutls_datum_t key = datum(files.key_pem);

  gnutls_x509_crt_t* list = nullptr;
  unsigned count = 0;
  if (gnutls_x509_crt_list_import2(&list, &count, &cert, GNUTLS_X509_FMT_PEM,
                                   0) < 0 ||
      count == 0) {
    error = "the certificate " + cert_path + " holds no PEM certificate";
    return false;
  }
  const std::int64_t from = gnutls_x509_crt_get_activation_time(list[0]);
  const std::int64_t until = gnutls_x509_crt_get_expiration_time(list[0]);
  for (unsigned i = 0; i < count; ++i) gnutls_x509_crt_deinit(list[i]);
  gnutls_free(list);
  if (until != -1 && until < now_unix) {
    error = "the certificate " + cert_path + " has expired";
    return false;
  }
  if (from != -1 && from > now_unix) {
    error = "the certificate " + cert_path + " is not valid yet";
    return false;
  }

  // The server's own loading also checks that the key is the
  // certificate's.
  gnutls_certificate_credentials_t credentials = nullptr;
  if (gnutls_certificate_allocate_credentials(&credentials) < 0) {
    error = "cannot set up TLS";
    return false;
  }
  const int loaded = gnutls_certificate_set_x509_key_mem2(
      credentials, &cert, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
  gnutls_certificate_free_credentials(credentials);
  if (loaded == GNUTLS_E_CERTIFICATE_KEY_MISMATCH) {
    error = "the key " + key_path + " does not belong to the certificate " +
            cert_path;
    return false;
  }
  if (loaded < 0) {
    error = "the key " + key_path +
            " is not an unencrypted PEM private key the certificate " +
            cert_path + " can use (" + gnutls_strerror(loaded) + ")";
    return false;
  }
  out = std::move(files);
  return true;
}

}  // namespace tag_service
