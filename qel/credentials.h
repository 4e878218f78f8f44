// The token the session shows the tag service, and where it comes from:
// the file named by KORVO_TOKEN_FILE, else the service's host in ~/.netrc
// (machine HOST password TOKEN). Never from a URL or a command line.
#ifndef KORVO_QEL_CREDENTIALS_H_
#define KORVO_QEL_CREDENTIALS_H_

#include <string>
#include <string_view>

namespace rfid_qel {

struct service_token {
  std::string token;   // empty: no token is sent
  std::string source;  // for messages: "the token file F" or "~/.netrc (F)"
};

// The token in a token file's text: its one line, blanks and the line end
// around it removed. false when the text holds no token, more than one
// line, or blanks or control characters inside the token.
bool token_from_file_text(std::string_view text, std::string& token);

// The password .netrc text gives for host: the entry "machine HOST" (the
// name compared without regard to case), else the "default" entry; "" when
// neither has a password. Tokens may be in double quotes; macdef bodies are
// skipped.
std::string netrc_password(std::string_view text, std::string_view host);

// The token for host. On failure (a KORVO_TOKEN_FILE that cannot be read or
// holds no token) returns false with error naming the file; a missing
// ~/.netrc, or none for host, is no token and no failure.
bool find_service_token(const std::string& host, service_token& out,
                        std::string& error);

}  // namespace rfid_qel

#endif  // KORVO_QEL_CREDENTIALS_H_
