// The service's certificate and key, read and checked before it starts.
#ifndef KORVO_TAG_SERVICE_SERVICE_TLS_FILES_H_
#define KORVO_TAG_SERVICE_SERVICE_TLS_FILES_H_

#include <cstdint>
#include <string>

namespace tag_service {

struct tls_files {
  std::string cert_pem;  // the server's certificate, then any chain
  std::string key_pem;   // its private key, unencrypted
};

// Reads the PEM certificate (chain) at cert_path and the PEM private key
// at key_path and checks that both parse, that the key belongs to the
// first certificate, that this certificate is valid at now_unix (seconds)
// and that the key file is not readable by others. On failure returns
// false and sets error to a sentence naming the file and what is wrong.
bool load_tls_files(const std::string& cert_path, const std::string& key_path,
                    std::int64_t now_unix, tls_files& out, std::string& error);

}  // namespace tag_service

#endif  // KORVO_TAG_SERVICE_SERVICE_TLS_FILES_H_
